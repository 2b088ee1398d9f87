// tests/unit/posix/PosixServiceManager_test.cpp: the dispatcher under systemd
// as the service manager sees it: the sd_notify datagrams, signals turned into
// controls only while controls are accepted, the exit status, and notify
// sockets that cannot be reached.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NotifySocket.h"
#include "TempDir.h"
#include "platform/Process.h"
#include "platform/ServiceManager.h"

namespace {

constexpr char kName[] = "Corvane SMTP Server";

// What the service main routines below do and see; touched by the service
// main thread and the dispatcher thread.
std::mutex g_Lock;
std::vector<DWORD> g_Controls;  // guarded by g_Lock
std::atomic<int> g_ControlCount{0};
int g_ControlsBeforeRunning = -1;  // written by the service main thread only
ServiceStatusHandle g_Handle = 0;
CServiceStatus g_Final;  // the one report of FinalReportMain
bool g_SendFinal = true;
bool g_FinalReported = false;
DWORD g_FinalError = 0;

void RecordControl(DWORD control) {
  std::lock_guard<std::mutex> lock(g_Lock);
  g_Controls.push_back(control);
  ++g_ControlCount;
}

bool WaitForControls(int count) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (g_ControlCount.load() < count && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return g_ControlCount.load() >= count;
}

CServiceStatus Status(DWORD state, DWORD accepted, DWORD checkPoint, DWORD waitHint) {
  CServiceStatus status;
  status.currentState = state;
  status.controlsAccepted = accepted;
  status.checkPoint = checkPoint;
  status.waitHint = waitHint;
  return status;
}

// Signals while start pending, then running; signals after the stopped report.
void SignalledMain(DWORD, char**) {
  g_Handle = PlatformRegisterServiceHandler(kName, RecordControl);
  PlatformSetServiceStatus(g_Handle, Status(kServiceStartPending, 0, 1, 8000));
  ::kill(::getpid(), SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::kill(::getpid(), SIGHUP);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  g_ControlsBeforeRunning = g_ControlCount.load();
  PlatformSetServiceStatus(g_Handle,
                           Status(kServiceRunning, kServiceAcceptStop | kServiceAcceptShutdown, 0, 0));
  WaitForControls(2);
  PlatformSetServiceStatus(g_Handle, Status(kServiceStopPending, 5, 1, 15000));
  PlatformSetServiceStatus(g_Handle, Status(kServiceStopped, 5, 0, 0));
  ::kill(::getpid(), SIGTERM);  // nobody takes it now
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

void FinalReportMain(DWORD, char**) {
  g_Handle = PlatformRegisterServiceHandler(kName, RecordControl);
  if (!g_SendFinal) return;
  g_FinalReported = PlatformSetServiceStatus(g_Handle, g_Final);
  g_FinalError = PlatformGetLastError();
}

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEnvironmentValue("INVOCATION_ID", nullptr);
    SetEnvironmentValue("NOTIFY_SOCKET", nullptr);
    g_Controls.clear();
    g_ControlCount = 0;
  }
  CTempDir m_Dir;
};

TEST_F(ServiceManagerTest, WithoutAServiceManagerTheDispatcherDoesNotStart) {
  EXPECT_FALSE(PlatformStartedByServiceManager());
  EXPECT_EQ(PlatformServiceDispatch(kName, FinalReportMain), 0);
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_EQ(PlatformRegisterServiceHandler(kName, RecordControl), 0u);
  EXPECT_EQ(PlatformGetLastError(), kErrorServiceDoesNotExist);
}

TEST_F(ServiceManagerTest, SignalsWaitForRunningAndEndWithTheStoppedReport) {
  CNotifySocket notify(m_Dir.File("notify"));
  ASSERT_TRUE(notify.Bound());
  EXPECT_NE(PlatformServiceDispatch(kName, SignalledMain), 0);
  // Nothing reached the handler while start pending; then SIGTERM became the
  // stop control and SIGHUP the parameter-change control; the SIGTERM after
  // the stopped report reached nobody (and did not end the test process).
  EXPECT_EQ(g_ControlsBeforeRunning, 0);
  EXPECT_EQ(g_Controls, (std::vector<DWORD>{kServiceControlStop, kServiceControlParamChange}));
  EXPECT_EQ(notify.All(), (std::vector<std::string>{
                              "STATUS=Starting (check point 1)\nEXTEND_TIMEOUT_USEC=8000000",
                              "READY=1\nSTATUS=Running",
                              "STOPPING=1\nSTATUS=Stopping (check point 1)\nEXTEND_TIMEOUT_USEC=15000000",
                              "STATUS=Stopped",
                          }));
  EXPECT_EQ(PlatformServiceExitCode(), 0);
}

TEST_F(ServiceManagerTest, TheStoppedReportDecidesTheExitStatus) {
  CNotifySocket notify("@cvsmtpgw-test-" + std::to_string(::getpid()));
  ASSERT_TRUE(notify.Bound());
  const struct {
    bool report;
    DWORD win32, specific;
    int exit;
    std::string datagram;
  } cases[] = {
      {true, 0, 0, 0, "STATUS=Stopped"},
      {true, kErrorTimeout, 0, 1, "STATUS=Stopped after error 1460: " + std::string(PlatformErrorText(1460))},
      {true, kErrorServiceSpecificError, 7, 1,
       "STATUS=Stopped after error 7: " + std::string(PlatformErrorText(7))},
      {false, 0, 0, 1, ""},  // ended without saying so
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.win32);
    g_SendFinal = c.report;
    g_Final = Status(kServiceStopped, 5, 0, 0);
    g_Final.win32ExitCode = c.win32;
    g_Final.serviceSpecificExitCode = c.specific;
    EXPECT_NE(PlatformServiceDispatch(kName, FinalReportMain), 0);
    EXPECT_EQ(PlatformServiceExitCode(), c.exit);
    const std::vector<std::string> got = notify.All();
    EXPECT_EQ(got.size(), c.report ? 1u : 0u);
    if (!got.empty()) {
      EXPECT_EQ(got[0], c.datagram);
    }
  }
  g_SendFinal = true;
}

TEST_F(ServiceManagerTest, UnreachableNotifySocketsFailTheReportAtOnce) {
  WriteWholeFile(m_Dir.File("file"), "not a socket");
  const struct {
    std::string address;
    DWORD error;
  } cases[] = {
      {m_Dir.File("missing"), ERROR_FILE_NOT_FOUND},
      {m_Dir.File("file"), WSAECONNREFUSED},
      {"relative/notify", ERROR_INVALID_PARAMETER},
      {"/" + std::string(200, 'x'), ERROR_FILENAME_EXCED_RANGE},  // longer than a socket address
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    SetEnvironmentValue("NOTIFY_SOCKET", c.address.c_str());
    g_Final = Status(kServiceRunning, 5, 0, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(PlatformServiceDispatch(kName, FinalReportMain), 0);
    EXPECT_FALSE(g_FinalReported);
    EXPECT_EQ(g_FinalError, c.error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  }
  SetEnvironmentValue("NOTIFY_SOCKET", nullptr);
}

}  // namespace
