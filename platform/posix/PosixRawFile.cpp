// platform/posix/PosixRawFile.cpp: the raw file calls under the shared stream
// (RawFile.h), over descriptors. Interrupted calls are retried. Any thread.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/RawFile.h"
#include "platform/posix/PosixDurability.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixRetry.h"

namespace {
int Fd(RawFile file) { return static_cast<int>(file); }
}  // namespace

RawFile RawOpen(const std::string& path, const CRawOpenMode& mode) {
  int flags = mode.read && mode.write ? O_RDWR : mode.write ? O_WRONLY : O_RDONLY;
  if (mode.create) flags |= O_CREAT;
  if (mode.create && mode.exclusive) flags |= O_EXCL;
  if (mode.truncate) flags |= O_TRUNC;
  if (mode.append) flags |= O_APPEND;
  CDurabilityGuard guard;
  const int fd = OpenRetry(path.c_str(), flags, 0666);
  if (fd < 0) {
    const int err = errno;
    SetFileError(err, path);
    errno = err;
    return kNoRawFile;
  }
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;  // the Windows runtime refuses directories
    PlatformSetLastError(ERROR_ACCESS_DENIED);
    return kNoRawFile;
  }
  if (mode.truncate) DurabilityTruncated(fd);
  return fd;
}

std::int64_t RawRead(RawFile file, void* buffer, std::size_t count) {
  for (;;) {
    const ssize_t n = ::read(Fd(file), buffer, count);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return -1;
  }
}

std::int64_t RawWrite(RawFile file, const char* data, std::size_t count) {
  for (;;) {
    const ssize_t n = ::write(Fd(file), data, count);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return -1;
  }
}

bool RawWriteAll(RawFile file, const char* data, std::size_t count) {
  return RawWriteFully(file, data, count);
}

std::int64_t RawSeek(RawFile file, std::int64_t offset, FileSeek from) {
  const int whence = from == FileSeek::kBegin ? SEEK_SET : from == FileSeek::kCurrent ? SEEK_CUR : SEEK_END;
  const off_t at = ::lseek(Fd(file), static_cast<off_t>(offset), whence);
  if (at < 0) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return -1;
  }
  return static_cast<std::int64_t>(at);
}

std::int64_t RawSize(RawFile file) {
  struct stat st;
  if (::fstat(Fd(file), &st) != 0) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return -1;
  }
  return static_cast<std::int64_t>(st.st_size);
}

bool RawSync(RawFile file) {
  CDurabilityGuard guard;
  const CDurabilityCapture capture = CDurabilityCapture::OfDescriptor(Fd(file));
  if (::fsync(Fd(file)) != 0) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    capture.Lose();
    return false;
  }
  capture.Commit();
  return true;
}

bool RawIdentity(RawFile file, CFileIdentity& out) {
  struct stat st;
  if (::fstat(Fd(file), &st) != 0) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return false;
  }
  out = CFileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), true};
  return true;
}

bool RawClose(RawFile file) {
  // Not retried on EINTR: on Linux the descriptor is gone either way.
  if (::close(Fd(file)) != 0 && errno != EINTR) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return false;
  }
  return true;
}

void RawSetFaultError(int err) { PlatformSetLastError(WindowsCodeOfErrno(err)); }
