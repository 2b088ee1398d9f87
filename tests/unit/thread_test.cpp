// tests/unit/thread_test.cpp: threads (suspended start, stack, handles).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "platform/Process.h"
#include "platform/System.h"

namespace {
// A few hundred KiB of stack: far more than the 4096 bytes connection threads
// ask for, as much as a Windows thread of that request may use.
unsigned DeepStack(void* argument) {
  volatile char block[384 * 1024];
  std::memset(const_cast<char*>(block), 1, sizeof block);
  static_cast<std::atomic<int>*>(argument)->store(block[sizeof block - 1]);
  return 0;
}

TEST(ThreadTest, SuspendedSmallStackThreadRunsOnlyAfterResume) {
  std::atomic<int> result{0};
  const ThreadHandle handle = BeginThread(4096, DeepStack, &result, true);
  ASSERT_NE(handle, 0u);
  EXPECT_FALSE(WaitThreadHandle(handle, 100));
  EXPECT_EQ(result.load(), 0);
  ASSERT_TRUE(ResumeThreadHandle(handle));
  EXPECT_TRUE(WaitThreadHandle(handle, 10000));
  EXPECT_EQ(result.load(), 1);
  EXPECT_TRUE(WaitThreadHandle(handle, 0));  // the handle outlives the thread
  EXPECT_TRUE(CloseThreadHandle(handle));
  EXPECT_GE(EffectiveStackSize(3 * 1024 * 1024 + 1), 3u * 1024 * 1024 + 1);
}
}  // namespace
