// host/CService.h: the service object: the gateway's link to the service
// manager, and the record of the inbound server and outbound deliverer that a
// stop needs.
//
// One static instance serves service mode; console mode makes its own on the
// heap. Four threads meet here: the dispatcher thread (Initservice, and the
// control handler), the service main thread (ServiceMain, Exit), the start
// thread (the user function) and, while the service stops, the thread that
// reports its check points. m_ServiceStatusHandle and m_Thread are written
// before the service accepts controls; m_SMTPIN and m_SMTPOUT are written by
// the start thread and read by the others only once m_StartFinished says it
// has returned. Status reports are made one at a time under m_ReportLock,
// which also keeps check points rising and keeps a start-pending report from
// following a stop. Nothing that the control handler uses is released before
// the object is destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "host/ManualResetEvent.h"
#include "platform/ServiceManager.h"
#include "platform/System.h"

class SMTPIn;
class SMTPOut;
class CService;

// The start routine that Initservice runs once the service is starting: 0
// once the gateway takes mail, else the service-specific exit code with
// which the service stops.
using ServiceUserFunction = int (*)(CService* service);

class CService {
 public:
  static constexpr std::uint32_t kFirstStartWaitHint = 8000;  // milliseconds
  // Time left for the final report and the process's end after a clean stop.
  static constexpr std::uint32_t kStopReserveMs = 1000;
  // Controls accepted once the service can act on them: from the second
  // start-pending report on, a stop ends the start.
  static constexpr DWORD kControlsAccepted =
      kServiceAcceptStop | kServiceAcceptShutdown | kServiceAcceptParamChange | kServiceAcceptPreshutdown;

  CService();
  CService(const CService&) = delete;
  CService& operator=(const CService&) = delete;
  ~CService();

  // Hands the process to the service manager and returns when the service has
  // ended: nonzero on success, 0 (last error set) when the dispatcher could not
  // start, as when no service manager started this process.
  int Initservice(const char* serviceName, ServiceUserFunction userFunction);

  // The dispatcher's entry points; they reach the object through RunningService().
  static void ServiceMain(DWORD argc, char** argv);
  static void ServiceCtrlHandler(DWORD control);

  // Reports a status: 1 when reported, else 0 (and the service is stopped).
  int SCMStatus(DWORD state, DWORD exitCode, DWORD serviceExitCode, DWORD checkPoint, DWORD waitHint);
  // Starts the start thread: 1, or 0 when it could not be created.
  int OnStartService();
  // Stops taking mail and wakes the service main routine.
  void OnStopService();
  // Final report (carrying `error`, or the service-specific exit code
  // `serviceError` when not 0) and clean-up of the service main routine.
  void Exit(DWORD error, DWORD serviceError = 0);
  // Reports `pendingState` once more with the next check point, unless the
  // service has left it (a start-pending report never follows a stop).
  void ReportProgress(DWORD pendingState, DWORD waitHint);

  std::unique_ptr<char[]> m_ServiceName;  // copy made by Initservice
  CManualResetEvent m_StopEvent;          // set to end the service; lives as long as the object
  ServiceStatusHandle m_ServiceStatusHandle = 0;
  ThreadHandle m_Thread = 0;  // start thread running m_UserFunction
  ServiceUserFunction m_UserFunction = nullptr;
  std::uint32_t m_StartWaitHint = 10000;  // milliseconds
  std::uint32_t m_StopWaitHint = 15000;   // milliseconds
  SMTPIn* m_SMTPIN = nullptr;             // recorded by StartGateway
  SMTPOut* m_SMTPOUT = nullptr;           // recorded by StartGateway

 private:
  static unsigned StartThreadEntry(void* service);
  // The first stop-pending report, unless a stop control made it already.
  void BeginStopReport();
  // After the stop event: lets the start routine finish, then stops the
  // gateway cleanly within the stop wait hint. 0, or the error that kept it
  // from finishing in time.
  DWORD StopGatewayInTime();

  std::atomic<bool> m_StartFinished{false};            // the user function has returned
  std::atomic<int> m_StartResult{0};                   // its result, once it has returned
  CManualResetEvent m_StartDone;                       // set when it has returned
  std::atomic<DWORD> m_CurrentState{kServiceStopped};  // the state last reported
  std::recursive_mutex m_ReportLock;                   // one report at a time (a failed one stops, reentering)
  DWORD m_CheckPoint = 0;                              // guarded by m_ReportLock: the last one reported
  bool m_StopRequested = false;                        // guarded by m_ReportLock
};

// The running service object, set by Initservice.
CService* RunningService();
