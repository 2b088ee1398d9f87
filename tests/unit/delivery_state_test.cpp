// tests/unit/delivery_state_test.cpp: the schedule of a message's attempts:
// at once, then 1, 5, 15 and 60 minutes later, counted for each message on
// its own; messages that are done with stay done while their file stays.
#include "smtpout/DeliveryState.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = CDeliverySchedule::Clock;

TEST(DeliveryScheduleTest, AttemptsAreSpreadAndCountedPerMessage) {
  CDeliverySchedule schedule(1000ms);  // a "minute" of one second
  const Clock::time_point start{};
  ASSERT_TRUE(schedule.Due("a.tmp", start));
  // (failed attempt of a.tmp at, attempts after it, due again at)
  const struct {
    Clock::duration at;
    int attempts;
    Clock::duration next;
  } steps[] = {{0s, 1, 1s}, {1s, 2, 6s}, {6s, 3, 21s}, {21s, 4, 81s}};
  for (const auto& s : steps) {
    SCOPED_TRACE(s.attempts);
    EXPECT_EQ(schedule.Failed("a.tmp", start + s.at), s.attempts);
    EXPECT_FALSE(schedule.Due("a.tmp", start + s.next - 1ms));
    EXPECT_TRUE(schedule.Due("a.tmp", start + s.next));
    EXPECT_EQ(schedule.NextDue(), start + s.next);
    // Another message meanwhile is due at once and has its own count.
    EXPECT_TRUE(schedule.Due("b.tmp", start + s.at));
  }
  EXPECT_EQ(schedule.Failed("b.tmp", start + 2s), 1);
  EXPECT_EQ(schedule.NextDue(), start + 3s);  // b's retry comes before a's
  EXPECT_EQ(schedule.Failed("a.tmp", start + 81s), CDeliverySchedule::kAttempts);
}

TEST(DeliveryScheduleTest, DoneMessagesWaitUntilTheirFileGoes) {
  CDeliverySchedule schedule;
  const Clock::time_point now{};
  schedule.Done("kept.tmp");
  schedule.Failed("waiting.tmp", now);
  schedule.Defer("held.tmp", now + 10s);
  EXPECT_FALSE(schedule.Due("kept.tmp", now + 24h));
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
