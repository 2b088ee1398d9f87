// tests/unit/partial_test.cpp: fragment directory names, the count file and
// the storing, joining and expiry of message/partial sets, run through the
// real decoder over stored mails in a private spool and TMP directory.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mime/Decoder.h"
#include "mime/FragmentDir.h"
#include "mime/Partial.h"
#include "mime/PartReader.h"
#include "platform/File.h"
#include "tests/unit/SpoolTestSupport.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------- names

struct ShortNameCase {
  const char* id;
  const char* name;
};

TEST(FragmentNameTest, ShortNameKeepsAllowedCharactersInEightDotThreeForm) {
  const ShortNameCase cases[] = {
      {"con", "conx"},
      {"CoN", "CoNx"},
      {"lpt3", "lpt3x"},
      {"com5", "com5"},  // not a reserved name
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
  for (const ShortNameCase& c : cases) EXPECT_EQ(FragmentShortName(c.id), c.name) << "id " << c.id;
}

TEST(FragmentNameTest, DeviceNamesIgnoreCase) {
  for (const char* name : {"aux", "CON", "Nul", "prn", "com1", "COM4", "lpt1", "LPT3"})
    EXPECT_EQ(IsDeviceName(name), 1) << name;
  for (const char* name : {"", "com", "com5", "lpt4", "conx", "auxx", "nul.txt"})
    EXPECT_EQ(IsDeviceName(name), 0) << name;
}

TEST(FragmentNameTest, DirectoryNameEndsWithDigestOfWholeId) {
  // The first 16 bytes of SHA-256("abc").
  EXPECT_EQ(FragmentDirName("abc"), "abc-ba7816bf8f01cfea414140de5dae2223");
  EXPECT_EQ(FragmentDirName(""), "x-e3b0c44298fc1c149afbf4c8996fb924");
}

TEST(FragmentNameTest, IdsSharingTheirFirstElevenCharactersGetDifferentDirectories) {
  const std::string a = "abcdefghijk.one@example.org";
  const std::string b = "abcdefghijk.two@example.org";
  ASSERT_EQ(FragmentShortName(a), FragmentShortName(b));
  EXPECT_NE(FragmentDirName(a), FragmentDirName(b));
  EXPECT_EQ(FragmentDirName(a).rfind(FragmentShortName(a) + "-", 0), 0u);
  // Ids differing only in characters outside the allowed set, too.
  EXPECT_NE(FragmentDirName("a b"), FragmentDirName("a  b"));
}

TEST(FragmentNameTest, NumbersReadLikeAtoiButSaturate) {
  const struct {
    const char* text;
    int value;
  } cases[] = {
      {"3", 3},           {" \t12abc", 12},           {"abc", 0},
      {"", 0},            {"-5", -5},                 {"+7", 7},
      {"1.5", 1},         {"2147483647", INT_MAX},    {"2147483648", INT_MAX},
      {"99999999999999999999999", INT_MAX},           {"-2147483648", INT_MIN},
      {"-99999999999", INT_MIN},                      {"- 3", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseFragmentNumber(c.text), c.value) << c.text;
}

// ---------------------------------------------------------------- the store

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t column = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
    if ((column += 4) == 72) {
      out += "\r\n";
      column = 0;
    }
  }
  if (column != 0) out += "\r\n";
  return out;
}

// One fragment mail as the SMTP session stores it (CR LF line ends).
std::string FragmentMail(const std::string& params, const std::string& body) {
  return "From: sender@example.org\r\n"
         "To: 4711@fax.example.com\r\n"
         "Subject: split\r\n"
         "Message-ID: <outer@example.org>\r\n"
         "Content-Type: message/partial;\r\n\t" +
         params + "\r\n\r\n" + body;
}

class PartialStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Sandbox.WithProgramPath();
    m_Sandbox.SetText("FileName", m_Sandbox.Out() + "ENV1");  // where the header summary goes
    m_Tmp = m_Sandbox.Root() + "tmp";
    fs::create_directories(m_Tmp);
    const char* old = std::getenv("TMP");
    m_HadTmp = old != nullptr;
    if (m_HadTmp) m_OldTmp = old;
    ::setenv("TMP", m_Tmp.c_str(), 1);
    m_List = m_Sandbox.Out() + "~ATTC001.imp";
    SpoolSandbox::Touch(m_List);
    fs::resize_file(m_List, 0);
  }
  void TearDown() override {
    if (m_HadTmp)
      ::setenv("TMP", m_OldTmp.c_str(), 1);
    else
      ::unsetenv("TMP");
  }

  // Decodes one stored mail the way the hand-off does; returns standard error.
  std::string Deliver(const std::string& mail) {
    const std::string path = m_Sandbox.Root() + "mail.zqx";
    std::ofstream(path, std::ios::binary) << mail;
    CStdioFile file = CStdioFile::Open(path, "r");
    EXPECT_TRUE(file.IsOpen());
    std::unique_ptr<PartReader> reader = PartOpen(std::move(file));
    std::snprintf(reader->attachmentList, sizeof reader->attachmentList, "%s", m_List.c_str());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ResetOutputFailures();
    HandleMessage(*reader, "text/plain", 0, m_Recipients);
    m_Failures = OutputFailures();
    // Only the progress lines of the fragment store; the decoder prints more.
    m_Stdout.clear();
    for (const std::string& line : SpoolSandbox::Lines(testing::internal::GetCapturedStdout()))
      if (line.rfind("Saving part", 0) == 0) m_Stdout += line + "\n";
    const std::string errors = testing::internal::GetCapturedStderr();
    PartClose(reader);
    return errors;
  }

  std::string Parts() const { return m_Tmp + kPathSeparatorText + "parts"; }
  std::string SetDir(const std::string& id) const {
    return Parts() + kPathSeparatorText + FragmentDirName(id) + kPathSeparatorText;
  }
  std::string MessageContent() const { return SpoolSandbox::ReadWhole(m_Sandbox.Out() + "Msgcnt.imp"); }
  // The saved attachments in list order: {original name, content}.
  std::vector<std::pair<std::string, std::string>> Attachments() const {
    std::vector<std::pair<std::string, std::string>> found;
    for (const std::string& line : SpoolSandbox::Lines(SpoolSandbox::ReadWhole(m_List))) {
      const std::size_t colon = line.find(':'), end = line.find(">>");
      if (line.rfind("<<", 0) != 0 || colon == std::string::npos || end == std::string::npos) continue;
      found.emplace_back(line.substr(2, colon - 2),
                         SpoolSandbox::ReadWhole(m_Sandbox.Out() + line.substr(colon + 1, end - colon - 1)));
    }
    return found;
  }

  SpoolSandbox m_Sandbox;
  std::string m_Tmp;
  std::string m_List;
  std::string m_Stdout;  // the "Saving part" lines of the last delivery
  int m_Failures = 0;    // output failures the last delivery reported to the hand-off
  CRecipientList m_Recipients{"TO:<4711@fax.example.com>"};
  bool m_HadTmp = false;
  std::string m_OldTmp;
};

// The enclosed mail used for the join tests, and its three fragments.
struct SplitMail {
  std::string attachment;
  std::string whole;
  std::vector<std::string> pieces;
};

SplitMail MakeSplitMail() {
  SplitMail m;
  for (int i = 0; i < 3000; ++i) m.attachment += static_cast<char>((i * 7 + i / 256) & 0xff);
  m.whole =
      "From: inner@example.org\r\n"
      "Subject: the whole mail\r\n"
      "Message-ID: <inner@example.org>\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed;\r\n"
      " boundary=\"BOUNDARY\"\r\n"
      "\r\n"
      "--BOUNDARY\r\n"
      "Content-Type: text/plain\r\n"
      "\r\n"
      "Hello from the joined mail.\r\n"
      "--BOUNDARY\r\n"
      "Content-Type: application/octet-stream; name=data.bin\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "\r\n" +
      Base64(m.attachment) + "--BOUNDARY--\r\n";
  // Cut at line ends, as RFC 2046 splitters do.
  const std::size_t a = m.whole.find("\r\n", m.whole.size() / 3) + 2;
  const std::size_t b = m.whole.find("\r\n", 2 * m.whole.size() / 3) + 2;
  m.pieces = {m.whole.substr(0, a), m.whole.substr(a, b - a), m.whole.substr(b)};
  return m;
}

TEST_F(PartialStoreTest, FirstFragmentGetsMergedHeaderAndCountFile) {
  const std::string id = "merge@example.org";
  const std::string mail =
      "Received: from x\r\n"
      "From: sender@example.org\r\n"
      "X-Folded: one\r\n"
      "\ttwo\r\n"
      "Message-ID: <outer@example.org>\r\n"
      "content-type: message/partial; id=\"merge@example.org\";\r\n"
      "\tnumber=1; total=2\r\n"
      "Content-Description: dropped\r\n"
      "Subject: outer\r\n"
      "\r\n"
      "From: inner@example.org\r\n"
      "MESSAGE-ID: <inner@example.org>\r\n"
      "Subject: inner\r\n"
      " folded inner subject\r\n"
      "Content-Type: text/plain;\r\n"
      "  charset=us-ascii\r\n"
      "MIME-Version: 1.0\r\n"
      "\r\n"
      "first body line\r\n";
  Deliver(mail);
  EXPECT_EQ(m_Stdout, "Saving part 1 of 2 merge@example.org\n");
  EXPECT_EQ(SpoolSandbox::ReadWhole(SetDir(id) + "1"),
            "Received: from x\r\n"
            "From: sender@example.org\r\n"
            "X-Folded: one\r\n"
            "\ttwo\r\n"
            "Subject: outer\r\n"
            "MESSAGE-ID: <inner@example.org>\r\n"
            "Content-Type: text/plain;\r\n"
            "  charset=us-ascii\r\n"
            "\r\n"
            "first body line\r\n");
  EXPECT_EQ(SpoolSandbox::ReadWhole(SetDir(id) + "CT"), "2\r\n");
  EXPECT_EQ(fs::status(SetDir(id)).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(Parts()).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(PartialStoreTest, LaterFragmentsAreStoredAsReceived) {
  const std::string id = "later@example.org";
  Deliver(FragmentMail("id=\"" + id + "\"; number=2", "From: not a header here\r\nline\r\n"));
  EXPECT_EQ(m_Stdout, "Saving part 2 later@example.org\n");
  EXPECT_EQ(SpoolSandbox::ReadWhole(SetDir(id) + "2"), "From: not a header here\r\nline\r\n");
  EXPECT_FALSE(fs::exists(SetDir(id) + "CT"));
}

TEST_F(PartialStoreTest, RefusedFragmentsWarnAndLeaveNothing) {
  const struct {
    std::string params;
    const char* warning;
  } cases[] = {
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
  for (const auto& c : cases) {
    const std::string errors = Deliver(FragmentMail(c.params, "body\r\n"));
    EXPECT_NE(errors.find(std::string("dekant: warning: ") + c.warning + "\n"), std::string::npos)
        << c.params << ": " << errors;
    EXPECT_EQ(m_Stdout.find("Saving part"), std::string::npos) << c.params;
    EXPECT_EQ(m_Failures, 0) << c.params;  // a malformed fragment is dropped, not kept
    EXPECT_FALSE(fs::exists(Parts()) && !fs::is_empty(Parts())) << c.params;
  }
}

TEST_F(PartialStoreTest, NumberAboveTotalFromCountFileIsRefused) {
  Deliver(FragmentMail("id=ct; number=2; total=3", "two\r\n"));
  const std::string errors = Deliver(FragmentMail("id=ct; number=4", "four\r\n"));
  EXPECT_NE(errors.find("dekant: warning: partial message has invalid number\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(SetDir("ct") + "4"));
  EXPECT_TRUE(fs::exists(SetDir("ct") + "2"));
}

TEST_F(PartialStoreTest, JoinsOutOfOrderWithTotalInOneFragmentOnly) {
  const SplitMail split = MakeSplitMail();
  // Which fragment carries the total: the completing one, or one stored before.
  for (int carrier : {1, 3}) {
    SCOPED_TRACE(carrier);
    const std::string id = "order-" + std::to_string(carrier) + "@example.org";
    std::string stdoutAll;
    for (int number : {2, 3, 1}) {
      std::string params = "id=\"" + id + "\"; number=" + std::to_string(number);
      if (number == carrier) params += "; total=3";
      Deliver(FragmentMail(params, split.pieces[number - 1]));
      stdoutAll += m_Stdout;
      if (number != 1) {
        EXPECT_TRUE(fs::exists(SetDir(id) + std::to_string(number)));
      }
    }
    EXPECT_NE(stdoutAll.find("Saving part 2 " + id + "\n"), std::string::npos) << stdoutAll;
    EXPECT_FALSE(fs::exists(SetDir(id)));
    EXPECT_NE(MessageContent().find("Hello from the joined mail."), std::string::npos);
    const auto attachments = Attachments();
    ASSERT_EQ(attachments.size(), 1u);
    EXPECT_EQ(attachments[0].first, "data.bin");
    EXPECT_EQ(attachments[0].second, split.attachment);
    fs::resize_file(m_List, 0);
    fs::resize_file(m_Sandbox.Out() + "Msgcnt.imp", 0);
  }
}

TEST_F(PartialStoreTest, IdsSharingElevenCharactersAreNotMixed) {
  const std::string a = "abcdefghijk.one@example.org", b = "abcdefghijk.two@example.org";
  Deliver(FragmentMail("id=\"" + a + "\"; number=1; total=2",
                       "Content-Type: text/plain\r\n\r\nalpha one\r\n"));
  Deliver(FragmentMail("id=\"" + b + "\"; number=2; total=2", "bravo two\r\n"));
  Deliver(FragmentMail("id=\"" + a + "\"; number=2; total=2", "alpha two\r\n"));
  EXPECT_EQ(MessageContent().find("bravo"), std::string::npos);
  EXPECT_NE(MessageContent().find("alpha one"), std::string::npos);
  EXPECT_NE(MessageContent().find("alpha two"), std::string::npos);
  EXPECT_FALSE(fs::exists(SetDir(a)));
  EXPECT_TRUE(fs::exists(SetDir(b) + "2"));
}

TEST_F(PartialStoreTest, FragmentMissingAtJoinKeepsTheOthers) {
  const std::string id = "vanish@example.org";
  Deliver(FragmentMail("id=\"" + id + "\"; number=1; total=3",
                       "Content-Type: text/plain\r\n\r\npart one\r\n"));
  Deliver(FragmentMail("id=\"" + id + "\"; number=3", "part three\r\n"));
  // As if fragment 2 had vanished between the completeness check and the join.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(JoinFragments(SetDir(id), 3));
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find(SetDir(id) + "2: "), std::string::npos) << errors;
  EXPECT_NE(errors.find("dekant: warning: partial message not reassembled; its fragments are kept\n"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(SetDir(id) + "1"));
  EXPECT_TRUE(fs::exists(SetDir(id) + "3"));
  EXPECT_TRUE(fs::exists(SetDir(id) + "CT"));
  EXPECT_FALSE(fs::exists(SetDir(id) + "FULL"));

  Deliver(FragmentMail("id=\"" + id + "\"; number=2", "part two\r\n"));
  EXPECT_FALSE(fs::exists(SetDir(id)));
  const std::string text = MessageContent();
  ASSERT_NE(text.find("part three"), std::string::npos) << text;
  EXPECT_LT(text.find("part one"), text.find("part two"));
  EXPECT_LT(text.find("part two"), text.find("part three"));
}

TEST_F(PartialStoreTest, SetsUntouchedForFourteenDaysAreRemoved) {
  m_Sandbox.EnableLogs();
  Deliver(FragmentMail("id=stale; number=1; total=2", "old\r\n"));
  Deliver(FragmentMail("id=recent; number=1; total=2", "newer\r\n"));
  Deliver(FragmentMail("id=revived; number=1; total=2", "Content-Type: text/plain\r\n\r\nrevived\r\n"));
  const auto age = [&](const std::string& id, int days) {
    const auto when = fs::file_time_type::clock::now() - std::chrono::hours(24 * days);
    for (const auto& entry : fs::directory_iterator(SetDir(id))) fs::last_write_time(entry.path(), when);
    fs::last_write_time(SetDir(id), when);
  };
  age("stale", 15);
  age("recent", 13);
  age("revived", 15);

  // A fragment of an old set itself keeps that set alive and completes it.
  std::string errors = Deliver(FragmentMail("id=revived; number=2", "second\r\n"));
  EXPECT_NE(MessageContent().find("revived"), std::string::npos);
  EXPECT_FALSE(fs::exists(SetDir("revived")));
  EXPECT_FALSE(fs::exists(SetDir("stale")));
  EXPECT_TRUE(fs::exists(SetDir("recent") + "1"));
  EXPECT_NE(errors.find("dekant: warning: removing fragments of an incomplete partial message untouched "
                        "for 14 days: " + FragmentDirName("stale") + "\n"),
            std::string::npos)
      << errors;
  EXPECT_NE(m_Sandbox.PrimaryLog().find("DECODE - Removing fragments of an incomplete partial message: " +
                                        SetDir("stale")),
            std::string::npos);
}

TEST_F(PartialStoreTest, HugeIdIsShortenedForDirectoryAndProgressLine) {
  std::string id(10000, 'q');
  id[5000] = '\x1b';
  Deliver(FragmentMail("id=" + id + "; number=1; total=1", "Content-Type: text/plain\r\n\r\nlong id\r\n"));
  EXPECT_EQ(m_Stdout, "Saving part 1 of 1 " + std::string(200, 'q') + "...\n");
  EXPECT_NE(MessageContent().find("long id"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(Parts()));
}

TEST_F(PartialStoreTest, FragmentInsideReassembledMailIsDropped) {
  const std::string errors =
      Deliver(FragmentMail("id=outer; number=1; total=1",
                           "Content-Type: message/partial; id=outer; number=1; total=1\r\n\r\nnested\r\n"));
  EXPECT_NE(errors.find("dekant: warning: partial message inside a reassembled message dropped\n"),
            std::string::npos)
      << errors;
  EXPECT_TRUE(fs::is_empty(Parts()));
  EXPECT_EQ(MessageContent(), "");
}

TEST_F(PartialStoreTest, UnusableTmpDropsTheFragment) {
  const std::string blocker = m_Sandbox.Root() + "not-a-dir";
  SpoolSandbox::Touch(blocker);
  ::setenv("TMP", blocker.c_str(), 1);
  const std::string errors = Deliver(FragmentMail("id=nowhere; number=1; total=1", "body\r\n"));
  EXPECT_NE(errors.find(blocker + kPathSeparatorText + "parts: "), std::string::npos) << errors;
  EXPECT_EQ(m_Stdout.find("Saving part"), std::string::npos);
  EXPECT_GT(m_Failures, 0);  // the hand-off keeps the received mail
  EXPECT_FALSE(fs::exists("CT"));
  EXPECT_FALSE(fs::exists("1"));
}

TEST_F(PartialStoreTest, StoreOpenToOtherUsersIsNotUsed) {
  fs::create_directory(Parts());
  fs::permissions(Parts(), fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all);
  const std::string errors = Deliver(FragmentMail("id=shared; number=1; total=2", "body\r\n"));
  EXPECT_NE(errors.find(Parts() + ": "), std::string::npos) << errors;
  EXPECT_GT(m_Failures, 0);
  EXPECT_TRUE(fs::is_empty(Parts()));
}

TEST_F(PartialStoreTest, CountFileReadsFirstLineAndRejectsNonsense) {
  const std::string dir = m_Tmp + kPathSeparatorText;
  ASSERT_TRUE(WriteFragmentCount(dir, 7));
  EXPECT_EQ(SpoolSandbox::ReadWhole(dir + "CT"), "7\r\n");
  EXPECT_EQ(ReadFragmentCount(dir), 7);
  for (const char* text : {"-2\r\n", "5000\r\n", "abc\r\n", ""}) {
    std::ofstream(dir + "CT", std::ios::binary) << text;
    EXPECT_EQ(ReadFragmentCount(dir), 0) << text;
  }
  fs::remove(dir + "CT");
  EXPECT_EQ(ReadFragmentCount(dir), 0);
}

}  // namespace
