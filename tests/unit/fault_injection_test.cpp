// tests/unit/fault_injection_test.cpp: the fault seam's rules: matching, counts, errors, the text form;
// the test build's reply time-out.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform/FaultInjection.h"
#include "platform/Process.h"

namespace {

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override { ClearFaults(); }
  void TearDown() override { ClearFaults(); }
};

TEST_F(FaultInjection, ARuleFailsItsCountOfMatchingCallsWithItsError) {
  ArmFault(FaultOp::kWrite, "/spool/*.tmp", 2, ENOSPC);
  ArmFault(FaultOp::kWrite, "*", 1);
  errno = 0;
  EXPECT_FALSE(FaultInjected(FaultOp::kSync, "/spool/a.tmp"));  // another operation
  EXPECT_TRUE(FaultInjected(FaultOp::kWrite, "/spool/a.tmp"));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_TRUE(FaultInjected(FaultOp::kWrite, "/spool/b.tmp"));
  EXPECT_TRUE(FaultInjected(FaultOp::kWrite, "/spool/c.tmp"));  // the second rule, EIO
  EXPECT_EQ(errno, EIO);
  EXPECT_FALSE(FaultInjected(FaultOp::kWrite, "/spool/d.tmp"));  // all used up
}

TEST_F(FaultInjection, RulesFromText) {
  const struct {
    const char* ruleText;
    bool ok;
  } cases[] = {
      // clang-format off
      {"sync:1::/a/hive.reg.new", true}, {"rename:2:ENOSPC:c:\\x", true}, {"create:1:EIO:*;write:3::*", true},
      {"", true}, {"flush:1::*", false}, {"write:0::*", false}, {"write:1:EPERM:*", false}, {"write:1::", false},
      {"write:1:*", false}, {"write:x1::*", false}, {"sync:1::*;bad", false},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ruleText);
    ClearFaults();
    EXPECT_EQ(ArmFaultsFromText(c.ruleText), c.ok);
    if (!c.ok) {
      EXPECT_FALSE(FaultInjected(FaultOp::kWrite, "/x"));  // nothing armed
    }
  }
  ClearFaults();
  ASSERT_TRUE(ArmFaultsFromText("rename:1:ENOSPC:c:\\x"));  // the pattern keeps its colon
  EXPECT_FALSE(FaultInjected(FaultOp::kRename, "c"));
  EXPECT_TRUE(FaultInjected(FaultOp::kRename, "c:\\x"));
  EXPECT_EQ(errno, ENOSPC);
}

// Only a test build takes a shortened limit, and only a number of milliseconds
// within range; anything else keeps the normal limit.
TEST(TestDuration, ReadFromTheEnvironmentInATestBuildOnly) {
  constexpr std::uint32_t kNormal = 35000;
  const struct {
    const char* text;  // null: not set
    std::uint32_t expected;
  } cases[] = {{nullptr, kNormal}, {"1500", 1500},  {"1", 1},      {"600000", 600000},   {"0", kNormal},
               {"-5", kNormal},    {"2s", kNormal}, {"", kNormal}, {"99999999", kNormal}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(not set)");
    SetEnvironmentValue("CVSMTPGW_REPLY_TIMEOUT_MS", c.text);
    EXPECT_EQ(TestDurationMs("CVSMTPGW_REPLY_TIMEOUT_MS", kNormal),
              FaultEnvironmentHonoured() ? c.expected : kNormal);
  }
  SetEnvironmentValue("CVSMTPGW_REPLY_TIMEOUT_MS", nullptr);
}

}  // namespace
