// tests/unit/smtpout/delivery_state_test.cpp: what the deliverer remembers of a
// message lasts only while its file does. (Messages done with whose file stays,
// and the attempts counted for each message on its own: test_outbound_retries.py.)
#include "smtpout/DeliveryState.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = CDeliverySchedule::Clock;

TEST(DeliveryScheduleTest, ANewFileOfAGoneMessagesNameStartsAfresh) {
  CDeliverySchedule schedule;
  const Clock::time_point now{};
  schedule.Done("kept.tmp");
  schedule.Failed("waiting.tmp", now);
  schedule.Defer("held.tmp", now + 10s);
  EXPECT_FALSE(schedule.Due("held.tmp", now + 9s));
  EXPECT_TRUE(schedule.Due("held.tmp", now + 10s));
  EXPECT_EQ(schedule.Attempts("held.tmp"), 0);  // deferring is no attempt
  // The files of kept.tmp and waiting.tmp are gone: a new file of either name starts afresh.
  schedule.KeepOnly({"held.tmp", "other.tmp"});
  EXPECT_EQ(schedule.Size(), 1u);
  EXPECT_TRUE(schedule.Due("kept.tmp", now));
  EXPECT_EQ(schedule.Attempts("waiting.tmp"), 0);
}

}  // namespace
