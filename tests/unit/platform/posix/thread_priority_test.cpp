// tests/unit/platform/posix/thread_priority_test.cpp: a lowered thread
// priority stays with the thread that asked; the sessions' threads keep theirs.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/System.h"

namespace {

int NiceOf(pid_t thread) {
  errno = 0;
  const int value = ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
  EXPECT_EQ(errno, 0);
  return value;
}

}  // namespace

TEST(ThreadPriorityTest, LowersTheCallingThreadOnly) {
  const pid_t self = ::gettid();
  const int mine = NiceOf(self);
  int before = 0, after = 0, afterTwice = 0;
  std::thread worker([&] {
    before = NiceOf(::gettid());
    LowerThreadPriority();
    after = NiceOf(::gettid());
    LowerThreadPriority();  // lowered again, never past the lowest there is
    afterTwice = NiceOf(::gettid());
  });
  worker.join();
  EXPECT_EQ(before, mine);
  EXPECT_GT(after, before);
  EXPECT_GE(afterTwice, after);
  // A process-wide change would slow every session with it.
  EXPECT_EQ(NiceOf(self), mine);
  std::thread later([&] { before = NiceOf(::gettid()); });
  later.join();
  EXPECT_EQ(before, mine);
}
