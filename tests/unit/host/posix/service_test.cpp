// tests/unit/host/posix/service_test.cpp: the service controller with a start
// routine that does not return, so that controls can be sent while the
// service starts and stops.
#include "host/CService.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SpoolTestSupport.h"
#include "platform/Process.h"
#include "platform/ServiceManager.h"
#include "UnixDatagramSocket.h"

namespace {

constexpr char kName[] = "Corvane SMTP Server";

std::atomic<bool> g_InStart{false};
std::atomic<bool> g_Release{false};

// Holds the start thread until released (at most 20 s).
int SlowStart(CService*) {
  g_InStart = true;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!g_Release && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return 0;
}

// A start that does not return keeps the service starting, with rising check
// points and never a running report; a stop then waits for it only within
// the stop's wait hint, reporting its own check points, and the hang-up that
// comes meanwhile is not delivered (the service does not run).
TEST(CServiceTest, AStartThatDoesNotReturnIsNeverRunningAndAStopWaitsForItOnlyWithinTheWaitHint) {
  SpoolSandbox box;
  box.EnableLogs();
  CTempDir dir;
  CUnixDatagramSocket notify(dir.File("notify"), "NOTIFY_SOCKET");  // the service manager's end
  ASSERT_TRUE(notify.Bound());
  SetEnvironmentValue("CVSMTPGW_SYSLOG_SOCKET", dir.File("no-syslog").c_str());
  // Like the gateway's own, a service object is never destroyed: its start
  // thread outlives the test.
  // (Not a static object either: its destructor would run at exit under it.)
  static auto* const s_Kept = new std::vector<std::unique_ptr<CService>>;
  CService* const service = s_Kept->emplace_back(std::make_unique<CService>()).get();
  service->m_StopWaitHint = 1500;  // leaves 500 ms for the start routine to return
  g_InStart = false;
  g_Release = false;
  int result = -1;
  std::thread dispatcher([&result, service] { result = service->Initservice(kName, SlowStart); });
  EXPECT_EQ(notify.Next(), "STATUS=Starting (check point 1)\nEXTEND_TIMEOUT_USEC=8000000");
  EXPECT_EQ(notify.Next(), "STATUS=Starting (check point 3)\nEXTEND_TIMEOUT_USEC=10000000");
  // Still starting a second later: the next check point, no running report.
  EXPECT_EQ(notify.Next(), "STATUS=Starting (check point 4)\nEXTEND_TIMEOUT_USEC=10000000");
  ASSERT_TRUE(g_InStart);

  const auto stop = std::chrono::steady_clock::now();
  ::kill(::getpid(), SIGTERM);
  std::string report = notify.Next();
  while (report.rfind("STATUS=Starting", 0) == 0) report = notify.Next();  // one may have crossed the stop
  EXPECT_EQ(report, "STOPPING=1\nSTATUS=Stopping (check point 1)\nEXTEND_TIMEOUT_USEC=1500000");
  ::kill(::getpid(), SIGHUP);
  // Check points while the stop waits for the start routine (every 300 ms
  // for a wait hint of 1.5 s), then the stop, with the time-out as its error.
  int checkPoint = 1;
  for (report = notify.Next(); report.rfind("STOPPING=1", 0) == 0; report = notify.Next()) {
    EXPECT_EQ(report, "STOPPING=1\nSTATUS=Stopping (check point " + std::to_string(++checkPoint) +
                          ")\nEXTEND_TIMEOUT_USEC=1500000");
  }
  EXPECT_GE(checkPoint, 2);
  EXPECT_EQ(report, "STATUS=Stopped after error 1460: " + std::string(PlatformErrorText(1460)));
  EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::milliseconds(1500));
  dispatcher.join();
  g_Release = true;
  EXPECT_NE(result, 0);
  EXPECT_EQ(PlatformServiceExitCode(), 1);
  const std::string log = box.PrimaryLog();
  EXPECT_EQ(log.find("ServiceCtrlHandler ignoring control code"), std::string::npos);
  // The stop came before the start routine had recorded the listener.
  EXPECT_NE(log.find("CServ->m_SMTPIN->m_AcceptThread is invalid"), std::string::npos);
  EXPECT_NE(log.find("Error value in exit function :1460"), std::string::npos);
  SetEnvironmentValue("CVSMTPGW_SYSLOG_SOCKET", nullptr);
}

}  // namespace
