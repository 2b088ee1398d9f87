// platform/posix/PosixSystem.cpp: threads, time, the command line, message
// boxes, the console and the TMP directory.
//
// A thread handle is a pointer to a control block owned jointly by the thread
// and the handle holder (two references); whichever lets go last frees it, so
// the handle stays valid until CloseThreadHandle however early the thread ends,
// and the thread itself is detached. A suspended thread waits on the block's
// condition variable until ResumeThreadHandle. Thread-safe.
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "platform/Process.h"
#include "platform/System.h"
#include "platform/posix/PosixErrors.h"

namespace {

constexpr std::size_t kMinimumStack = 1024 * 1024;  // what a Windows thread reserves (see System.h)

struct CThreadControl {
  std::mutex lock;
  std::condition_variable changed;
  bool resumed = false;   // guarded by lock
  bool finished = false;  // guarded by lock
  int references = 2;     // guarded by lock: the thread and the handle holder
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
};

void Release(CThreadControl* control) {
  bool last;
  {
    std::lock_guard<std::mutex> guard(control->lock);
    last = --control->references == 0;
  }
  if (last) delete control;
}

void* ThreadEntry(void* raw) {
  auto* control = static_cast<CThreadControl*>(raw);
  {
    std::unique_lock<std::mutex> guard(control->lock);
    control->changed.wait(guard, [control] { return control->resumed; });
  }
  control->routine(control->argument);
  {
    std::lock_guard<std::mutex> guard(control->lock);
    control->finished = true;
    control->changed.notify_all();
  }
  Release(control);
  return nullptr;
}

CThreadControl* FromHandle(ThreadHandle handle) { return reinterpret_cast<CThreadControl*>(handle); }
}  // namespace

std::size_t EffectiveStackSize(std::size_t requested) {
  std::size_t size = std::max(requested, kMinimumStack);
  size = std::max<std::size_t>(size, static_cast<std::size_t>(PTHREAD_STACK_MIN));
  long page = ::sysconf(_SC_PAGESIZE);
  if (page <= 0) page = 4096;
  const std::size_t p = static_cast<std::size_t>(page);
  return (size + p - 1) / p * p;
}

ThreadHandle BeginThread(std::size_t stackSize, ThreadRoutine routine, void* argument, bool suspended) {
  if (routine == nullptr) {
    PlatformSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto* control = new CThreadControl;
  control->routine = routine;
  control->argument = argument;
  control->resumed = !suspended;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // 0 asks for the default, which is at least the minimum too.
  const std::size_t stack = EffectiveStackSize(stackSize);
  std::size_t defaultStack = 0;
  pthread_attr_getstacksize(&attr, &defaultStack);
  int rc = pthread_attr_setstacksize(&attr, stackSize == 0 ? std::max(stack, defaultStack) : stack);
  pthread_t thread;
  if (rc == 0) rc = pthread_create(&thread, &attr, ThreadEntry, control);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete control;
    PlatformSetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : WindowsCodeOfErrno(rc));
    return 0;
  }
  return reinterpret_cast<ThreadHandle>(control);
}

bool ResumeThreadHandle(ThreadHandle handle) {
  if (handle == 0) return FailNoHandle();
  CThreadControl* control = FromHandle(handle);
  std::lock_guard<std::mutex> guard(control->lock);
  control->resumed = true;
  control->changed.notify_all();
  return true;
}

bool WaitThreadHandle(ThreadHandle handle, std::uint32_t milliseconds) {
  if (handle == 0) return FailNoHandle();
  CThreadControl* control = FromHandle(handle);
  std::unique_lock<std::mutex> guard(control->lock);
  const auto done = [control] { return control->finished; };
  if (milliseconds == kWaitForever) {
    control->changed.wait(guard, done);
    return true;
  }
  return control->changed.wait_for(guard, std::chrono::milliseconds(milliseconds), done);
}

bool CloseThreadHandle(ThreadHandle handle) {
  if (handle == 0) return FailNoHandle();
  Release(FromHandle(handle));
  return true;
}

void TuneProcessMemory() {
  // Every file the gateway opens as a stream gets a buffer of 64 KiB, freed at
  // its close. glibc hands a thread's arena memory back to the system as soon
  // as 128 KiB lie free at its top, so each file would cost an madvise and the
  // page faults of touching the memory again. The higher threshold keeps a few
  // MiB with the process instead.
  mallopt(M_TRIM_THRESHOLD, 8 * 1024 * 1024);
}

void SleepMs(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void LowerThreadPriority() {
  // On Linux the nice value belongs to each thread. Five steps weigh about a
  // third of a normal thread: lower, and never shut out.
  constexpr int kSteps = 5;
  const id_t thread = static_cast<id_t>(::gettid());
  errno = 0;
  const int now = ::getpriority(PRIO_PROCESS, thread);
  if (now == -1 && errno != 0) return;
  (void)::setpriority(PRIO_PROCESS, thread, std::min(now + kSteps, 19));
}

void SystemTimeNow(std::int64_t& seconds, int& milliseconds) {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  seconds = static_cast<std::int64_t>(ts.tv_sec);
  milliseconds = static_cast<int>(ts.tv_nsec / 1000000);
}

bool LocalTime(std::time_t when, std::tm& out) { return ::localtime_r(&when, &out) != nullptr; }

std::string ProcessCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!raw.empty() && raw.back() == '\0') raw.pop_back();
  std::replace(raw.begin(), raw.end(), '\0', ' ');  // arguments joined by single spaces
  return raw;
}

void ShowMessageBox(const char* text, const char* caption, unsigned /*flags*/) {
  std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
  std::fflush(stderr);
}

bool PlatformInteractiveDesktop() { return true; }  // the line above is all there is

int ConsoleReadChar() {
  // On a terminal, take the key at once and without echo, as _getch does.
  termios saved{};
  const bool terminal = ::isatty(0) == 1 && ::tcgetattr(0, &saved) == 0;
  if (terminal) {
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(0, TCSANOW, &raw);
  }
  unsigned char c = 0;
  ssize_t n;
  do {
    n = ::read(0, &c, 1);
  } while (n < 0 && errno == EINTR);
  if (terminal) ::tcsetattr(0, TCSANOW, &saved);
  return n == 1 ? c : -1;
}

namespace {
int g_ReloadPipe[2] = {-1, -1};  // written by the SIGHUP handler, read by the reload thread

void OnReloadSignal(int) {
  const int saved = errno;
  const char byte = 'H';
  [[maybe_unused]] const ssize_t n = ::write(g_ReloadPipe[1], &byte, 1);  // a full pipe holds a request already
  errno = saved;
}
}  // namespace

void ConsoleWatchReload(void (*reload)()) {
  if (g_ReloadPipe[0] >= 0 || ::pipe2(g_ReloadPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  std::thread([reload] {
    for (;;) {
      pollfd wait{g_ReloadPipe[0], POLLIN, 0};
      if (::poll(&wait, 1, -1) < 0 && errno != EINTR) return;
      char bytes[16];
      // Requests that came together are one reload.
      if (::read(g_ReloadPipe[0], bytes, sizeof bytes) > 0) reload();
    }
  }).detach();
  struct sigaction action {};
  action.sa_handler = OnReloadSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGHUP, &action, nullptr);
}

std::string TempDirectory() {
  std::string dir = EnvironmentValue("TMP", "/tmp");
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

void QuickExit(int code) { std::quick_exit(code); }
