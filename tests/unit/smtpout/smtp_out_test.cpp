// tests/unit/smtpout/smtp_out_test.cpp: the names the deliverer gives the messages it
// gives up on, and a main thread that does not spin on a message it cannot
// take. (The outcomes themselves: test_outbound_outcomes.py; messages that
// wait: test_outbound_retries.py.)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "OutboundTestSupport.h"
#include "platform/File.h"
#include "smtpout/SMTPOut.h"

namespace {

TEST(OutboundErrorNameTest, OnlyTheFileNameChanges) {
  const struct {
    const char* path;
    const char* suffix;
    bool upper;
    const char* expected;
  } cases[] = {
      {"/spool/IN/ABC.TMP", ".NoName.Err", false, "/spool/IN/ABC.NoName.Err"},
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

// A message the fax server still holds is looked at again after a poll, not
// at once: one delivery run in half a second, and the stop is prompt.
TEST_F(OutboundTest, MainThreadWaitsOnAMessageItCannotTake) {
  m_Box.EnableLogs();
  MakeDeliverer();
  WriteWholeFile(m_Box.In() + "busy.tmp", "FROM: Fax\r\nTO: <user@127.0.0.1>\r\nSUBJECT: x\r\n");
  CFile held =
      CFile::Open(m_Box.In() + "busy.tmp", FileAccess::kRead, FileShare::kNone, FileCreation::kOpenExisting);
  ASSERT_TRUE(held.IsValid());
  ASSERT_EQ(m_Out->Start(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto before = std::chrono::steady_clock::now();
  m_Out.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  const std::string log = m_Box.PrimaryLog(), run = "SMTPOut- New message thread started";
  EXPECT_NE(log.find(run), std::string::npos);
  EXPECT_EQ(log.find(run, log.find(run) + 1), std::string::npos);  // once, not again and again
  EXPECT_TRUE(FileExists(m_Box.In() + "busy.tmp"));
}

}  // namespace
