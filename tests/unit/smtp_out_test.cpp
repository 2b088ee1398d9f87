// tests/unit/smtp_out_test.cpp: the deliverer's error names and a main thread
// that neither spins on a message it cannot take nor keeps its owner waiting
// at the end. (What a delivery leaves in IN: test_outbound_delivery.py.)
#include "smtpout/SMTPOut.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>

#include "LoopbackSockets.h"
#include "SpoolTestSupport.h"
#include "spool/CFileMan.h"

namespace {

constexpr const char kMessage[] =
    "FROM: Fax Server\r\nTO: <user@127.0.0.1>\r\nSUBJECT: Fax received from 4711\r\n\r\nBEGIN BODY\r\n\r\n"
    "A fax arrived.\r\n\r\nEND BODY\r\n\r\nBEGIN ATTACH\r\n<<page1.tif:F1.tif>>\r\n<<page2.tif:F2.tif>>\r\n"
    "END ATTACH\r\n";

class SMTPOutTest : public ::testing::Test {
 protected:
  void Start(int port) {
    m_Box.WithProgramPath();
    m_Box.SetText("DomainName", "fax.example.com");
    m_Box.SetText("DNSName", "127.0.2.53");  // nothing answers: the receiver domain's own address is used
    m_Box.SetNumber("SmtpTxPort", static_cast<DWORD>(port));
    m_Files = std::make_unique<CFileMan>();
    m_Out = std::make_unique<SMTPOut>();
    m_Out->fileMan = m_Files.get();
  }

  SpoolSandbox m_Box;
  std::unique_ptr<CFileMan> m_Files;
  std::unique_ptr<SMTPOut> m_Out;
};

TEST(OutboundErrorNameTest, OnlyTheFileNameChanges) {
  const struct {
    const char* path;
    const char* suffix;
    bool upper;
    const char* expected;
  } cases[] = {
      {"/spool/IN/abc.tmp", ".NoName.Err", false, "/spool/IN/abc.NoName.Err"},
      {"/spool/IN/ABC.TMP", ".NoName.Err", false, "/spool/IN/ABC.NoName.Err"},
      {"/spool/IN/abc.tmp", ".ConnFailed.Err", true, "/spool/IN/ABC.ConnFailed.Err"},
      {"/spool/IN/Fax-1.Tmp", ".ConnTermin.Err", true, "/spool/IN/FAX-1.ConnTermin.Err"},
      // A ".tmp" elsewhere in the path is not the extension.
      {"/var/x.tmp/IN/a.tmp.b.tmp", ".NoName.Err", false, "/var/x.tmp/IN/a.tmp.b.NoName.Err"},
  };
  // The cases are written with '/'; the names use this platform's separator.
  const auto native = [](std::string path) {
    std::replace(path.begin(), path.end(), '/', kPathSeparator);
    return path;
  };
  for (const auto& c : cases)
    EXPECT_EQ(OutboundErrorName(native(c.path), c.suffix, c.upper), native(c.expected)) << c.path;
}

// A message the fax server still holds cannot be taken: the main thread then
// waits for its next poll instead of asking again at once.
TEST_F(SMTPOutTest, MainThreadWaitsOnAMessageItCannotTakeAndStopsPromptly) {
  m_Box.EnableLogs();
  Start(loopback::FreePort());
  WriteWholeFile(m_Box.In() + "busy.tmp", kMessage);
  CFile held =
      CFile::Open(m_Box.In() + "busy.tmp", FileAccess::kRead, FileShare::kNone, FileCreation::kOpenExisting);
  ASSERT_TRUE(held.IsValid());
  ASSERT_EQ(m_Out->Start(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto before = std::chrono::steady_clock::now();
  m_Out.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_EQ(Occurrences(m_Box.PrimaryLog(), "SMTPOut- New message thread started"), 1u);
  EXPECT_TRUE(m_Box.Logged("SMTPOut::SMTPMainThread() end."));
  EXPECT_EQ(DirectoryNames(m_Box.In()), std::vector<std::string>{"busy.tmp"});
}

// The mail files of a delivery that a crash cut short go at the start; what
// the fax server wrote stays.
TEST_F(SMTPOutTest, MailFilesOfAnInterruptedDeliveryAreRemovedAtStart) {
  m_Box.EnableLogs();
  Start(loopback::FreePort());
  for (const char* name : {"7.zqx", "At7.zqx", "F1.tif", "notes.txt"}) WriteWholeFile(m_Box.In() + name, "x");
  ASSERT_EQ(m_Out->Start(), 0u);
  WaitUntil([this] { return m_Box.Logged("SMTPOut- No messages to send."); });
  m_Out.reset();
  EXPECT_EQ(DirectoryNames(m_Box.In()), (std::vector<std::string>{"F1.tif", "notes.txt"}));
  EXPECT_TRUE(m_Box.Logged("SMTPOut- Removing the mail file of an interrupted delivery: At7.zqx"));
}

}  // namespace
