// tests/unit/log/posix/event_log_test.cpp: events reach the syslog socket as
// one datagram each, with the priority, ident and text that administrators'
// log filters match on, never a forged line; a missing socket costs nothing.
// (Events with texts from the real binary: test_outbound_outcomes.py.)
#include <gtest/gtest.h>

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

  // A line end in a text must not start a forged line of its own.
  EXPECT_NE(ReportServiceEvent(1, GatewayEvent::kAttachmentNotEncoded, {kEventSourceName, "x\nevent 1: forged"}), 0);
  const std::string got = syslog.Next(), text = "event 432: Corvane SMTP Server, x?event 1: forged";
  EXPECT_EQ(got.rfind("<27>", 0), 0u) << got;  // an error
  EXPECT_NE(got.find(" Corvane SMTP Server" + pid + text), std::string::npos) << got;
  EXPECT_EQ(got.substr(got.size() - text.size()), text) << got;
  SetEnvironmentValue("CVSMTPGW_SYSLOG_SOCKET", dir.File("none").c_str());  // a missing socket is no error
  EXPECT_NE(ReportServiceEvent(4, GatewayEvent::kStopping, {kEventSourceName}), 0);
}

}  // namespace
