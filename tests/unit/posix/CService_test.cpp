// tests/unit/posix/CService_test.cpp: the service controller with a start
// routine that takes its time, so that controls can be sent while the service
// stops: the stop waits for the start routine (within the stop wait hint), and
// a control during the stop is not answered with a running report.
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

#include "NotifySocket.h"
#include "SpoolTestSupport.h"
#include "platform/ServiceManager.h"

namespace {

constexpr char kName[] = "Corvane SMTP Server";
const std::string kStart1 = "STATUS=Starting (check point 1)\nEXTEND_TIMEOUT_USEC=8000000";
const std::string kStart3 = "STATUS=Starting (check point 3)\nEXTEND_TIMEOUT_USEC=10000000";
const std::string kRunning = "READY=1\nSTATUS=Running";

// Like the gateway's own, a service object is never destroyed: its start
// thread may outlive the test.
std::vector<std::unique_ptr<CService>> g_Services;

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

class CServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEnvironmentValue("INVOCATION_ID", nullptr);
    SetEnvironmentValue("CVSMTPGW_SYSLOG_SOCKET", (m_Box.Root() + "no-syslog").c_str());
    m_Box.EnableLogs();
    g_InStart = false;
    g_Release = false;
  }
  void TearDown() override {
    g_Release = true;
    if (m_Dispatcher.joinable()) m_Dispatcher.join();
    SetEnvironmentValue("CVSMTPGW_SYSLOG_SOCKET", nullptr);
  }
  // Runs the service on a thread of its own, as the entry would on the main
  // thread, and waits until it reports running with the start routine entered.
  void StartService(CNotifySocket& notify) {
    m_Dispatcher = std::thread([this] { m_Result = m_Service.Initservice(kName, SlowStart); });
    EXPECT_EQ(notify.Next(5000), kStart1);
    EXPECT_EQ(notify.Next(5000), kStart3);
    EXPECT_EQ(notify.Next(5000), kRunning);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!g_InStart && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  bool Logged(const std::string& text) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (m_Box.PrimaryLog().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  SpoolSandbox m_Box;
  CTempDir m_Dir;
  CService& m_Service = *g_Services.emplace_back(std::make_unique<CService>());
  std::thread m_Dispatcher;
  int m_Result = -1;
};

TEST_F(CServiceTest, AControlDuringTheStopIsNotAnsweredAsRunning) {
  CNotifySocket notify(m_Dir.File("notify"));
  ASSERT_TRUE(notify.Bound());
  StartService(notify);
  ::kill(::getpid(), SIGTERM);
  EXPECT_EQ(notify.Next(5000), "STOPPING=1\nSTATUS=Stopping (check point 1)\nEXTEND_TIMEOUT_USEC=15000000");
  // The stop waits for the start routine, so the service is still stopping.
  ::kill(::getpid(), SIGHUP);
  EXPECT_TRUE(Logged("SmtpService: ServiceCtrlHandler ignoring control code (6)."));
  EXPECT_EQ(notify.Next(300), "");
  g_Release = true;
  EXPECT_EQ(notify.Next(5000), "STATUS=Stopped");
  m_Dispatcher.join();
  EXPECT_NE(m_Result, 0);
  EXPECT_EQ(PlatformServiceExitCode(), 0);
  // The stop came before the start routine had recorded the listener.
  EXPECT_NE(m_Box.PrimaryLog().find("CServ->m_SMTPIN->m_AcceptThread is invalid"), std::string::npos);
}

TEST_F(CServiceTest, AStartRoutineThatOutlastsTheStopWaitHintEndsTheServiceWithAnError) {
  CNotifySocket notify(m_Dir.File("notify"));
  ASSERT_TRUE(notify.Bound());
  m_Service.m_StopWaitHint = 1500;  // leaves 500 ms for the start routine to return
  StartService(notify);
  const auto stop = std::chrono::steady_clock::now();
  ::kill(::getpid(), SIGTERM);
  EXPECT_EQ(notify.Next(5000), "STOPPING=1\nSTATUS=Stopping (check point 1)\nEXTEND_TIMEOUT_USEC=1500000");
  EXPECT_EQ(notify.Next(5000), "STATUS=Stopped after error 1460: " + std::string(PlatformErrorText(1460)));
  EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::milliseconds(1500));
  m_Dispatcher.join();
  EXPECT_EQ(PlatformServiceExitCode(), 1);
  EXPECT_NE(m_Box.PrimaryLog().find("Error value in exit function :1460"), std::string::npos);
}

}  // namespace
