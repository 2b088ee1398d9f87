// tests/unit/mime/partial_test.cpp: fragment directory names and the storing,
// joining and expiry of message/partial sets, run through the real decoder
// over stored mails in a private spool and TMP directory.
#include "mime/Partial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "MimeTestSupport.h"
#include "mime/FragmentDir.h"
#include "platform/Process.h"

namespace fs = std::filesystem;

namespace {

std::string FragmentMail(const std::string& params, const std::string& body) {
  return "From: sender@example.org\nSubject: split\nContent-Type: message/partial;\n\t" + params + "\n\n" +
         body;
}

class PartialStoreTest : public ::testing::Test {
 protected:
  // Decodes one mail as the hand-off does, its warnings kept off the test's output.
  void Deliver(const std::string& mail) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    m_Failures = m_Box.Decode(mail, {"TO:<4711@fax.example.com>"});
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
  }
  std::string Parts() const { return m_Box.Tmp() + kPathSeparatorText + "parts"; }
  std::string SetDir(const std::string& id) const {
    return Parts() + kPathSeparatorText + FragmentDirName(id) + kPathSeparatorText;
  }
  std::string MessageContent() const { return ReadWholeFile(m_Box.Out() + "Msgcnt.imp"); }

  DecoderSandbox m_Box;
  int m_Failures = 0;  // output failures the last delivery reported to the hand-off
};

TEST_F(PartialStoreTest, FirstFragmentGetsMergedHeaderAndCountFileInPrivateDirs) {
  const std::string id = "merge@example.org";
  Deliver(
      "Received: from x\nFrom: sender@example.org\nX-Folded: one\n\ttwo\nMessage-ID: <outer@example.org>\n"
      "content-type: message/partial; id=\"merge@example.org\";\n\tnumber=1; total=2\n"
      "Content-Description: dropped\nSubject: outer\n\n"
      "From: inner@example.org\nMESSAGE-ID: <inner@example.org>\nSubject: inner\n folded inner subject\n"
      "Content-Type: text/plain;\n  charset=us-ascii\nMIME-Version: 1.0\n\nfirst body line\n");
  EXPECT_EQ(ReadWholeFile(SetDir(id) + "1"),
            "Received: from x\r\nFrom: sender@example.org\r\nX-Folded: one\r\n\ttwo\r\nSubject: outer\r\n"
            "MESSAGE-ID: <inner@example.org>\r\nContent-Type: text/plain;\r\n  charset=us-ascii\r\n"
            "\r\nfirst body line\r\n");
  EXPECT_EQ(ReadWholeFile(SetDir(id) + "CT"), "2\r\n");
  // Ours alone (POSIX: mode 0700; Windows: owner and DACL), as the platform judges it.
  EXPECT_TRUE(DirectoryIsPrivate(SetDir(id).substr(0, SetDir(id).size() - 1)));
  EXPECT_TRUE(DirectoryIsPrivate(Parts()));
}

TEST_F(PartialStoreTest, RefusedFragmentsLeaveNothing) {
  for (const char* params : {"number=1; total=2", "id=r; total=2", "id=r; number=1; total=0",
                             "id=r; number=1; total=1001", "id=r; number=4; total=3", "id=r; number=99999999999"}) {
    Deliver(FragmentMail(params, "body\n"));
    EXPECT_EQ(m_Failures, 0) << params;  // dropped, not kept for another try
    EXPECT_FALSE(fs::exists(Parts()) && !fs::is_empty(Parts())) << params;
  }
  // A total known from the count file bounds later numbers too.
  Deliver(FragmentMail("id=ct; number=2; total=3", "two\n"));
  Deliver(FragmentMail("id=ct; number=4", "four\n"));
  EXPECT_FALSE(fs::exists(SetDir("ct") + "4"));
}

TEST_F(PartialStoreTest, IdsSharingElevenCharactersAreNotMixedAndAStoredTotalCompletes) {
  const std::string a = "abcdefghijk.one@example.org", b = "abcdefghijk.two@example.org";
  ASSERT_EQ(FragmentShortName(a), FragmentShortName(b));
  // The total comes with a stored fragment; the completing one has none.
  Deliver(FragmentMail("id=\"" + a + "\"; number=2; total=2", "alpha two\n"));
  Deliver(FragmentMail("id=\"" + b + "\"; number=2; total=2", "bravo two\n"));
  Deliver(FragmentMail("id=\"" + a + "\"; number=1", "Content-Type: text/plain\n\nalpha one\n"));
  EXPECT_EQ(MessageContent(), "alpha one\r\nalpha two\r\n");
  EXPECT_FALSE(fs::exists(SetDir(a)));  // joined, then deleted
  EXPECT_TRUE(fs::exists(SetDir(b) + "2"));
}

TEST_F(PartialStoreTest, SetStaysWhenTheJoinedMailCannotBeHandedOn) {
  // Its attachment list line cannot be written.
  Deliver(
      FragmentMail("id=kept; number=1; total=2", "Content-Type: application/octet-stream; name=a.bin\n\n"));
  fs::remove(m_Box.ListPath());
  fs::create_directory(m_Box.ListPath());
  Deliver(FragmentMail("id=kept; number=2", "data\n"));
  EXPECT_GT(m_Failures, 0);
  for (const char* name : {"1", "2", "CT"}) EXPECT_TRUE(fs::exists(SetDir("kept") + name)) << name;
  EXPECT_FALSE(fs::exists(SetDir("kept") + "FULL"));
}

TEST_F(PartialStoreTest, SetsUntouchedForFourteenDaysAreRemoved) {
  for (const char* id : {"stale", "recent", "revived"})
    Deliver(FragmentMail(std::string("id=") + id + "; number=1; total=2",
                         "Content-Type: text/plain\n\n" + std::string(id) + "\n"));
  for (const auto& [id, days] : {std::pair{"stale", 15}, {"recent", 13}, {"revived", 15}}) {
    const auto when = fs::file_time_type::clock::now() - std::chrono::hours(24 * days);
    for (const auto& entry : fs::directory_iterator(SetDir(id))) fs::last_write_time(entry.path(), when);
    fs::last_write_time(SetDir(id), when);
  }
  // A fragment of an old set keeps that set alive (and here completes it).
  Deliver(FragmentMail("id=revived; number=2", "second\n"));
  EXPECT_EQ(MessageContent(), "revived\r\nsecond\r\n");
  EXPECT_FALSE(fs::exists(SetDir("stale")));
  EXPECT_TRUE(fs::exists(SetDir("recent") + "1"));
}

// A reassembled mail that is itself a fragment of the same set is not stored.
TEST_F(PartialStoreTest, NestedFragmentsAreNotStored) {
  Deliver(FragmentMail("id=outer; number=1; total=1",
                       "Content-Type: message/partial; id=outer; number=1; total=1\n\nx\n"));
  EXPECT_TRUE(fs::is_empty(Parts()));
}

TEST_F(PartialStoreTest, UnusableStoreKeepsTheReceivedMail) {
  // "parts" open to other users, then a TMP that is a file.
  fs::create_directory(Parts());
  fs::permissions(Parts(), fs::perms::all);
  Deliver(FragmentMail("id=shared; number=1; total=2", "body\n"));
  EXPECT_GT(m_Failures, 0);  // the hand-off keeps the received mail
  EXPECT_TRUE(fs::is_empty(Parts()));

  const std::string blocker = m_Box.Root() + "not-a-dir";
  SpoolSandbox::Touch(blocker);
  SetEnvironmentValue("TMP", blocker.c_str());
  Deliver(FragmentMail("id=nowhere; number=1; total=1", "body\n"));
  EXPECT_GT(m_Failures, 0);
  EXPECT_FALSE(fs::exists("CT"));  // nothing lands in the current directory
}

}  // namespace
