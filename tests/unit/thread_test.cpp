// tests/unit/thread_test.cpp: threads (suspended start, stack, handles) and the
// small system calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "platform/Process.h"
#include "platform/System.h"

namespace {
unsigned SetFlag(void* argument) {
  static_cast<std::atomic<int>*>(argument)->store(1);
  return 0;
}

// Uses a few hundred KiB of stack: far more than the 4096 bytes connection
// threads ask for, as much as a Windows thread of that request may use.
unsigned DeepStack(void* argument) {
  volatile char block[384 * 1024];
  std::memset(const_cast<char*>(block), 1, sizeof block);
  static_cast<std::atomic<int>*>(argument)->store(block[sizeof block - 1]);
  return 0;
}

TEST(ThreadTest, SuspendedThreadRunsOnlyAfterResume) {
  std::atomic<int> flag{0};
  const ThreadHandle handle = BeginThread(4096, SetFlag, &flag, true);
  ASSERT_NE(handle, 0u);
  EXPECT_FALSE(WaitThreadHandle(handle, 100));
  EXPECT_EQ(flag.load(), 0);
  ASSERT_TRUE(ResumeThreadHandle(handle));
  EXPECT_TRUE(WaitThreadHandle(handle, 10000));
  EXPECT_EQ(flag.load(), 1);
  EXPECT_TRUE(WaitThreadHandle(handle, 0));  // the handle outlives the thread
  EXPECT_TRUE(CloseThreadHandle(handle));
}

TEST(ThreadTest, SmallStackRequestStillGetsAUsableStack) {
  EXPECT_GE(EffectiveStackSize(4096), 1024u * 1024u);
  EXPECT_EQ(EffectiveStackSize(4096) % 4096, 0u);
  EXPECT_GE(EffectiveStackSize(3 * 1024 * 1024 + 1), 3u * 1024 * 1024 + 1);
  std::atomic<int> result{0};
  const ThreadHandle handle = BeginThread(4096, DeepStack, &result, false);
  ASSERT_NE(handle, 0u);
  EXPECT_TRUE(WaitThreadHandle(handle, kWaitForever));
  EXPECT_EQ(result.load(), 1);
  CloseThreadHandle(handle);
}

TEST(SystemTest, TempDirectoryAndMessageBox) {
  SetEnvironmentValue("TMP", "/var/tmp/x/");
  EXPECT_EQ(TempDirectory(), "/var/tmp/x");
  SetEnvironmentValue("TMP", "");
  EXPECT_EQ(TempDirectory(), "/tmp");
  SetEnvironmentValue("TMP", nullptr);

  ::testing::internal::CaptureStderr();
  ShowMessageBox("Service installed", "Corvane SMTP Server", MB_OK_CODE);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Corvane SMTP Server: Service installed\n");
}
}  // namespace
