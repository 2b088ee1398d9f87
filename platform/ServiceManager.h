// platform/ServiceManager.h: the running service's side of the system's
// service manager: the dispatcher, the control handler and the status reports.
//
// On Windows these are StartServiceCtrlDispatcherA, RegisterServiceCtrlHandlerExA
// (the extended handler, without which the pre-shutdown control never comes)
// and SetServiceStatus; the process counts as started by the service manager
// once the dispatcher has called the service main routine. On POSIX the service manager is systemd:
//  - the process runs as a service when it was started by one (NOTIFY_SOCKET
//    or INVOCATION_ID in the environment);
//  - status reports are sd_notify datagrams to $NOTIFY_SOCKET: start pending
//    "STATUS=" with "EXTEND_TIMEOUT_USEC=" from the wait hint, running
//    "READY=1", stop pending "STOPPING=1" (with the wait hint too), stopped a
//    last "STATUS=". Each pending report with a new check point extends
//    systemd's time-out again, as a check point does on Windows. Without
//    NOTIFY_SOCKET a report is kept but sent nowhere;
//  - SIGTERM is the stop control, SIGHUP the parameter-change control. The
//    signal handlers only write a byte to a pipe; the dispatcher thread reads
//    it and calls the control handler, as the Windows dispatcher does;
//  - while the last report accepts no controls (start pending) a control
//    waits and is delivered once one does; after the stopped report none is,
//    and from the first dispatch on these two signals never end the process;
//  - the stopped report decides the process's exit status
//    (PlatformServiceExitCode), so that a service that ended because of an
//    error is seen to fail.
// Thread-safe; one dispatcher per process at a time.
#pragma once

#include <cstdint>

#include "platform/WinCodes.h"

// Service states (dwCurrentState).
constexpr DWORD kServiceStopped = 1;
constexpr DWORD kServiceStartPending = 2;
constexpr DWORD kServiceStopPending = 3;
constexpr DWORD kServiceRunning = 4;

// Control codes.
constexpr DWORD kServiceControlStop = 1;
constexpr DWORD kServiceControlPause = 2;
constexpr DWORD kServiceControlContinue = 3;
constexpr DWORD kServiceControlInterrogate = 4;
constexpr DWORD kServiceControlShutdown = 5;
constexpr DWORD kServiceControlParamChange = 6;
// Before the system shuts down, to a service that accepts it; it may take as
// long as its check points keep rising (up to the pre-shutdown time-out).
constexpr DWORD kServiceControlPreshutdown = 15;

// Controls accepted (dwControlsAccepted).
constexpr DWORD kServiceAcceptStop = 1;
constexpr DWORD kServiceAcceptShutdown = 4;
constexpr DWORD kServiceAcceptParamChange = 8;
constexpr DWORD kServiceAcceptPreshutdown = 0x100;

constexpr DWORD kServiceWin32OwnProcess = 16;

// Last-error codes of the service calls.
constexpr DWORD kErrorServiceAlreadyRunning = 1056;
constexpr DWORD kErrorServiceDoesNotExist = 1060;
constexpr DWORD kErrorServiceSpecificError = 1066;
constexpr DWORD kErrorServiceExists = 1073;
constexpr DWORD kErrorTimeout = 1460;

// SERVICE_STATUS.
struct CServiceStatus {
  DWORD serviceType = kServiceWin32OwnProcess;
  DWORD currentState = 0;
  DWORD controlsAccepted = 0;
  DWORD win32ExitCode = 0;
  DWORD serviceSpecificExitCode = 0;
  DWORD checkPoint = 0;
  DWORD waitHint = 0;  // milliseconds
};

using ServiceStatusHandle = std::uintptr_t;  // 0 is none
using ServiceMainRoutine = void (*)(DWORD argc, char** argv);
using ServiceControlRoutine = void (*)(DWORD control);

// Whether a service manager started this process.
bool PlatformStartedByServiceManager();

// Runs `serviceMain` on a thread of its own and delivers the controls to the
// registered handler on the calling thread until `serviceMain` returns.
// Nonzero then; 0 (last error set) when the dispatcher could not start, as when
// no service manager started the process (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT).
int PlatformServiceDispatch(const char* serviceName, ServiceMainRoutine serviceMain);

// Registers the control handler of the service being dispatched: its status
// handle, or 0 (last error set) outside a dispatch or under another name.
ServiceStatusHandle PlatformRegisterServiceHandler(const char* serviceName, ServiceControlRoutine handler);

// Reports the service's status. False (last error set) when the report could
// not be delivered; a stopped report still decides the exit status.
bool PlatformSetServiceStatus(ServiceStatusHandle handle, const CServiceStatus& status);

// The exit status for the process after a dispatch: 0 when the service
// reported stopped without an error, its service-specific exit code when it
// gave one (1 when that does not fit an exit status), else 1.
int PlatformServiceExitCode();

// The exit status that a stopped report decides (both backends keep it).
inline int ExitStatusOfStoppedReport(const CServiceStatus& stopped) {
  if (stopped.serviceSpecificExitCode != 0)
    return stopped.serviceSpecificExitCode < 256 ? static_cast<int>(stopped.serviceSpecificExitCode) : 1;
  return stopped.win32ExitCode != 0 ? 1 : 0;
}
