// tests/unit/CFileMan_test.cpp: inbound spool files, the outbound queue and the
// handle-to-path list of the file manager.
#include "spool/CFileMan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "SpoolTestSupport.h"

namespace {

class CFileManQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Box.WithProgramPath();
    m_Box.EnableLogs();
    m_Files = std::make_unique<CFileMan>();
  }
  std::string InFile(const std::string& name) const { return m_Box.In() + name; }

  SpoolSandbox m_Box;
  std::unique_ptr<CFileMan> m_Files;
};

TEST_F(CFileManQueue, AddMsgCreatesNumberedExclusiveSpoolFiles) {
  m_Box.SetNumber("TmpIndex", 17);
  CFile first;
  char path[260];
  ASSERT_EQ(m_Files->QUE_AddMsg(first, path, sizeof(path)), 0);
  EXPECT_EQ(std::string(path), m_Box.Out() + "17.zqx");
  EXPECT_TRUE(first.IsValid());
  EXPECT_EQ(FileWriteText(first, "Received: x\r\n"), 13);

  // Nobody else may open it while the session writes it.
  CFile other = CFile::Open(path, FileAccess::kRead, FileShare::kReadWrite, FileCreation::kOpenExisting);
  EXPECT_FALSE(other.IsValid());
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  CFile second;
  ASSERT_EQ(m_Files->QUE_AddMsg(second, path, sizeof(path)), 0);
  EXPECT_EQ(std::string(path), m_Box.Out() + "18.zqx");
  EXPECT_EQ(m_Box.Number("TmpIndex"), 19u);
}

TEST_F(CFileManQueue, AddMsgReportsAFileThatCannotBeCreated) {
  std::filesystem::remove_all(m_Box.Out());
  m_Box.SetNumber("TmpIndex", 5);
  CFile handle;
  char path[260];
  EXPECT_EQ(m_Files->QUE_AddMsg(handle, path, sizeof(path)), 2);
  EXPECT_FALSE(handle.IsValid());
  EXPECT_EQ(std::string(path), m_Box.Out() + "5.zqx");
  EXPECT_NE(m_Box.PrimaryLog().find("QUE_AddMsg Error: File open: " + m_Box.Out() + "5.zqx"), std::string::npos);
  EXPECT_NE(m_Box.PrimaryLog().find("WSA Socket Error: ("), std::string::npos);
}

TEST_F(CFileManQueue, TmpNameNeedsRoomForTheLongestName) {
  m_Box.SetNumber("TmpIndex", 3);
  char name[260];
  EXPECT_EQ(m_Files->NextTmpFileName(name, m_Box.ProgramPath().size() + 8), 1);
  EXPECT_EQ(m_Box.Number("TmpIndex"), 3u);
  EXPECT_EQ(m_Files->NextTmpFileName(name, sizeof(name)), 0);
  EXPECT_EQ(std::string(name), m_Box.Out() + "3.zqx");
}

TEST_F(CFileManQueue, CountsTmpFilesOfAnyCaseButNotHiddenOnes) {
  for (const char* name : {"a.tmp", "ABC.TMP", ".hidden.tmp", "b.txt", "c.tmpx"}) SpoolSandbox::Touch(InFile(name));
  int count = -1;
  EXPECT_EQ(m_Files->Que_CountMsgs(count), 0);
  EXPECT_EQ(count, 2);
  std::filesystem::remove_all(m_Box.In());
  EXPECT_EQ(m_Files->Que_CountMsgs(count), 0);
  EXPECT_EQ(count, 0);
}

TEST_F(CFileManQueue, OpenMsgWithNothingToOpenReturns1) {
  CFile handle;
  char path[260] = "";
  EXPECT_EQ(m_Files->Que_OpenMsg(handle, path, sizeof(path)), 1);
  EXPECT_FALSE(handle.IsValid());
}

TEST_F(CFileManQueue, OpenThenDeleteRemovesTheMessage) {
  SpoolSandbox::Touch(InFile("ABC.TMP"));
  CFile handle;
  char path[260];
  ASSERT_EQ(m_Files->Que_OpenMsg(handle, path, sizeof(path)), 0);
  EXPECT_EQ(std::string(path), InFile("ABC.TMP"));
  char recorded[260];
  ASSERT_EQ(m_Files->GetIDNameLink(handle.Id(), recorded, sizeof(recorded)), 0);
  EXPECT_STREQ(recorded, path);
  const std::int32_t id = handle.Id();

  EXPECT_EQ(m_Files->Que_CloseAndDeleteMsg(handle), 0);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(m_Files->GetIDNameLink(id, recorded, sizeof(recorded)), 1);
  const std::string log = m_Box.PrimaryLog();
  EXPECT_NE(log.find("Que_OpenMsg - filename to check for: IN" + std::string(kPathSeparatorText) + "ABC.TMP"),
            std::string::npos);
  EXPECT_NE(log.find("AddIDNameLink ID: " + std::to_string(id)), std::string::npos);
  EXPECT_NE(log.find("Deleting file: " + std::string(kPathSeparatorText) + "ABC.TMP"), std::string::npos);
  EXPECT_NE(log.find("DelIDNameLink Name: " + InFile("ABC.TMP")), std::string::npos);
}

TEST_F(CFileManQueue, CloseMsgKeepsTheFileAndForgetsTheHandle) {
  SpoolSandbox::Touch(InFile("m.tmp"));
  CFile handle;
  char path[260];
  ASSERT_EQ(m_Files->Que_OpenMsg(handle, path, sizeof(path)), 0);
  const std::int32_t id = handle.Id();
  EXPECT_EQ(m_Files->Que_CloseMsg(handle), 0);
  EXPECT_TRUE(std::filesystem::exists(path));
  char recorded[260];
  EXPECT_EQ(m_Files->GetIDNameLink(id, recorded, sizeof(recorded)), 1);
  EXPECT_EQ(m_Files->Que_CloseMsg(handle), 1);  // already closed
}

TEST_F(CFileManQueue, FailedCloseReturns1AndFreesTheLock) {
  CFile invalid;
  EXPECT_EQ(m_Files->Que_CloseAndDeleteMsg(invalid), 1);
  EXPECT_NE(m_Box.PrimaryLog().find("Error: File close error"), std::string::npos);
  bool locked = false;
  std::thread other([&] {
    locked = m_Files->Lock().try_lock();
    if (locked) m_Files->Lock().unlock();
  });
  other.join();
  EXPECT_TRUE(locked);
}

TEST_F(CFileManQueue, TwoThreadsGetDifferentMessages) {
  SpoolSandbox::Touch(InFile("one.tmp"));
  SpoolSandbox::Touch(InFile("two.tmp"));
  CFile handles[2];
  char paths[2][260] = {};
  int results[2] = {-1, -1};
  std::thread a([&] { results[0] = m_Files->Que_OpenMsg(handles[0], paths[0], sizeof(paths[0])); });
  std::thread b([&] { results[1] = m_Files->Que_OpenMsg(handles[1], paths[1], sizeof(paths[1])); });
  a.join();
  b.join();
  ASSERT_EQ(results[0], 0);
  ASSERT_EQ(results[1], 0);
  EXPECT_STRNE(paths[0], paths[1]);
  // Both are in delivery: a third caller finds nothing it may open.
  CFile third;
  char path[260];
  EXPECT_EQ(m_Files->Que_OpenMsg(third, path, sizeof(path)), 1);
  EXPECT_EQ(m_Files->Que_CloseMsg(handles[0]), 0);
  EXPECT_EQ(m_Files->Que_OpenMsg(third, path, sizeof(path)), 0);
  EXPECT_STREQ(path, paths[0]);
}

#ifdef CVSMTPGW_TEST_HELPER
TEST_F(CFileManQueue, MessageHeldByAnotherProcessIsSkipped) {
  const std::string held = InFile("held.tmp");
  SpoolSandbox::Touch(held);
  const std::string ready = m_Box.Root() + "ready";
  const std::string release = m_Box.Root() + "release";
  // The holder keeps the file until its input ends, which is when `release` appears.
  std::thread holder([&] {
    m_Box.RunShell("while [ ! -e '" + release + "' ]; do sleep 0.05; done | '" + CVSMTPGW_TEST_HELPER +
                   "' hold-exclusive '" + held + "' > '" + ready + "'");
  });
  struct Release {
    const std::string& file;
    std::thread& holder;
    ~Release() {
      SpoolSandbox::Touch(file);
      if (holder.joinable()) holder.join();
    }
  } releaseOnExit{release, holder};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (SpoolSandbox::ReadWhole(ready) != "locked\n" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(SpoolSandbox::ReadWhole(ready), "locked\n");

  CFile handle;
  char path[260];
  EXPECT_EQ(m_Files->Que_OpenMsg(handle, path, sizeof(path)), 1);
  SpoolSandbox::Touch(InFile("free.tmp"));
  EXPECT_EQ(m_Files->Que_OpenMsg(handle, path, sizeof(path)), 0);
  EXPECT_EQ(std::string(path), InFile("free.tmp"));

  SpoolSandbox::Touch(release);
  holder.join();  // the helper has ended: its lock is gone
  CFile next;
  EXPECT_EQ(m_Files->Que_OpenMsg(next, path, sizeof(path)), 0);
  EXPECT_EQ(std::string(path), held);
}
#endif

TEST_F(CFileManQueue, RemovingTheFirstLinkKeepsTheOthers) {
  std::lock_guard lock(m_Files->Lock());
  ASSERT_EQ(m_Files->AddIDNameLink(101, "/a"), 0);
  ASSERT_EQ(m_Files->AddIDNameLink(102, "/bb"), 0);
  ASSERT_EQ(m_Files->AddIDNameLink(103, "/ccc"), 0);
  EXPECT_EQ(m_Files->DelIDNameLink(101), 0);
  EXPECT_EQ(m_Files->DelIDNameLink(101), 1);
  char out[260];
  EXPECT_EQ(m_Files->GetIDNameLink(101, out, sizeof(out)), 1);
  ASSERT_EQ(m_Files->GetIDNameLink(102, out, sizeof(out)), 0);
  EXPECT_STREQ(out, "/bb");
  ASSERT_EQ(m_Files->GetIDNameLink(103, out, sizeof(out)), 0);
  EXPECT_STREQ(out, "/ccc");
  EXPECT_EQ(m_Files->GetIDNameLink(103, out, 4), 2);  // needs room for the terminator
}

TEST(QueueFileHelpers, ReadLineWantsALineFeed) {
  SpoolSandbox box;
  const std::string path = box.Root() + "lines";
  std::ofstream(path, std::ios::binary) << "ab\nlonger line\nlast";
  CFile file = CFile::Open(path, FileAccess::kRead, FileShare::kReadWrite, FileCreation::kOpenExisting);
  ASSERT_TRUE(file.IsValid());
  char buffer[8];
  EXPECT_EQ(FileReadLine(file, buffer, 0), 0);
  ASSERT_EQ(FileReadLine(file, buffer, sizeof(buffer)), 3);
  EXPECT_EQ(std::string(buffer, 3), "ab\n");
  EXPECT_EQ(FileReadLine(file, buffer, sizeof(buffer)), 8);  // no LF within 8 bytes
  EXPECT_EQ(std::string(buffer, 8), "longer l");
  EXPECT_EQ(FileReadLine(file, buffer, sizeof(buffer)), 4);  // "ine\n"
  EXPECT_EQ(FileReadLine(file, buffer, sizeof(buffer)), 0);  // "last" has no LF
  EXPECT_EQ(FileRead(file, buffer, sizeof(buffer)), 0);
  EXPECT_EQ(FileClose(file), 0);
  EXPECT_EQ(FileClose(file), 1);
  EXPECT_EQ(FileWrite(file, "x", 1), 0);
}

}  // namespace
