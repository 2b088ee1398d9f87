// platform/win32/Win32Process.cpp: CChildProcess over CreateProcessA and
// anonymous pipes.
//
// The object's fields are the POSIX backend's ints; here they hold handle
// values, which 64-bit Windows keeps within 32 bits so that they survive the
// round trip. The child inherits only the ends meant for it: handles are made
// inheritable and CreateProcessA is called under one lock, so that two
// children started at once do not take each other's pipes. One thread per
// object.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/Process.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kKilledExitCode = 137;  // 128 + SIGKILL, as the POSIX backend reports a killed child
constexpr auto kPollInterval = std::chrono::milliseconds(2);

std::mutex g_SpawnMutex;

HANDLE H(int value) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value)); }
int Value(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }

void CloseValue(int& value) {
  if (value >= 0) ::CloseHandle(H(value));
  value = -1;
}

// One argument quoted as the runtime's command line parser reads it back.
std::string Quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}
}  // namespace

CChildProcess::~CChildProcess() {
  if (m_Pid >= 0) {
    Kill();
    Wait(10000);
  }
  CloseValue(m_Pid);
  CloseValue(m_In);
  CloseValue(m_Out);
}

bool CChildProcess::Start(const std::vector<std::string>& argv) {
  if (m_Pid >= 0 || argv.empty()) {
    PlatformSetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::string commandLine;
  for (const std::string& argument : argv) commandLine += (commandLine.empty() ? "" : " ") + Quoted(argument);

  std::lock_guard<std::mutex> lock(g_SpawnMutex);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE childIn = nullptr, ourIn = nullptr, ourOut = nullptr, childOut = nullptr, childErr = nullptr;
  if (!::CreatePipe(&childIn, &ourIn, &inherit, 0)) return TakeSystemError(), false;
  if (!::CreatePipe(&ourOut, &childOut, &inherit, 0)) {
    TakeSystemError();
    ::CloseHandle(childIn);
    ::CloseHandle(ourIn);
    return false;
  }
  ::SetHandleInformation(ourIn, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(ourOut, HANDLE_FLAG_INHERIT, 0);
  // Standard error is shared with ours, through an inheritable copy.
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (err != nullptr && err != INVALID_HANDLE_VALUE)
    ::DuplicateHandle(::GetCurrentProcess(), err, ::GetCurrentProcess(), &childErr, 0, TRUE,
                      DUPLICATE_SAME_ACCESS);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn;
  startup.hStdOutput = childOut;
  startup.hStdError = childErr;
  PROCESS_INFORMATION info{};
  const BOOL started = ::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &info);
  if (!started) TakeSystemError();
  ::CloseHandle(childIn);
  ::CloseHandle(childOut);
  if (childErr != nullptr) ::CloseHandle(childErr);
  if (!started) {
    ::CloseHandle(ourIn);
    ::CloseHandle(ourOut);
    return false;
  }
  ::CloseHandle(info.hThread);
  m_Pid = Value(info.hProcess);
  m_In = Value(ourIn);
  m_Out = Value(ourOut);
  m_Exit = -1;
  m_Pending.clear();
  return true;
}

bool CChildProcess::WriteInput(std::string_view text) {
  if (m_In < 0) return false;
  while (!text.empty()) {
    DWORD put = 0;
    if (!::WriteFile(H(m_In), text.data(), static_cast<DWORD>(text.size()), &put, nullptr)) return false;
    text.remove_prefix(put);
  }
  return true;
}

void CChildProcess::CloseInput() { CloseValue(m_In); }

long CChildProcess::ReadOutput(char* buffer, std::size_t capacity, int milliseconds) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  DWORD available = 0;
  for (;;) {
    if (!::PeekNamedPipe(H(m_Out), nullptr, 0, nullptr, &available, nullptr)) {
      CloseValue(m_Out);
      return -1;
    }
    if (available > 0) break;
    if (Clock::now() >= deadline) return 0;
    std::this_thread::sleep_for(kPollInterval);
  }
  DWORD got = 0;
  // No more than is there: a read of more would wait for it.
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(capacity, available));
  if (!::ReadFile(H(m_Out), buffer, want, &got, nullptr) || got == 0) {
    CloseValue(m_Out);
    return -1;
  }
  return static_cast<long>(got);
}

void CChildProcess::Kill() {
  if (m_Pid >= 0) ::TerminateProcess(H(m_Pid), kKilledExitCode);
}

int CChildProcess::Wait(int milliseconds) {
  if (m_Pid < 0) return m_Exit;
  if (::WaitForSingleObject(H(m_Pid), static_cast<DWORD>(milliseconds < 0 ? 0 : milliseconds)) !=
      WAIT_OBJECT_0)
    return -1;
  DWORD code = 0;
  m_Exit = ::GetExitCodeProcess(H(m_Pid), &code) ? static_cast<int>(code) : -1;
  CloseValue(m_Pid);
  return m_Exit;
}

bool SetEnvironmentValue(const char* name, const char* value) {
  if (name == nullptr || *name == '\0') return false;
  // The runtime's copy (getenv) and the system's (children, the system's calls).
  if (::_putenv_s(name, value != nullptr ? value : "") != 0) return false;
  return ::SetEnvironmentVariableA(name, value) != 0;
}
