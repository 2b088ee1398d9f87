// tests/unit/partial_test.cpp: fragment directory names, the count file and
// the storing, joining and expiry of message/partial sets, run through the
// real decoder over stored mails in a private spool and TMP directory.
#include "mime/Partial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "mime/Decoder.h"
#include "mime/FragmentDir.h"
#include "platform/File.h"
#include "tests/unit/SpoolTestSupport.h"

namespace fs = std::filesystem;

namespace {

TEST(FragmentNameTest, ShortNameKeepsAllowedCharactersInEightDotThreeForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"con", "conx"},
      {"CoN", "CoNx"},
      {"lpt3", "lpt3x"},
      {"com5", "com5"},
      {"abcdefghijklmnopqrst", "abcdefgh.ijk"},
      {"abcdefgh", "abcdefgh"},
      {"abcdefghi", "abcdefgh.i"},
      {"<1234.5678@host.example>", "12345678.@ho"},
      {"a/b\\c.d e:f", "abcdef"},
      {"-_^$~!#%&{}@`'()", "-_^$~!#%.&{}"},
      {"*+,./:;<=>?[\\]|\" ", "x"},
      {"", "x"},
      {"\x80\xff\x01\n", "x"},
  };
  for (const auto& [id, name] : cases) EXPECT_EQ(FragmentShortName(id), name) << "id " << id;
  for (const char* name : {"aux", "CON", "Nul", "prn", "com1", "COM4", "lpt1", "LPT3"})
    EXPECT_EQ(IsDeviceName(name), 1) << name;
  for (const char* name : {"", "com", "com5", "lpt4", "conx", "nul.txt"})
    EXPECT_EQ(IsDeviceName(name), 0) << name;
}

TEST(FragmentNameTest, DirectoryIsUniquePerWholeId) {
  // The suffix is the first 16 bytes of SHA-256 of the id.
  EXPECT_EQ(FragmentDirName("abc"), "abc-ba7816bf8f01cfea414140de5dae2223");
  EXPECT_EQ(FragmentDirName(""), "x-e3b0c44298fc1c149afbf4c8996fb924");
  const std::string a = "abcdefghijk.one@example.org", b = "abcdefghijk.two@example.org";
  ASSERT_EQ(FragmentShortName(a), FragmentShortName(b));
  EXPECT_NE(FragmentDirName(a), FragmentDirName(b));
  EXPECT_NE(FragmentDirName("a b"), FragmentDirName("a  b"));  // differing only in skipped characters
}

TEST(FragmentNameTest, NumbersReadLikeAtoiButSaturate) {
  const std::pair<const char*, int> cases[] = {
      {"3", 3},
      {" \t12abc", 12},
      {"abc", 0},
      {"", 0},
      {"-5", -5},
      {"+7", 7},
      {"1.5", 1},
      {"- 3", 0},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"99999999999999999999999", INT_MAX},
      {"-2147483648", INT_MIN},
      {"-99999999999", INT_MIN},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(ParseFragmentNumber(text), value) << text;
}

// One fragment mail as the SMTP session stores it (CR LF line ends).
std::string FragmentMail(const std::string& params, const std::string& body) {
  return "From: sender@example.org\r\nTo: 4711@fax.example.com\r\nSubject: split\r\n"
         "Message-ID: <outer@example.org>\r\nContent-Type: message/partial;\r\n\t" +
         params + "\r\n\r\n" + body;
}

class PartialStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Sandbox.WithProgramPath();
    m_Sandbox.SetText("FileName", m_Sandbox.Out() + "ENV1");  // where the header summary goes
    m_Tmp = m_Sandbox.Root() + "tmp";
    fs::create_directories(m_Tmp);
    if (const char* old = std::getenv("TMP")) m_OldTmp = old;
    ::setenv("TMP", m_Tmp.c_str(), 1);
    m_List = m_Sandbox.Out() + "~ATTC001.imp";
    std::ofstream(m_List, std::ios::binary);
  }
  void TearDown() override {
    if (m_OldTmp)
      ::setenv("TMP", m_OldTmp->c_str(), 1);
    else
      ::unsetenv("TMP");
  }

  // Decodes one stored mail the way the hand-off does; returns standard error.
  std::string Deliver(const std::string& mail) {
    const std::string path = m_Sandbox.Root() + "mail.zqx";
    std::ofstream(path, std::ios::binary) << mail;
    std::unique_ptr<PartReader> reader = PartOpen(CStdioFile::Open(path, "r"));
    std::snprintf(reader->attachmentList, sizeof reader->attachmentList, "%s", m_List.c_str());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ResetOutputFailures();
    HandleMessage(*reader, "text/plain", 0, m_Recipients);
    m_Failures = OutputFailures();
    m_Stdout.clear();  // only the store's progress lines; the decoder prints more
    for (const std::string& line : SpoolSandbox::Lines(testing::internal::GetCapturedStdout()))
      if (line.rfind("Saving part", 0) == 0) m_Stdout += line + "\n";
    PartClose(reader);
    return testing::internal::GetCapturedStderr();
  }

  std::string Parts() const { return m_Tmp + kPathSeparatorText + "parts"; }
  std::string SetDir(const std::string& id) const {
    return Parts() + kPathSeparatorText + FragmentDirName(id) + kPathSeparatorText;
  }
  std::string MessageContent() const { return SpoolSandbox::ReadWhole(m_Sandbox.Out() + "Msgcnt.imp"); }
  // The content of the one saved attachment named in the attachment list.
  std::string OnlyAttachment(const char* originalName) const {
    const auto lines = SpoolSandbox::Lines(SpoolSandbox::ReadWhole(m_List));
    EXPECT_EQ(lines.size(), 1u);
    const std::string prefix = std::string("<<") + originalName + ":";
    if (lines.size() != 1 || lines[0].rfind(prefix, 0) != 0) return "<not listed>";
    const std::size_t end = lines[0].find(">>");
    return SpoolSandbox::ReadWhole(m_Sandbox.Out() + lines[0].substr(prefix.size(), end - prefix.size()));
  }
  void ClearOutput() const {
    fs::resize_file(m_List, 0);
    fs::resize_file(m_Sandbox.Out() + "Msgcnt.imp", 0);
  }

  SpoolSandbox m_Sandbox;
  std::string m_Tmp, m_List;
  std::string m_Stdout;  // the "Saving part" lines of the last delivery
  int m_Failures = 0;    // output failures the last delivery reported to the hand-off
  CRecipientList m_Recipients{"TO:<4711@fax.example.com>"};
  std::optional<std::string> m_OldTmp;
};

TEST_F(PartialStoreTest, FirstFragmentGetsMergedHeaderAndCountFile) {
  const std::string id = "merge@example.org";
  Deliver(
      "Received: from x\r\nFrom: sender@example.org\r\nX-Folded: one\r\n\ttwo\r\n"
      "Message-ID: <outer@example.org>\r\n"
      "content-type: message/partial; id=\"merge@example.org\";\r\n\tnumber=1; total=2\r\n"
      "Content-Description: dropped\r\nSubject: outer\r\n\r\n"
      "From: inner@example.org\r\nMESSAGE-ID: <inner@example.org>\r\n"
      "Subject: inner\r\n folded inner subject\r\nContent-Type: text/plain;\r\n  charset=us-ascii\r\n"
      "MIME-Version: 1.0\r\n\r\nfirst body line\r\n");
  EXPECT_EQ(m_Stdout, "Saving part 1 of 2 merge@example.org\n");
  EXPECT_EQ(SpoolSandbox::ReadWhole(SetDir(id) + "1"),
            "Received: from x\r\nFrom: sender@example.org\r\nX-Folded: one\r\n\ttwo\r\nSubject: outer\r\n"
            "MESSAGE-ID: <inner@example.org>\r\nContent-Type: text/plain;\r\n  charset=us-ascii\r\n"
            "\r\nfirst body line\r\n");
  EXPECT_EQ(SpoolSandbox::ReadWhole(SetDir(id) + "CT"), "2\r\n");
  EXPECT_EQ(fs::status(SetDir(id)).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(Parts()).permissions() & fs::perms::all, fs::perms::owner_all);

  // Later fragments are stored from their body's first line on, as received.
  Deliver(FragmentMail("id=later; number=2", "From: not a header here\r\nline\r\n"));
  EXPECT_EQ(m_Stdout, "Saving part 2 later\n");
  EXPECT_EQ(SpoolSandbox::ReadWhole(SetDir("later") + "2"), "From: not a header here\r\nline\r\n");
  EXPECT_FALSE(fs::exists(SetDir("later") + "CT"));
}

TEST_F(PartialStoreTest, RefusedFragmentsWarnAndLeaveNothing) {
  const std::pair<const char*, const char*> cases[] = {
      {"number=1; total=2", "partial message has no id parameter"},
      {"id=r; total=2", "partial message doesn't have number parameter"},
      {"id=r; number=1; total=0", "partial message has invalid number of parts"},
      {"id=r; number=1; total=-3", "partial message has invalid number of parts"},
      {"id=r; number=1; total=abc", "partial message has invalid number of parts"},
      {"id=r; number=1; total=2147483648", "partial message has invalid number of parts"},
      {"id=r; number=1; total=1001", "partial message has invalid number of parts"},
      {"id=r; number=0; total=3", "partial message has invalid number"},
      {"id=r; number=-1", "partial message has invalid number"},
      {"id=r; number=x", "partial message has invalid number"},
      {"id=r; number=4; total=3", "partial message has invalid number"},
      {"id=r; number=99999999999", "partial message has invalid number"},
  };
  for (const auto& [params, warning] : cases) {
    const std::string errors = Deliver(FragmentMail(params, "body\r\n"));
    EXPECT_NE(errors.find(std::string("dekant: warning: ") + warning + "\n"), std::string::npos)
        << params << ": " << errors;
    EXPECT_EQ(m_Stdout, "") << params;
    EXPECT_EQ(m_Failures, 0) << params;  // dropped, not kept for another try
    EXPECT_FALSE(fs::exists(Parts()) && !fs::is_empty(Parts())) << params;
  }
  // A total known from the count file bounds later numbers too.
  Deliver(FragmentMail("id=ct; number=2; total=3", "two\r\n"));
  const std::string errors = Deliver(FragmentMail("id=ct; number=4", "four\r\n"));
  EXPECT_NE(errors.find("dekant: warning: partial message has invalid number\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(SetDir("ct") + "4"));
}

TEST_F(PartialStoreTest, JoinsOutOfOrderWithTotalInOneFragmentOnly) {
  // 6000 bytes 00 01 02 ..., base64 "AAEC" repeated, cut across all three fragments.
  std::string attachment, base64;
  for (int i = 0; i < 2000; ++i) attachment += std::string("\0\1\2", 3);
  for (int group = 0; group < 2000; ++group) base64 += (group % 18 == 17) ? "AAEC\r\n" : "AAEC";
  base64 += "\r\n";
  const std::string whole =
      "From: inner@example.org\r\nMessage-ID: <inner@example.org>\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed;\r\n boundary=\"B\"\r\n\r\n"
      "--B\r\nContent-Type: text/plain\r\n\r\nHello from the joined mail.\r\n"
      "--B\r\nContent-Type: application/octet-stream; name=data.bin\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n" +
      base64 + "--B--\r\n";
  const std::size_t a = whole.find("\r\n", whole.size() / 3) + 2,
                    b = whole.find("\r\n", 2 * whole.size() / 3) + 2;
  const std::string pieces[] = {whole.substr(0, a), whole.substr(a, b - a), whole.substr(b)};

  for (int carrier : {1, 3}) {  // the completing fragment carries the total, or one stored before
    SCOPED_TRACE(carrier);
    const std::string id = "order-" + std::to_string(carrier) + "@example.org";
    for (int number : {2, 3, 1}) {
      std::string params = "id=\"" + id + "\"; number=" + std::to_string(number);
      if (number == carrier) params += "; total=3";
      Deliver(FragmentMail(params, pieces[number - 1]));
      if (number == 2) {
        EXPECT_EQ(m_Stdout, "Saving part 2 " + id + "\n");
      }
      if (number != 1) {
        EXPECT_TRUE(fs::exists(SetDir(id) + std::to_string(number)));
      }
    }
    EXPECT_FALSE(fs::exists(SetDir(id)));
    EXPECT_NE(MessageContent().find("Hello from the joined mail."), std::string::npos);
    EXPECT_EQ(OnlyAttachment("data.bin"), attachment);
    ClearOutput();
  }
}

TEST_F(PartialStoreTest, IdsSharingElevenCharactersAreNotMixed) {
  const std::string a = "abcdefghijk.one@example.org", b = "abcdefghijk.two@example.org";
  Deliver(
      FragmentMail("id=\"" + a + "\"; number=1; total=2", "Content-Type: text/plain\r\n\r\nalpha one\r\n"));
  Deliver(FragmentMail("id=\"" + b + "\"; number=2; total=2", "bravo two\r\n"));
  Deliver(FragmentMail("id=\"" + a + "\"; number=2; total=2", "alpha two\r\n"));
  EXPECT_EQ(MessageContent(), "alpha one\r\nalpha two\r\n");
  EXPECT_FALSE(fs::exists(SetDir(a)));
  EXPECT_TRUE(fs::exists(SetDir(b) + "2"));
}

TEST_F(PartialStoreTest, FragmentMissingAtJoinKeepsTheOthers) {
  const std::string id = "vanish@example.org";
  Deliver(
      FragmentMail("id=\"" + id + "\"; number=1; total=3", "Content-Type: text/plain\r\n\r\npart one\r\n"));
  Deliver(FragmentMail("id=\"" + id + "\"; number=3", "part three\r\n"));
  // As if fragment 2 had vanished between the completeness check and the join.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(JoinFragments(SetDir(id), 3));
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find(SetDir(id) + "2: "), std::string::npos) << errors;
  EXPECT_NE(errors.find("dekant: warning: partial message not reassembled; its fragments are kept\n"),
            std::string::npos);
  for (const char* name : {"1", "3", "CT"}) EXPECT_TRUE(fs::exists(SetDir(id) + name)) << name;
  EXPECT_FALSE(fs::exists(SetDir(id) + "FULL"));

  Deliver(FragmentMail("id=\"" + id + "\"; number=2", "part two\r\n"));
  EXPECT_FALSE(fs::exists(SetDir(id)));
  EXPECT_EQ(MessageContent(), "part one\r\npart two\r\npart three\r\n");
}

TEST_F(PartialStoreTest, SetStaysWhenTheJoinedMailCannotBeHandedOn) {
  const std::string id = "unsaved@example.org";
  Deliver(FragmentMail("id=\"" + id + "\"; number=1; total=2",
                       "Content-Type: application/octet-stream; name=a.bin\r\n\r\n"));
  fs::remove(m_List);
  fs::create_directory(m_List);  // the attachment list line cannot be written
  Deliver(FragmentMail("id=\"" + id + "\"; number=2", "data\r\n"));
  EXPECT_GT(m_Failures, 0);
  for (const char* name : {"1", "2", "CT"}) EXPECT_TRUE(fs::exists(SetDir(id) + name)) << name;
  EXPECT_FALSE(fs::exists(SetDir(id) + "FULL"));
}

TEST_F(PartialStoreTest, SetsUntouchedForFourteenDaysAreRemoved) {
  m_Sandbox.EnableLogs();
  for (const char* id : {"stale", "recent", "revived"})
    Deliver(FragmentMail(std::string("id=") + id + "; number=1; total=2",
                         std::string("Content-Type: text/plain\r\n\r\n") + id + "\r\n"));
  const auto age = [&](const std::string& id, int days) {
    const auto when = fs::file_time_type::clock::now() - std::chrono::hours(24 * days);
    for (const auto& entry : fs::directory_iterator(SetDir(id))) fs::last_write_time(entry.path(), when);
    fs::last_write_time(SetDir(id), when);
  };
  age("stale", 15);
  age("recent", 13);
  age("revived", 15);
  // A fragment of an old set keeps that set alive (and here completes it).
  const std::string errors = Deliver(FragmentMail("id=revived; number=2", "second\r\n"));
  EXPECT_EQ(MessageContent(), "revived\r\nsecond\r\n");
  EXPECT_FALSE(fs::exists(SetDir("stale")));
  EXPECT_TRUE(fs::exists(SetDir("recent") + "1"));
  EXPECT_NE(errors.find("dekant: warning: removing fragments of an incomplete partial message untouched for "
                        "14 days: " +
                        FragmentDirName("stale") + "\n"),
            std::string::npos)
      << errors;
  EXPECT_NE(m_Sandbox.PrimaryLog().find("DECODE - Removing fragments of an incomplete partial message: " +
                                        SetDir("stale")),
            std::string::npos);
}

TEST_F(PartialStoreTest, HugeIdAndNestedFragmentsAreHandledSafely) {
  std::string id(10000, 'q');
  id[5000] = '\x1b';
  Deliver(FragmentMail("id=" + id + "; number=1; total=1", "Content-Type: text/plain\r\n\r\nlong id\r\n"));
  EXPECT_EQ(m_Stdout, "Saving part 1 of 1 " + std::string(200, 'q') + "...\n");
  EXPECT_EQ(MessageContent(), "long id\r\n");
  EXPECT_TRUE(fs::is_empty(Parts()));

  // A reassembled mail that is itself a fragment of the same set is not stored.
  const std::string errors =
      Deliver(FragmentMail("id=outer; number=1; total=1",
                           "Content-Type: message/partial; id=outer; number=1; total=1\r\n\r\nnested\r\n"));
  EXPECT_NE(errors.find("dekant: warning: partial message inside a reassembled message dropped\n"),
            std::string::npos)
      << errors;
  EXPECT_TRUE(fs::is_empty(Parts()));
  EXPECT_EQ(MessageContent(), "long id\r\n");
}

TEST_F(PartialStoreTest, UnusableStoreKeepsTheReceivedMail) {
  // "parts" open to other users, then a TMP that is a file.
  fs::create_directory(Parts());
  fs::permissions(Parts(), fs::perms::all);
  std::string errors = Deliver(FragmentMail("id=shared; number=1; total=2", "body\r\n"));
  EXPECT_NE(errors.find(Parts() + ": "), std::string::npos) << errors;
  EXPECT_GT(m_Failures, 0);  // the hand-off keeps the received mail
  EXPECT_TRUE(fs::is_empty(Parts()));

  const std::string blocker = m_Sandbox.Root() + "not-a-dir";
  SpoolSandbox::Touch(blocker);
  ::setenv("TMP", blocker.c_str(), 1);
  errors = Deliver(FragmentMail("id=nowhere; number=1; total=1", "body\r\n"));
  EXPECT_NE(errors.find(blocker + kPathSeparatorText + "parts: "), std::string::npos) << errors;
  EXPECT_EQ(m_Stdout, "");
  EXPECT_GT(m_Failures, 0);
  EXPECT_FALSE(fs::exists("CT"));  // nothing lands in the current directory
}

}  // namespace
