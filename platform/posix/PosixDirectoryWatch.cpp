// platform/posix/PosixDirectoryWatch.cpp: CDirectoryWatch over inotify, woken
// through a pipe of its own.
//
// Threading: see DirectoryWatch.h. Wake only writes a byte to the pipe.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/DirectoryWatch.h"
#include "platform/File.h"
#include "platform/posix/PosixErrors.h"

namespace {

// A file written in place is reported when it is closed, not when it is
// created: until then it may be empty or half written.
constexpr std::uint32_t kWatchMask = IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

void CloseIf(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

struct CDirectoryWatch::Backend {
  int inotify = -1;
  int watch = -1;  // on `directory`; -1 while there is none
  int wakeRead = -1;
  int wakeWrite = -1;
  std::string directory;
  std::string pattern;

  ~Backend() {
    CloseIf(inotify);
    CloseIf(wakeRead);
    CloseIf(wakeWrite);
  }

  bool AddWatch() {
    watch = ::inotify_add_watch(inotify, directory.c_str(), kWatchMask);
    if (watch >= 0) return true;
    SetFileError(errno, directory);
    return false;
  }

  // Reads the queued events: true when one of them names a matching file or
  // says that the directory itself changed (everything must be looked at).
  bool Drain() {
    alignas(inotify_event) char buffer[8 * 1024];
    bool matched = false;
    for (;;) {
      const ssize_t n = ::read(inotify, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return matched;
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if ((event->mask & IN_Q_OVERFLOW) != 0) {
          matched = true;
          continue;
        }
        if ((event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
          // The directory went or moved: watch what its path names next time.
          if (watch >= 0 && (event->mask & IN_IGNORED) == 0) ::inotify_rm_watch(inotify, watch);
          watch = -1;
          matched = true;
          continue;
        }
        if (event->len == 0) continue;
        const std::string name(event->name, ::strnlen(event->name, event->len));
        if (WildcardMatch(pattern.c_str(), name.c_str())) matched = true;
      }
    }
  }
};

CDirectoryWatch::CDirectoryWatch() : m_Backend(std::make_unique<Backend>()) {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
    m_Backend->wakeRead = fds[0];
    m_Backend->wakeWrite = fds[1];
  }
}

CDirectoryWatch::~CDirectoryWatch() = default;

bool CDirectoryWatch::Open(const std::string& directory, const char* pattern) {
  Backend& b = *m_Backend;
  b.directory = directory;
  b.pattern = pattern != nullptr ? pattern : "*";
  if (b.inotify < 0) b.inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (b.inotify < 0) {
    SetFileError(errno, directory);
    return false;
  }
  if (b.watch >= 0) ::inotify_rm_watch(b.inotify, b.watch);
  b.watch = -1;
  return b.AddWatch();
}

bool CDirectoryWatch::IsWatching() const { return m_Backend->watch >= 0; }

bool CDirectoryWatch::Wait(std::uint32_t milliseconds) {
  using Clock = std::chrono::steady_clock;
  Backend& b = *m_Backend;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  // A directory that was replaced is watched again (once per wait).
  if (b.watch < 0 && b.inotify >= 0 && !b.directory.empty()) b.AddWatch();
  for (;;) {
    pollfd fds[2] = {{b.wakeRead, POLLIN, 0}, {b.watch >= 0 ? b.inotify : -1, POLLIN, 0}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int ready = ::poll(fds, 2, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    if ((fds[0].revents & POLLIN) != 0) {
      char drained[64];
      while (::read(b.wakeRead, drained, sizeof drained) > 0) {
      }
      return true;
    }
    if ((fds[1].revents & POLLIN) != 0 && b.Drain()) return true;
    if ((fds[1].revents & (POLLERR | POLLNVAL)) != 0) return false;  // no busy loop on a broken descriptor
  }
}

void CDirectoryWatch::Wake() {
  if (m_Backend->wakeWrite < 0) return;
  const char byte = 1;
  // A full pipe already holds a wake-up.
  [[maybe_unused]] const ssize_t n = ::write(m_Backend->wakeWrite, &byte, 1);
}
