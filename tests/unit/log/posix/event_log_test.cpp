// tests/unit/log/posix/event_log_test.cpp: events reach the syslog socket as
// one datagram each, with the priority, ident and text that administrators'
// log filters match on, never a forged line; a missing socket costs nothing.
// (Events with texts from the real binary: test_outbound_outcomes.py.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "TempDir.h"
#include "log/EventLog.h"
#include "UnixDatagramSocket.h"

namespace {

TEST(EventLogTest, EventsBecomeSyslogDatagrams) {
  CTempDir dir;
  CUnixDatagramSocket syslog(dir.File("log"), "CVSMTPGW_SYSLOG_SOCKET");
  ASSERT_TRUE(syslog.Bound());
  const std::string pid = "[" + std::to_string(::getpid()) + "]: ";

  struct Case {
    std::uint16_t type;
    GatewayEvent id;
    const char* texts[3];
    const char* priority;
    const char* text;
  } const cases[] = {
      // clang-format off
      // A line end in a text must not start a forged line of its own.
      {1, GatewayEvent::kAttachmentNotEncoded, {kEventSourceName, "x\nevent 1: forged", nullptr}, "<27>",
       "event 432: Corvane SMTP Server, x?event 1: forged"},
      {2, GatewayEvent::kSettingIgnored, {kEventSourceName, "Setting \"Colour\" is not one the gateway knows", nullptr},
       "<28>", "event 427: Corvane SMTP Server, Setting \"Colour\" is not one the gateway knows"},
      // clang-format on
  };
  for (const Case& c : cases) {
    EXPECT_NE(ReportServiceEvent(c.type, c.id, {c.texts[0], c.texts[1], c.texts[2]}), 0);
    const std::string got = syslog.Next();
    EXPECT_EQ(got.rfind(c.priority, 0), 0u) << got;
    EXPECT_NE(got.find(std::string(" Corvane SMTP Server") + pid + c.text), std::string::npos) << got;
    EXPECT_EQ(got.substr(got.size() - std::strlen(c.text)), c.text) << got;
  }
  SetEnvironmentValue("CVSMTPGW_SYSLOG_SOCKET", dir.File("none").c_str());  // a missing socket is no error
  EXPECT_NE(ReportServiceEvent(4, GatewayEvent::kStopping, {kEventSourceName}), 0);
}

}  // namespace
