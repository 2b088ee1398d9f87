// tests/unit/win32/system_log_test.cpp: events reach ReportEventA and the
// copy named by CVSMTPGW_EVENT_COPY (wine's event log keeps nothing to read back).
#include <gtest/gtest.h>

#include "TempDir.h"
#include "platform/SystemLog.h"
#include "platform/Process.h"

namespace {
TEST(Win32SystemLogTest, EventsAreCopiedPrintableWithoutNullStrings) {
  CTempDir dir;
  const std::string copy = dir.File("events.log");
  SetEnvironmentValue("CVSMTPGW_EVENT_COPY", copy.c_str());
  const char* const texts[] = {"Corvane SMTP Server", nullptr, "IN\\a.tmp\r\nforged line"};
  EXPECT_TRUE(PlatformReportEvent("Corvane SMTP Server", kEventTypeError, 435, texts, 3));
  const char* const one[] = {"Corvane SMTP Server"};
  EXPECT_TRUE(PlatformReportEvent("Corvane SMTP Server", kEventTypeInformation, 420, one, 1));
  SetEnvironmentValue("CVSMTPGW_EVENT_COPY", nullptr);
  EXPECT_TRUE(PlatformReportEvent("Corvane SMTP Server", kEventTypeInformation, 421, one, 1));
  EXPECT_EQ(ReadWholeFile(copy),
            "Corvane SMTP Server: event 435 type 1: Corvane SMTP Server, IN\\a.tmp??forged line\n"
            "Corvane SMTP Server: event 420 type 4: Corvane SMTP Server\n");
}
}  // namespace
