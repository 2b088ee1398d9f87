// platform/posix/PosixProcess.cpp: CChildProcess over posix_spawnp and pipes.
//
// Our pipe ends are close-on-exec, so one child never inherits another's pipes
// and each sees end of file when we close its input. One thread per object.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/Process.h"
#include "platform/posix/PosixErrors.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}
}  // namespace

CChildProcess::~CChildProcess() {
  if (m_Pid > 0) {
    Kill();
    Wait(10000);
  }
  CloseFd(m_In);
  CloseFd(m_Out);
}

bool CChildProcess::Start(const std::vector<std::string>& argv) {
  if (m_Pid > 0 || argv.empty()) {
    PlatformSetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return false;
  }
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    ::close(toChild[0]);
    ::close(toChild[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);  // dup2 clears close-on-exec
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (rc != 0) {
    ::close(toChild[1]);
    ::close(fromChild[0]);
    PlatformSetLastError(WindowsCodeOfErrno(rc));
    return false;
  }
  m_Pid = pid;
  m_In = toChild[1];
  m_Out = fromChild[0];
  m_Exit = -1;
  m_Pending.clear();
  return true;
}

bool CChildProcess::WriteInput(std::string_view text) {
  if (m_In < 0) return false;
  // A child that has gone must not kill us with SIGPIPE.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  bool ok = true;
  while (!text.empty()) {
    const ssize_t n = ::write(m_In, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  ::sigaction(SIGPIPE, &previous, nullptr);
  return ok;
}

void CChildProcess::CloseInput() { CloseFd(m_In); }

long CChildProcess::ReadOutput(char* buffer, std::size_t capacity, int milliseconds) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    struct pollfd pfd {
      m_Out, POLLIN, 0
    };
    const int ready = ::poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
    const ssize_t n = ::read(m_Out, buffer, capacity);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      CloseFd(m_Out);
      return -1;
    }
    return static_cast<long>(n);
  }
}

void CChildProcess::Kill() {
  if (m_Pid > 0) ::kill(m_Pid, SIGKILL);
}

int CChildProcess::Wait(int milliseconds) {
  if (m_Pid <= 0) return m_Exit;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(m_Pid, &status, WNOHANG);
    if (r == m_Pid) {
      m_Pid = -1;
      m_Exit = ExitCodeOf(status);
      return m_Exit;
    }
    if (r < 0 && errno != EINTR) {
      m_Pid = -1;
      return m_Exit;
    }
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool SetEnvironmentValue(const char* name, const char* value) {
  if (name == nullptr || *name == '\0') return false;
  return (value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name)) == 0;
}
