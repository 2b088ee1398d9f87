// tests/unit/spool/file_man_test.cpp: the file manager's spool file names and its queue
// of outbound messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <thread>

#include "SpoolTestSupport.h"
#include "platform/FaultInjection.h"
#include "platform/Process.h"
#include "spool/CFileMan.h"

namespace {

class CFileManQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Box.WithProgramPath();
    m_Files = std::make_unique<CFileMan>();
  }
  int Open(CFile& handle, std::string& path) {
    char buffer[260] = "";
    const int rc = m_Files->Que_OpenMsg(handle, buffer, sizeof(buffer));
    path = buffer;
    return rc;
  }
  std::string Spool(DWORD n) const { return m_Box.Out() + std::to_string(n) + ".zqx"; }

  SpoolSandbox m_Box;
  std::unique_ptr<CFileMan> m_Files;
};

// A counter that comes back to a number (its wrap, a power loss, a restored
// hive) must never replace a spooled mail nor stage an envelope beside one:
// the next start would hand that mail off again.
TEST_F(CFileManQueue, AddMsgCreatesExclusiveSpoolFilesAndSkipsNumbersInUse) {
  std::vector<DWORD> hundred(100);
  std::iota(hundred.begin(), hundred.end(), 0);
  const struct {
    DWORD start;
    std::vector<DWORD> present;
    std::vector<std::string> staged;
    DWORD created, counterAfter;  // created 0: QUE_AddMsg gives up
  } cases[] = {{17, {}, {}, 17, 18},
               {8, {}, {"~8~ATT1.pdf", "~9~ENV"}, 10, 11} /* a job's leftovers, a hand-off's envelope */,
               {65534, {65534, 0}, {"~1~ENV2.bdy"}, 2, 3} /* across the wrap */,
               {0, hundred, {}, 0, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start);
    std::filesystem::remove_all(m_Box.Out());
    std::filesystem::create_directory(m_Box.Out());
    for (DWORD n : c.present) {
      WriteWholeFile(Spool(n), "mail " + std::to_string(n));
      ArmFault(FaultOp::kCreate, "*~" + std::to_string(n) + "~ENV", 1);  // must not even be tried
    }
    for (const std::string& name : c.staged) WriteWholeFile(m_Box.Out() + name, "staged");
    m_Box.SetNumber("TmpIndex", c.start);
    CFile file;
    char path[260] = "";
    const int rc = m_Files->QUE_AddMsg(file, path, sizeof(path));
    ClearFaults();
    if (c.created != 0) {
      ASSERT_EQ(rc, 0);
      EXPECT_EQ(std::string(path), Spool(c.created));
      EXPECT_TRUE(file.IsValid());
      EXPECT_EQ(std::filesystem::file_size(path), 0u);
      CFile other = CFile::Open(path, FileAccess::kRead, FileShare::kReadWrite, FileCreation::kOpenExisting);
      EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    } else {
      EXPECT_EQ(rc, 2);
      EXPECT_FALSE(file.IsValid());
    }
    EXPECT_EQ(m_Box.Number("TmpIndex"), c.counterAfter);
    for (DWORD n : c.present) EXPECT_EQ(ReadWholeFile(Spool(n)), "mail " + std::to_string(n));
    for (const std::string& name : c.staged) EXPECT_EQ(ReadWholeFile(m_Box.Out() + name), "staged");
    // Nothing made but the new mail's spool file and staged envelope.
    std::vector<std::string> expected = c.staged;
    for (DWORD n : c.present) expected.push_back(std::to_string(n) + ".zqx");
    if (c.created != 0 || rc == 0)
      expected.insert(expected.end(),
                      {std::to_string(c.created) + ".zqx", "~" + std::to_string(c.created) + "~ENV"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(DirectoryNames(m_Box.Out()), expected);
  }
  // A name that cannot take the longest number leaves the counter alone.
  char path[260];
  EXPECT_EQ(m_Files->NextTmpFileName(path, m_Box.ProgramPath().size() + 8), 1);
  EXPECT_EQ(m_Box.Number("TmpIndex"), 100u);
}

// A message in delivery, by another thread or process, is never handed out twice.
TEST_F(CFileManQueue, MessagesHeldElsewhereAreSkipped) {
  SpoolSandbox::Touch(m_Box.In() + "one.tmp");
  SpoolSandbox::Touch(m_Box.In() + "two.tmp");
  CFile handles[3];
  std::string paths[3];
  int result = -1;
  std::thread a([&] { result = Open(handles[0], paths[0]); });
  EXPECT_EQ(Open(handles[1], paths[1]), 0);
  a.join();
  EXPECT_EQ(result, 0);
  EXPECT_NE(paths[0], paths[1]);
  EXPECT_EQ(Open(handles[2], paths[2]), 1);

  const std::string held = m_Box.In() + "held.tmp";
  SpoolSandbox::Touch(held);
  CChildProcess holder;
  ASSERT_TRUE(holder.Start({CVSMTPGW_TEST_HELPER, "hold-exclusive", held}));
  std::string line;
  ASSERT_TRUE(holder.ReadLine(line, 10000) && line == "locked");
  EXPECT_EQ(Open(handles[2], paths[2]), 1);
  SpoolSandbox::Touch(m_Box.In() + "free.tmp");
  EXPECT_EQ(Open(handles[2], paths[2]), 0);
  EXPECT_EQ(paths[2], m_Box.In() + "free.tmp");
  holder.CloseInput();
  EXPECT_EQ(holder.Wait(10000), 0);
}

}  // namespace
