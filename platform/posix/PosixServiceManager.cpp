// platform/posix/PosixServiceManager.cpp: the service dispatcher under systemd:
// signals as controls, sd_notify datagrams as status reports.
//
// The signal handlers only write one byte to a pipe (write(2) is
// async-signal-safe; the descriptor is a lock-free atomic). The pipe is made
// once per process and never closed, so a handler that runs late on another
// thread never writes into a descriptor that was reused. The service main
// thread writes a byte to it too when a report changes what is accepted and
// when it ends, so the dispatcher thread sleeps in one poll for all three.
// State shared with the reporting threads is guarded by g_Mutex.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/ServiceManager.h"
#include "platform/System.h"
#include "platform/posix/PosixErrors.h"

namespace {

constexpr char kWakeStatus = 'S';       // a report was made
constexpr char kWakeMainEnded = 'E';    // the service main routine returned
constexpr char kWakeStop = 'T';         // SIGTERM
constexpr char kWakeParamChange = 'H';  // SIGHUP
constexpr int kPollMs = 1000;           // the loop also looks at g_MainEnded this often
constexpr std::size_t kMaxPendingControls = 16;
constexpr int kNotifySendTimeoutSeconds = 5;  // a service manager that does not read must not hold us
constexpr ServiceStatusHandle kTheStatusHandle = 1;

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free descriptor");
std::atomic<int> g_WakeWrite{-1};
int g_WakeRead = -1;  // made once, by the first dispatch (main thread)
std::atomic<bool> g_MainEnded{false};

struct CDispatchState {
  bool dispatching = false;
  std::string name;
  std::string notifySocket;  // empty: reports are sent nowhere
  ServiceControlRoutine handler = nullptr;
  DWORD controlsAccepted = 0;
  DWORD currentState = 0;
  bool stopReported = false;
  int exitStatus = 1;  // until a stopped report says otherwise
};

std::mutex g_Mutex;
CDispatchState g_State;    // guarded by g_Mutex
std::mutex g_ReportMutex;  // held for a whole report, taken before g_Mutex

void Wake(char byte) {
  const int fd = g_WakeWrite.load();
  if (fd < 0) return;
  // A full pipe already holds a wake-up; the byte may be dropped.
  [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
}

void OnSignal(int signalNumber) {
  const int saved = errno;
  Wake(signalNumber == SIGTERM ? kWakeStop : kWakeParamChange);
  errno = saved;
}

bool MakeWakePipe() {
  if (g_WakeRead >= 0) return true;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return false;
  }
  g_WakeRead = fds[0];
  g_WakeWrite.store(fds[1]);
  return true;
}

void DrainWakePipe(std::string& bytes) {
  char buffer[64];
  ssize_t n;
  while ((n = ::read(g_WakeRead, buffer, sizeof buffer)) > 0)
    bytes.append(buffer, static_cast<std::size_t>(n));
}

std::string ErrnoText(int err) { return std::system_category().message(err); }

// The datagram for one report, in the sd_notify protocol.
std::string NotifyMessage(const CServiceStatus& status) {
  std::string message;
  const auto extend = [&message, &status] {
    if (status.waitHint > 0)
      message +=
          "\nEXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<unsigned long long>(status.waitHint) * 1000);
  };
  switch (status.currentState) {
    case kServiceStartPending:
      message = "STATUS=Starting (check point " + std::to_string(status.checkPoint) + ")";
      extend();
      break;
    case kServiceRunning:
      message = "READY=1\nSTATUS=Running";
      break;
    case kServiceStopPending:
      message = "STOPPING=1\nSTATUS=Stopping (check point " + std::to_string(status.checkPoint) + ")";
      extend();
      break;
    case kServiceStopped:
      if (status.win32ExitCode == kErrorServiceSpecificError)
        message = "STATUS=Stopped with the service's own exit code " + std::to_string(status.serviceSpecificExitCode);
      else if (status.win32ExitCode != 0)
        message = "STATUS=Stopped after error " + std::to_string(status.win32ExitCode) + ": " +
                  PlatformErrorText(status.win32ExitCode);
      else
        message = "STATUS=Stopped";
      break;
    default:
      message = "STATUS=State " + std::to_string(status.currentState);
      break;
  }
  return message;
}

// Sends one datagram to the notify socket: a path, or "@name" for the
// abstract namespace. False with errno set.
bool SendNotify(const std::string& socketPath, const std::string& message) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() < 2 || (socketPath[0] != '/' && socketPath[0] != '@')) {
    errno = EINVAL;
    return false;
  }
  if (socketPath.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  if (socketPath[0] == '@') address.sun_path[0] = '\0';
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath.size() +
                                             (socketPath[0] == '@' ? 0 : 1));
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  timeval limit{kNotifySendTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  ssize_t sent;
  do {
    sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), length);
  } while (sent < 0 && errno == EINTR);
  const int err = errno;
  ::close(fd);
  errno = err;
  return sent == static_cast<ssize_t>(message.size());
}

struct CMainArguments {
  ServiceMainRoutine routine = nullptr;
  char* argv[2] = {nullptr, nullptr};
};

unsigned ServiceMainEntry(void* raw) {
  auto* arguments = static_cast<CMainArguments*>(raw);
  arguments->routine(1, arguments->argv);
  g_MainEnded.store(true);
  Wake(kWakeMainEnded);
  return 0;
}

// The controls each wake byte stands for, in arrival order.
void QueueControls(const std::string& bytes, std::deque<DWORD>& pending) {
  for (char byte : bytes) {
    DWORD control = 0;
    if (byte == kWakeStop) control = kServiceControlStop;
    if (byte == kWakeParamChange) control = kServiceControlParamChange;
    if (control != 0 && pending.size() < kMaxPendingControls) pending.push_back(control);
  }
}

// Calls the handler for each pending control that the last report lets
// through, as the Windows service manager does: a stop once stops are
// accepted (during the start too), any other control while the service runs;
// the rest wait. Outside g_Mutex, since the handler reports status itself.
void DeliverControls(std::deque<DWORD>& pending) {
  for (;;) {
    ServiceControlRoutine handler;
    DWORD control = 0;
    {
      std::lock_guard<std::mutex> lock(g_Mutex);
      if (g_State.stopReported) {
        pending.clear();  // nobody is left to take a control
        return;
      }
      if (g_State.handler == nullptr) return;
      const auto next = std::find_if(pending.begin(), pending.end(), [](DWORD c) {
        return c == kServiceControlStop ? (g_State.controlsAccepted & kServiceAcceptStop) != 0
                                        : g_State.currentState == kServiceRunning;
      });
      if (next == pending.end()) return;
      control = *next;
      pending.erase(next);
      handler = g_State.handler;
    }
    handler(control);
  }
}

}  // namespace

bool PlatformStartedByServiceManager() {
  const char* notify = std::getenv("NOTIFY_SOCKET");
  const char* invocation = std::getenv("INVOCATION_ID");
  return (notify != nullptr && *notify != '\0') || (invocation != nullptr && *invocation != '\0');
}

int PlatformServiceDispatch(const char* serviceName, ServiceMainRoutine serviceMain) {
  if (!PlatformStartedByServiceManager()) {
    PlatformSetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return 0;
  }
  if (serviceName == nullptr || serviceMain == nullptr) {
    PlatformSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(g_Mutex);
    if (g_State.dispatching) {
      PlatformSetLastError(kErrorServiceAlreadyRunning);
      return 0;
    }
    if (!MakeWakePipe()) return 0;
    const char* notify = std::getenv("NOTIFY_SOCKET");
    g_State = CDispatchState{};
    g_State.dispatching = true;
    g_State.name = serviceName;
    g_State.notifySocket = notify != nullptr ? notify : "";
  }
  std::string stale;
  DrainWakePipe(stale);  // from an earlier dispatch in this process
  g_MainEnded.store(false);

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);

  std::string name = serviceName;
  CMainArguments arguments;
  arguments.routine = serviceMain;
  arguments.argv[0] = name.data();
  const ThreadHandle mainThread = BeginThread(0, ServiceMainEntry, &arguments, false);
  const DWORD startError = PlatformGetLastError();
  if (mainThread != 0) {
    std::deque<DWORD> pending;
    while (!g_MainEnded.load()) {
      pollfd wait{g_WakeRead, POLLIN, 0};
      ::poll(&wait, 1, kPollMs);
      std::string bytes;
      DrainWakePipe(bytes);
      QueueControls(bytes, pending);
      DeliverControls(pending);
    }
    WaitThreadHandle(mainThread, kWaitForever);  // it has returned already
    CloseThreadHandle(mainThread);
  }

  // The handlers stay: a signal that comes now must not end the process in
  // place of the exit status that the stopped report decided. Its byte waits
  // in the pipe and is dropped by the next dispatch.
  std::lock_guard<std::mutex> lock(g_Mutex);
  g_State.dispatching = false;
  g_State.handler = nullptr;
  if (mainThread == 0) {
    PlatformSetLastError(startError);
    return 0;
  }
  return 1;
}

ServiceStatusHandle PlatformRegisterServiceHandler(const char* serviceName, ServiceControlRoutine handler) {
  std::lock_guard<std::mutex> lock(g_Mutex);
  if (!g_State.dispatching || serviceName == nullptr || g_State.name != serviceName) {
    PlatformSetLastError(kErrorServiceDoesNotExist);
    return 0;
  }
  if (handler == nullptr) {
    PlatformSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  g_State.handler = handler;
  return kTheStatusHandle;
}

bool PlatformSetServiceStatus(ServiceStatusHandle handle, const CServiceStatus& status) {
  // One report at a time, and what it accepts takes effect only once it is
  // sent: a control that it lets through cannot report before it.
  std::lock_guard<std::mutex> order(g_ReportMutex);
  std::string socketPath;
  {
    std::lock_guard<std::mutex> lock(g_Mutex);
    if (handle != kTheStatusHandle || !g_State.dispatching) {
      PlatformSetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    socketPath = g_State.notifySocket;
  }
  const bool sent = socketPath.empty() || SendNotify(socketPath, NotifyMessage(status));
  const int err = errno;
  {
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_State.controlsAccepted = status.controlsAccepted;
    g_State.currentState = status.currentState;
    if (status.currentState == kServiceStopped) {
      g_State.stopReported = true;
      g_State.exitStatus = ExitStatusOfStoppedReport(status);
    }
  }
  Wake(kWakeStatus);
  if (sent) return true;
  // The service manager cannot be told; say why where its log will show it.
  std::string shown;
  for (char c : socketPath.substr(0, 200))
    shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  const std::string reason = err == EINVAL ? "it is neither an absolute path nor @name" : ErrnoText(err);
  std::fprintf(stderr, "cvsmtpgw: status not reported to the service manager at NOTIFY_SOCKET=%s: %s\n",
               shown.c_str(), reason.c_str());
  std::fflush(stderr);
  const bool fileError =
      err == ENOENT || err == ENOTDIR || err == EACCES || err == EINVAL || err == ENAMETOOLONG;
  PlatformSetLastError(fileError ? WindowsCodeOfErrno(err) : SocketErrorCode(err));
  return false;
}

int PlatformServiceExitCode() {
  std::lock_guard<std::mutex> lock(g_Mutex);
  return g_State.stopReported ? g_State.exitStatus : 1;
}
