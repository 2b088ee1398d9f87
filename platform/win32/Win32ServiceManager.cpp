// platform/win32/Win32ServiceManager.cpp: the service's side of the service
// control manager: StartServiceCtrlDispatcherA, RegisterServiceCtrlHandlerExA,
// SetServiceStatus.
//
// The system calls the service main routine and the control handler without
// a context, so the routines given to us are kept in process-wide state
// (guarded by g_Mutex) and reached through two fixed entry points. The last
// status report decides the exit status (PlatformServiceExitCode).
#include <mutex>
#include <string>

#include "platform/ServiceManager.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

namespace {
std::mutex g_Mutex;
ServiceMainRoutine g_Main = nullptr;        // guarded by g_Mutex
ServiceControlRoutine g_Handler = nullptr;  // guarded by g_Mutex
bool g_RunningAsService = false;            // guarded by g_Mutex: the dispatcher called us
bool g_StopReported = false;                // guarded by g_Mutex
int g_ExitStatus = 1;                       // guarded by g_Mutex: until a stopped report says otherwise

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  ServiceMainRoutine routine;
  {
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_RunningAsService = true;
    routine = g_Main;
  }
  if (routine != nullptr) routine(argc, argv);
}

DWORD WINAPI ControlEntry(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/, LPVOID /*context*/) {
  ServiceControlRoutine handler;
  {
    std::lock_guard<std::mutex> lock(g_Mutex);
    handler = g_Handler;
  }
  if (handler != nullptr) handler(control);
  return NO_ERROR;
}
}  // namespace

bool PlatformStartedByServiceManager() {
  std::lock_guard<std::mutex> lock(g_Mutex);
  return g_RunningAsService;
}

int PlatformServiceDispatch(const char* serviceName, ServiceMainRoutine serviceMain) {
  if (serviceName == nullptr || serviceMain == nullptr) {
    PlatformSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_Main = serviceMain;
    g_StopReported = false;
    g_ExitStatus = 1;
  }
  std::string name = serviceName;
  SERVICE_TABLE_ENTRYA table[] = {{name.data(), ServiceMainEntry}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherA(table)) {
    TakeSystemError();
    return 0;
  }
  return 1;
}

ServiceStatusHandle PlatformRegisterServiceHandler(const char* serviceName, ServiceControlRoutine handler) {
  if (serviceName == nullptr || handler == nullptr) {
    PlatformSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_Handler = handler;
  }
  const SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerExA(serviceName, ControlEntry, nullptr);
  if (handle == nullptr) {
    TakeSystemError();
    return 0;
  }
  return reinterpret_cast<ServiceStatusHandle>(handle);
}

bool PlatformSetServiceStatus(ServiceStatusHandle handle, const CServiceStatus& status) {
  SERVICE_STATUS report{};
  report.dwServiceType = status.serviceType;
  report.dwCurrentState = status.currentState;
  report.dwControlsAccepted = status.controlsAccepted;
  report.dwWin32ExitCode = status.win32ExitCode;
  report.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  report.dwCheckPoint = status.checkPoint;
  report.dwWaitHint = status.waitHint;
  if (status.currentState == kServiceStopped) {
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_StopReported = true;
    g_ExitStatus = ExitStatusOfStoppedReport(status);
  }
  return CallWithHandle(handle, [&] {
    return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &report) != 0;
  });
}

int PlatformServiceExitCode() {
  std::lock_guard<std::mutex> lock(g_Mutex);
  return g_StopReported ? g_ExitStatus : 1;
}
