// host/CService.cpp: the service controller: status reports, the start thread,
// the stop and shutdown controls.
//
// Threading: see CService.h. The running-service pointer is written by
// Initservice before the dispatcher starts any thread.
#include "host/CService.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "host/StartGateway.h"
#include "log/DebugLog.h"
#include "log/EventLog.h"
#include "smtpin/SMTPIn.h"

namespace {

CService* g_RunningService = nullptr;
constexpr std::uint32_t kStartPollMs = 20;  // how soon a stop during the start is seen

// How often a pending state is reported with its next check point: well
// within its wait hint.
std::uint32_t CheckPointInterval(std::uint32_t waitHint) {
  return std::clamp<std::uint32_t>(waitHint / 5, 100, 1000);
}

// Reports a pending state with rising check points from a thread of its own,
// from construction to destruction, while the owner waits for something else.
class CCheckPointTicker {
 public:
  CCheckPointTicker(CService& service, DWORD state, std::uint32_t waitHint)
      : m_Thread([this, &service, state, waitHint] {
          std::unique_lock<std::mutex> lock(m_Mutex);
          while (!m_Done.wait_for(lock, std::chrono::milliseconds(CheckPointInterval(waitHint)),
                                  [this] { return m_Stop; })) {
            lock.unlock();
            service.ReportProgress(state, waitHint);
            lock.lock();
          }
        }) {}
  CCheckPointTicker(const CCheckPointTicker&) = delete;
  CCheckPointTicker& operator=(const CCheckPointTicker&) = delete;
  ~CCheckPointTicker() {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Stop = true;
    }
    m_Done.notify_all();
    m_Thread.join();
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Done;
  bool m_Stop = false;  // guarded by m_Mutex
  std::thread m_Thread;  // last: starts once the rest is made
};

void LogNumber(const char* format, long long value, int line) {
  char text[100];
  std::snprintf(text, sizeof text, format, value);
  DebugLog(text, CV_SRC, line);
}

}  // namespace

CService* RunningService() { return g_RunningService; }

CService::CService() = default;

CService::~CService() = default;

int CService::Initservice(const char* serviceName, ServiceUserFunction userFunction) {
  g_RunningService = this;
  m_UserFunction = userFunction;
  const std::size_t length = serviceName != nullptr ? std::strlen(serviceName) : 0;
  m_ServiceName = std::make_unique<char[]>(length + 1);
  if (length > 0) std::memcpy(m_ServiceName.get(), serviceName, length);
  m_ServiceName[length] = '\0';

  DebugLog("Before dispatcher in Initservice.", CV_SRC, __LINE__);
  return PlatformServiceDispatch(m_ServiceName.get(), &CService::ServiceMain);
}

void CService::ServiceMain(DWORD /*argc*/, char** /*argv*/) {
  CService* service = RunningService();
  if (service == nullptr) return;

  service->m_ServiceStatusHandle =
      PlatformRegisterServiceHandler(service->m_ServiceName.get(), &ServiceCtrlHandler);
  if (service->m_ServiceStatusHandle == 0) {
    const DWORD error = PlatformGetLastError();
    ReportServiceEvent(kEventTypeError, GatewayEvent::kNoControlHandler, {service->m_ServiceName.get()});
    service->Exit(error);
    return;
  }
  if (service->SCMStatus(kServiceStartPending, 0, 0, 1, kFirstStartWaitHint) == 0) {
    service->Exit(PlatformGetLastError());
    return;
  }
  DebugLog("Smtpservice: SCMStatus - SERVICE_START_PENDING1.", CV_SRC, __LINE__);
  // The stop event is an object of its own that cannot fail to exist, so the
  // "Unable to Create event" step has nothing left to report.
  bool started = service->SCMStatus(kServiceStartPending, 0, 0, 3, service->m_StartWaitHint) != 0 &&
                 service->OnStartService() != 0;
  DWORD error = started ? 0 : PlatformGetLastError();
  DWORD serviceError = 0;
  if (started) {
    // Running only once the gateway takes mail: until the start routine has
    // returned, check points show that it gets on (a recovery, a port that
    // is still held); a stop ends the wait.
    const auto interval = std::chrono::milliseconds(CheckPointInterval(service->m_StartWaitHint));
    auto nextReport = std::chrono::steady_clock::now() + interval;
    while (!service->m_StartDone.Wait(kStartPollMs) && !service->m_StopEvent.Wait(0)) {
      if (std::chrono::steady_clock::now() < nextReport) continue;
      service->ReportProgress(kServiceStartPending, service->m_StartWaitHint);
      nextReport += interval;
    }
    serviceError = service->m_StartFinished.load() ? static_cast<DWORD>(service->m_StartResult.load()) : 0;
    std::unique_lock<std::recursive_mutex> lock(service->m_ReportLock);
    if (serviceError == kStartAbandoned && service->m_StopRequested) serviceError = 0;  // stopped as asked
    started = service->m_StartFinished.load() && serviceError == 0 && !service->m_StopRequested;
    if (started && service->SCMStatus(kServiceRunning, 0, 0, 0, 0) == 0) {
      started = false;
      error = PlatformGetLastError();
    }
  }
  if (started) {
    // A service runs until it is told to stop: this wait ends only by the stop
    // event, which a stop control or a failed report sets.
    service->m_StopEvent.Wait(kWaitForever);
  } else if (error == 0 && serviceError == 0 && !service->m_StopRequested) {
    error = ERROR_GEN_FAILURE;
  }
  // Whenever the start thread ran, the gateway is stopped cleanly before the
  // process ends, even when the start failed after it; check points show
  // that the stop gets on meanwhile.
  if (service->m_Thread != 0) {
    service->BeginStopReport();
    CCheckPointTicker ticker(*service, kServiceStopPending, service->m_StopWaitHint);
    const DWORD stopError = service->StopGatewayInTime();
    if (error == 0 && serviceError == 0) error = stopError;
  }
  if (started) DebugLog("Smtpservice: Leaving the Service main.", CV_SRC, __LINE__);
  service->Exit(error, serviceError);
}

void CService::BeginStopReport() {
  std::lock_guard<std::recursive_mutex> lock(m_ReportLock);
  if (m_CurrentState.load() == kServiceStopPending) return;
  m_StopRequested = true;
  SCMStatus(kServiceStopPending, 0, 0, 1, m_StopWaitHint);
}

void CService::ReportProgress(DWORD pendingState, DWORD waitHint) {
  std::lock_guard<std::recursive_mutex> lock(m_ReportLock);
  if (m_CurrentState.load() != pendingState) return;
  if (pendingState == kServiceStartPending && m_StopRequested) return;
  SCMStatus(pendingState, 0, 0, m_CheckPoint + 1, waitHint);
}

DWORD CService::StopGatewayInTime() {
  using Clock = std::chrono::steady_clock;
  const std::uint32_t budget = m_StopWaitHint > kStopReserveMs ? m_StopWaitHint - kStopReserveMs : 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(budget);
  const auto left = [deadline] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<std::uint32_t>(ms > 0 ? ms : 0);
  };
  // The start routine may still be bringing components up; stopping them
  // under its hands would race with it.
  if (m_Thread != 0 && !WaitThreadHandle(m_Thread, left())) {
    DebugLog("Smtpservice: the start routine did not return in time; the gateway is not stopped cleanly.",
             CV_SRC, __LINE__);
    return kErrorTimeout;
  }
  // Closes the listener (again, if it opened after the stop control came),
  // then waits for every acknowledged mail's hand-off.
  return StopGateway(left()) ? 0 : kErrorTimeout;
}

int CService::SCMStatus(DWORD state, DWORD exitCode, DWORD serviceExitCode, DWORD checkPoint,
                        DWORD waitHint) {
  std::lock_guard<std::recursive_mutex> lock(m_ReportLock);
  CServiceStatus status;
  status.serviceType = kServiceWin32OwnProcess;
  status.currentState = state;
  // Nothing while the service has only just begun to start; from then on a
  // stop (or the system's shutdown) is taken, during the start too.
  status.controlsAccepted =
      (state == kServiceStartPending && checkPoint <= 1) || state == kServiceStopped ? 0 : kControlsAccepted;
  status.win32ExitCode = serviceExitCode != 0 ? kErrorServiceSpecificError : exitCode;
  status.serviceSpecificExitCode = serviceExitCode;
  status.checkPoint = checkPoint;
  status.waitHint = waitHint;
  m_CurrentState.store(state);
  m_CheckPoint = checkPoint;

  DebugLog("SCMStatus :before SetServiceStatus.", CV_SRC, __LINE__);
  const bool reported = PlatformSetServiceStatus(m_ServiceStatusHandle, status);
  DebugLog("SCMStatus :after SetServiceStatus.", CV_SRC, __LINE__);
  if (!reported) {
    const DWORD error = PlatformGetLastError();
    LogNumber("SCMStatus failed so stop the service (%d)", static_cast<long long>(error), __LINE__);
    OnStopService();
    PlatformSetLastError(error);  // for the caller, whatever the stop did
  }
  DebugLog("SCMStatus : Leaving.", CV_SRC, __LINE__);
  return reported ? 1 : 0;
}

void CService::ServiceCtrlHandler(DWORD control) {
  CService* service = RunningService();
  if (service == nullptr) return;
  DebugLog("SmtpService: Entering ServiceCtrlHandler.", CV_SRC, __LINE__);
  if (control == kServiceControlStop || control == kServiceControlShutdown ||
      control == kServiceControlPreshutdown) {
    DebugLog("SmtpService: ServiceCtrlHandler received SERVICE_CONTROL_STOP control code.", CV_SRC, __LINE__);
    if (control == kServiceControlPreshutdown)
      DebugLog("SmtpService: the system shuts down; the hand-offs finish first.", CV_SRC, __LINE__);
    bool first = false;
    {
      std::lock_guard<std::recursive_mutex> lock(service->m_ReportLock);
      first = !service->m_StopRequested;
      service->m_StopRequested = true;
      if (first) service->SCMStatus(kServiceStopPending, 0, 0, 1, service->m_StopWaitHint);
    }
    if (first) {
      AbandonStart();  // a port still being tried is given up
      DebugLog("SmtpService: ServiceCtrlHandler will stop the service.", CV_SRC, __LINE__);
      service->OnStopService();
      DebugLog("SmtpService: ServiceCtrlHandler stopped the service.", CV_SRC, __LINE__);
    } else {
      DebugLog("SmtpService: ServiceCtrlHandler: the service is stopping already.", CV_SRC, __LINE__);
    }
  } else if (control == kServiceControlParamChange) {
    // Settings that apply without a restart are read again.
    if (service->m_CurrentState.load() == kServiceRunning) ReloadSettings();
    std::lock_guard<std::recursive_mutex> lock(service->m_ReportLock);
    if (service->m_CurrentState.load() == kServiceRunning) service->SCMStatus(kServiceRunning, 0, 0, 0, 0);
  } else {
    LogNumber("SmtpService: ServiceCtrlHandler ignoring control code (%d).", static_cast<long long>(control),
              __LINE__);
    // Answered with the state the service is in: a running report while it
    // starts or stops would tell the manager it is running.
    std::lock_guard<std::recursive_mutex> lock(service->m_ReportLock);
    if (service->m_CurrentState.load() == kServiceRunning) service->SCMStatus(kServiceRunning, 0, 0, 0, 0);
  }
  DebugLog("SmtpService: Leaving ServiceCtrlHandler.", CV_SRC, __LINE__);
}

unsigned CService::StartThreadEntry(void* raw) {
  auto* service = static_cast<CService*>(raw);
  service->m_StartResult.store(service->m_UserFunction(service));
  service->m_StartFinished.store(true);
  service->m_StartDone.Set();
  return 0;
}

int CService::OnStartService() {
  DebugLog("OnStartService:creating a thread with user fn.", CV_SRC, __LINE__);
  m_Thread = m_UserFunction != nullptr ? BeginThread(0, &CService::StartThreadEntry, this, false) : 0;
  if (m_Thread == 0) {
    const DWORD error = m_UserFunction != nullptr ? PlatformGetLastError() : ERROR_INVALID_PARAMETER;
    DebugLog("OnStartService: unable to creating a thread with user fn.", CV_SRC, __LINE__);
    PlatformSetLastError(error);
    return 0;
  }
  DebugLog("OnStartService: successfully created a thread.", CV_SRC, __LINE__);
  return 1;
}

void CService::OnStopService() {
  DebugLog("OnStopService: Will set the stop event and stop the service.", CV_SRC, __LINE__);
  ReportServiceEvent(kEventTypeInformation, GatewayEvent::kStopping, {m_ServiceName.get()});
  // The listener first, so that no new mail is taken while the stop waits for
  // the hand-offs. Until the start routine has returned its objects are not
  // ours to touch; the service main routine closes the listener after it.
  if (m_StartFinished.load() && m_SMTPIN != nullptr) {
    m_SMTPIN->StopAccepting();
  } else {
    DebugLog("CServ->m_SMTPIN->m_AcceptThread is invalid", CV_SRC, __LINE__);
  }
  // TODO(outbound deliverer): ask SMTPOut to stop once it exists; a delivery in
  // progress may be cut, its message file stays in IN.
  if (!m_StartFinished.load() || m_SMTPOUT == nullptr) {
    DebugLog("CServ->m_SMTPOUT->m_MainThreadID is invalid", CV_SRC, __LINE__);
  }
  m_StopEvent.Set();
  DebugLog("OnStopService: set the stop event.", CV_SRC, __LINE__);
}

void CService::Exit(DWORD error, DWORD serviceError) {
  DebugLog("CService::Exit : Entering .", CV_SRC, __LINE__);
  // m_StopEvent stays: a control handled at this moment may still set it.
  if (m_ServiceStatusHandle != 0) {
    // The stopped report carries the error, so that the service manager sees
    // a service that ended because of one fail (and restarts it): a system
    // error, or the start's own reason as the service-specific exit code.
    SCMStatus(kServiceStopped, error, serviceError, 0, 0);
    LogNumber("Error value in exit function :%d", static_cast<long long>(error != 0 ? error : serviceError),
              __LINE__);
    DebugLog("CService::Exit : m_ServiceStatusHandle is not NULL.", CV_SRC, __LINE__);
  }
  if (m_Thread != 0) {
    DebugLog("CService::Exit : Closing the Thread.", CV_SRC, __LINE__);
    // A start routine still running keeps its own reference to the thread.
    CloseThreadHandle(m_Thread);
    m_Thread = 0;
    DebugLog("CService::Exit : Closed the Thread.", CV_SRC, __LINE__);
  }
  DebugLog("CService::Exit : Leaving.", CV_SRC, __LINE__);
}
