// platform/posix/PosixRetry.h: open and flock that retry when a signal
// interrupts them, so callers see only real failures. Any thread.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/types.h>

#include <cerrno>

// Opens `path` with `flags` (close-on-exec added); -1 and errno on failure.
inline int OpenRetry(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

inline int FlockRetry(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}
