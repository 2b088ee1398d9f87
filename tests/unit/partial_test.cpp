// tests/unit/partial_test.cpp: fragment directory names and the storing,
// joining and expiry of message/partial sets, run through the real decoder
// over stored mails in a private spool and TMP directory.
#include "mime/Partial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "mime/Decoder.h"
#include "mime/FragmentDir.h"
#include "platform/File.h"
#include "tests/unit/SpoolTestSupport.h"

namespace fs = std::filesystem;

namespace {

TEST(FragmentNameTest, ShortNameIsEightDotThreeOfAllowedCharactersAndNoDevice) {
  const std::pair<const char*, const char*> cases[] = {{"con", "conx"},
                                                       {"com5", "com5"},
                                                       {"abcdefghijklmnopqrst", "abcdefgh.ijk"},
                                                       {"<1234.5678@host.example>", "12345678.@ho"},
                                                       {"*+,./:;<=>?[\\]|\" ", "x"},
                                                       {"", "x"},
                                                       {"\x80\xff\x01\n", "x"}};
  for (const auto& [id, name] : cases) EXPECT_EQ(FragmentShortName(id), name) << "id " << id;
}

TEST(FragmentNameTest, DirectoryIsUniquePerWholeId) {
  // The suffix is the first 16 bytes of SHA-256 of the id.
  EXPECT_EQ(FragmentDirName("abc"), "abc-ba7816bf8f01cfea414140de5dae2223");
  EXPECT_EQ(FragmentDirName(""), "x-e3b0c44298fc1c149afbf4c8996fb924");
  EXPECT_NE(FragmentDirName("a b"), FragmentDirName("a  b"));  // differing only in skipped characters
}

TEST(FragmentNameTest, NumbersReadLikeAtoiButSaturate) {
  const std::pair<const char*, int> cases[] = {
      {" \t12abc", 12}, {"- 3", 0}, {"2147483648", INT_MAX}, {"-99999999999", INT_MIN}};
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
    m_Box.WithProgramPath();
    m_Box.SetText("FileName", m_Box.Out() + "ENV1");  // where the header summary goes
    fs::create_directories(m_Tmp);
    if (const char* old = std::getenv("TMP")) m_OldTmp = old;
    ::setenv("TMP", m_Tmp.c_str(), 1);
    WriteWholeFile(m_List, "");
  }
  void TearDown() override { m_OldTmp ? ::setenv("TMP", m_OldTmp->c_str(), 1) : ::unsetenv("TMP"); }

  // Decodes one stored mail the way the hand-off does; returns standard error.
  std::string Deliver(const std::string& mail) {
    WriteWholeFile(m_Box.Root() + "mail.zqx", mail);
    std::unique_ptr<PartReader> reader = PartOpen(CStdioFile::Open(m_Box.Root() + "mail.zqx", "r"));
    std::snprintf(reader->attachmentList, sizeof reader->attachmentList, "%s", m_List.c_str());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ResetOutputFailures();
    HandleMessage(*reader, "text/plain", 0, {"TO:<4711@fax.example.com>"});
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
  std::string MessageContent() const { return ReadWholeFile(m_Box.Out() + "Msgcnt.imp"); }

  SpoolSandbox m_Box;
  std::string m_Tmp = m_Box.Root() + "tmp", m_List = m_Box.Out() + "~ATTC001.imp";
  std::string m_Stdout;  // the "Saving part" lines of the last delivery
  int m_Failures = 0;    // output failures the last delivery reported to the hand-off
  std::optional<std::string> m_OldTmp;
};

TEST_F(PartialStoreTest, FirstFragmentGetsMergedHeaderAndCountFileInPrivateDirs) {
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
  EXPECT_EQ(ReadWholeFile(SetDir(id) + "1"),
            "Received: from x\r\nFrom: sender@example.org\r\nX-Folded: one\r\n\ttwo\r\nSubject: outer\r\n"
            "MESSAGE-ID: <inner@example.org>\r\nContent-Type: text/plain;\r\n  charset=us-ascii\r\n"
            "\r\nfirst body line\r\n");
  EXPECT_EQ(ReadWholeFile(SetDir(id) + "CT"), "2\r\n");
  EXPECT_EQ(fs::status(SetDir(id)).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(Parts()).permissions() & fs::perms::all, fs::perms::owner_all);

  // Later fragments are stored from their body's first line on, as received.
  Deliver(FragmentMail("id=later; number=2", "From: not a header here\r\nline\r\n"));
  EXPECT_EQ(m_Stdout, "Saving part 2 later\n");
  EXPECT_EQ(ReadWholeFile(SetDir("later") + "2"), "From: not a header here\r\nline\r\n");
  EXPECT_FALSE(fs::exists(SetDir("later") + "CT"));
}

TEST_F(PartialStoreTest, RefusedFragmentsWarnAndLeaveNothing) {
  const std::pair<const char*, const char*> cases[] = {
      {"number=1; total=2", "has no id parameter"},
      {"id=r; total=2", "doesn't have number parameter"},
      {"id=r; number=1; total=0", "has invalid number of parts"},
      {"id=r; number=1; total=2147483648", "has invalid number of parts"},
      {"id=r; number=1; total=1001", "has invalid number of parts"},
      {"id=r; number=4; total=3", "has invalid number"},
      {"id=r; number=99999999999", "has invalid number"},
  };
  for (const auto& [params, warning] : cases) {
    const std::string errors = Deliver(FragmentMail(params, "body\r\n"));
    EXPECT_NE(errors.find(std::string("dekant: warning: partial message ") + warning + "\n"),
              std::string::npos)
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

TEST_F(PartialStoreTest, IdsSharingElevenCharactersAreNotMixedAndAStoredTotalCompletes) {
  const std::string a = "abcdefghijk.one@example.org", b = "abcdefghijk.two@example.org";
  ASSERT_EQ(FragmentShortName(a), FragmentShortName(b));
  // The total comes with a stored fragment; the completing one has none.
  Deliver(FragmentMail("id=\"" + a + "\"; number=2; total=2", "alpha two\r\n"));
  Deliver(FragmentMail("id=\"" + b + "\"; number=2; total=2", "bravo two\r\n"));
  Deliver(FragmentMail("id=\"" + a + "\"; number=1", "Content-Type: text/plain\r\n\r\nalpha one\r\n"));
  EXPECT_EQ(MessageContent(), "alpha one\r\nalpha two\r\n");
  EXPECT_FALSE(fs::exists(SetDir(a)));  // joined, then deleted
  EXPECT_TRUE(fs::exists(SetDir(b) + "2"));
}

TEST_F(PartialStoreTest, SetStaysWhenTheJoinOrTheHandOnFails) {
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

  // The joined mail's attachment list line cannot be written.
  const std::string kept = "unsaved@example.org";
  Deliver(FragmentMail("id=\"" + kept + "\"; number=1; total=2",
                       "Content-Type: application/octet-stream; name=a.bin\r\n\r\n"));
  fs::remove(m_List);
  fs::create_directory(m_List);
  Deliver(FragmentMail("id=\"" + kept + "\"; number=2", "data\r\n"));
  EXPECT_GT(m_Failures, 0);
  for (const char* name : {"1", "2", "CT"}) EXPECT_TRUE(fs::exists(SetDir(kept) + name)) << name;
  EXPECT_FALSE(fs::exists(SetDir(kept) + "FULL"));
}

TEST_F(PartialStoreTest, SetsUntouchedForFourteenDaysAreRemoved) {
  m_Box.EnableLogs();
  for (const char* id : {"stale", "recent", "revived"})
    Deliver(FragmentMail(std::string("id=") + id + "; number=1; total=2",
                         std::string("Content-Type: text/plain\r\n\r\n") + id + "\r\n"));
  for (const auto& [id, days] : {std::pair{"stale", 15}, {"recent", 13}, {"revived", 15}}) {
    const auto when = fs::file_time_type::clock::now() - std::chrono::hours(24 * days);
    for (const auto& entry : fs::directory_iterator(SetDir(id))) fs::last_write_time(entry.path(), when);
    fs::last_write_time(SetDir(id), when);
  }
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
  EXPECT_NE(m_Box.PrimaryLog().find("DECODE - Removing fragments of an incomplete partial message: " +
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

  const std::string blocker = m_Box.Root() + "not-a-dir";
  SpoolSandbox::Touch(blocker);
  ::setenv("TMP", blocker.c_str(), 1);
  errors = Deliver(FragmentMail("id=nowhere; number=1; total=1", "body\r\n"));
  EXPECT_NE(errors.find(blocker + kPathSeparatorText + "parts: "), std::string::npos) << errors;
  EXPECT_EQ(m_Stdout, "");
  EXPECT_GT(m_Failures, 0);
  EXPECT_FALSE(fs::exists("CT"));  // nothing lands in the current directory
}

}  // namespace
