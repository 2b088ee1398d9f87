// platform/win32/Win32System.cpp: threads, time, the command line, message
// boxes, the console and the TMP directory.
//
// A thread handle is the system's thread handle (_beginthreadex), valid until
// CloseThreadHandle whether or not the thread has ended. Thread-safe.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "platform/Process.h"
#include "platform/System.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

namespace {

constexpr std::size_t kMinimumStack = 1024 * 1024;  // the executable's reservation (see System.h)
constexpr std::size_t kStackRounding = 64 * 1024;   // the allocation granularity
// 100 ns ticks from 1601-01-01 (FILETIME) to 1970-01-01.
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;

struct CThreadStart {
  ThreadRoutine routine;
  void* argument;
};

unsigned __stdcall ThreadEntry(void* raw) {
  const std::unique_ptr<CThreadStart> start(static_cast<CThreadStart*>(raw));
  return start->routine(start->argument);
}

HANDLE FromHandle(ThreadHandle handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

std::size_t EffectiveStackSize(std::size_t requested) {
  const std::size_t size = std::max(requested, kMinimumStack);
  return (size + kStackRounding - 1) / kStackRounding * kStackRounding;
}

ThreadHandle BeginThread(std::size_t stackSize, ThreadRoutine routine, void* argument, bool suspended) {
  if (routine == nullptr) {
    PlatformSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto start = std::make_unique<CThreadStart>(CThreadStart{routine, argument});
  // The size is the first commit: the thread may still grow to the reservation.
  const std::uintptr_t thread = ::_beginthreadex(nullptr, static_cast<unsigned>(stackSize), ThreadEntry,
                                                 start.get(), suspended ? CREATE_SUSPENDED : 0, nullptr);
  if (thread == 0) {
    TakeSystemError();
    return 0;
  }
  start.release();  // the thread owns it now
  return thread;
}

bool ResumeThreadHandle(ThreadHandle handle) {
  return CallWithHandle(handle, [&] { return ::ResumeThread(FromHandle(handle)) != static_cast<DWORD>(-1); });
}

bool WaitThreadHandle(ThreadHandle handle, std::uint32_t milliseconds) {
  if (handle == 0) return FailNoHandle();
  return ::WaitForSingleObject(FromHandle(handle), milliseconds) == WAIT_OBJECT_0;
}

bool CloseThreadHandle(ThreadHandle handle) {
  return CallWithHandle(handle, [&] { return ::CloseHandle(FromHandle(handle)) != 0; });
}

void TuneProcessMemory() {
  // The Windows heap keeps freed blocks for reuse on its own.
}

void SleepMs(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

void LowerThreadPriority() { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

void SystemTimeNow(std::int64_t& seconds, int& milliseconds) {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const std::uint64_t sinceEpoch = ticks > kUnixEpochTicks ? ticks - kUnixEpochTicks : 0;
  seconds = static_cast<std::int64_t>(sinceEpoch / 10000000);
  milliseconds = static_cast<int>(sinceEpoch % 10000000 / 10000);
}

bool LocalTime(std::time_t when, std::tm& out) { return ::localtime_s(&out, &when) == 0; }

std::string ProcessCommandLine() {
  const char* line = ::GetCommandLineA();
  return line != nullptr ? std::string(line) : std::string();
}

void ShowMessageBox(const char* text, const char* caption, unsigned flags) {
  // The same line goes to standard error, so that a console, a log or a test
  // sees the text where no desktop shows the box (without one, MessageBoxA
  // returns at once).
  std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
  std::fflush(stderr);
  ::MessageBoxA(nullptr, text != nullptr ? text : "", caption != nullptr ? caption : "", flags);
}

bool PlatformInteractiveDesktop() {
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  const HWINSTA station = ::GetProcessWindowStation();
  return station != nullptr &&
         ::GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

void ConsoleWatchReload(void (*)()) {}  // a service's reload is its parameter-change control

int ConsoleReadChar() {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  // A console gives the key at once and without echo; a pipe or file its next byte.
  if (input != nullptr && input != INVALID_HANDLE_VALUE && ::GetConsoleMode(input, &mode)) return ::_getch();
  unsigned char c = 0;
  DWORD got = 0;
  if (input == nullptr || input == INVALID_HANDLE_VALUE || !::ReadFile(input, &c, 1, &got, nullptr) ||
      got != 1)
    return -1;
  return c;
}

std::string TempDirectory() {
  std::string dir = EnvironmentValue("TMP", "");
  if (dir.empty()) {
    char buffer[MAX_PATH + 1];
    const DWORD n = ::GetTempPathA(sizeof buffer, buffer);
    dir = n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string("C:\\Windows\\Temp");
  }
  while (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return dir;
}

void QuickExit(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(code);
}
