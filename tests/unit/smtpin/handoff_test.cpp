// The hand-off of one spool file: never stuck for ever behind a name flag, and
// a complete job that could not be synced is kept (test_submission_handoff.py
// has the staging, the names and the withdrawals against the real binary).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "MimeTestSupport.h"
#include "platform/FaultInjection.h"
#include "smtpin/Decode.h"
#include "spool/FileNaming.h"
#include "spool/SpoolSyncer.h"
#include "spool/Submission.h"

namespace {

class HandOffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Box.WithProgramPath();
    m_Box.SetNumber("OUTIndex", 7);
    m_Box.SetNumber("OUTIndexAtt", 0);
    m_Box.EnableLogs();
    WriteWholeFile(m_Spool, AsStored(m_Mail));
    WriteWholeFile(m_Box.Out() + "~41~ENV", "");
    m_Record.dataLength = AsStored(m_Mail).size();
    m_Record.recipients = {"TO:<4711@fax.example.com>"};
  }
  std::vector<std::string> OutFiles() const { return DirectoryNames(m_Box.Out()); }

  SpoolSandbox m_Box;
  const std::string m_Mail =
      "From: a@example.com\nTo: 4711@fax.example.com\nSubject: s\nContent-Type: multipart/mixed; "
      "boundary=b\n\n"
      "--b\nContent-Type: text/plain\n\nbody\n--b\nContent-Type: application/pdf; name=r.pdf\n\nx\n--b--\n";
  const std::string m_Spool = m_Box.Out() + "41.zqx";
  CSpoolRecord m_Record;
};

TEST_F(HandOffTest, ANameFlagHeldForEverIsLoggedAndGivenUpAtTheStop) {
  StopNameWaits(false);               // a hand-off queue of an earlier test stopped them when it went
  m_Box.SetNumber("FileNameUse", 1);  // something else holds the envelope name
  std::atomic<int> result{-1};
  std::thread handOff([&] {
    CSubmission submission(m_Box.Out(), "41");
    result = StageSubmission(m_Spool.c_str(), m_Record, CFileIdentity{}, submission);
  });
  WaitUntil([this] {
    return m_Box.SecondaryLog().find("File name taken, waiting for 25 sec") != std::string::npos;
  });
  EXPECT_EQ(result.load(), -1);
  const auto stopped = std::chrono::steady_clock::now();
  StopNameWaits();
  handOff.join();
  StopNameWaits(false);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(m_Box.Number("OUTIndex"), 7u);  // nothing drawn, nothing made
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"41.zqx", "~41~ENV"}));
}

TEST_F(HandOffTest, AJobWhoseNameCannotBeSyncedStaysAndKeepsItsMail) {
  CSpoolSyncer sync(m_Box.Out().substr(0, m_Box.Out().size() - 1));
  const CSpoolSyncer::CTicket ticket = sync.Begin();
  CSubmission submission(m_Box.Out(), "41");
  ASSERT_EQ(StageSubmission(m_Spool.c_str(), m_Record, CFileIdentity{}, submission), kStaged);
  // Data and names go to disk; the sync after the envelope's rename fails:
  // the job is complete and visible, so it stays, and so does its mail.
  ArmFault(FaultOp::kSync, "*OUT", 1, EIO, 1);
  EXPECT_EQ(CommitSubmissions({&submission}, sync, ticket),
            std::vector<CommitResult>{CommitResult::kUnsynced});
  ClearFaults();
  submission.Withdraw();  // a visible job is never withdrawn
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"41.zqx", "ATT0.pdf", "ENV7.bdy", "ENV7.tmp",
                                                  "~41~ATT0.pdf", "~41~ENV7.bdy"}));
  ASSERT_TRUE(sync.Sync(sync.Begin(), {}));
  submission.Committed();
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"41.zqx", "ATT0.pdf", "ENV7.bdy", "ENV7.tmp"}));
}

}  // namespace
