// platform/posix/PosixFileOps.cpp: whole-file operations (exists, delete, move,
// copy, size, age).
//
// Each sets the thread's last error to the code the Windows call would give.
// Moves that must not replace use renameat2(RENAME_NOREPLACE), so the check
// and the move are one step; file systems without it get link + unlink, which
// is just as atomic for files. Any thread.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>
#include <vector>

#include "platform/File.h"
#include "platform/FileOpsBackend.h"
#include "platform/posix/PosixDurability.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixRetry.h"

namespace {
// Copies everything from `in` to `out`; false with errno on failure.
bool CopyData(int in, int out) {
  constexpr std::size_t kChunk = 64 * 1024;
  static_assert(kChunk > 0);
  char buffer[kChunk];
  for (;;) {
    ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    ssize_t done = 0;
    while (done < got) {
      const ssize_t n = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += n;
    }
  }
}

bool Fail(int err, const std::string& path) {
  SetFileError(err, path);
  return false;
}
}  // namespace

bool FileExists(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Fail(errno, path);
  return true;
}

bool FileIdentityByName(const std::string& path, CFileIdentity& out) {
  out = CFileIdentity{};
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return Fail(errno, path);
  out = CFileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), true};
  return true;
}

bool PlatformFileDelete(const std::string& path) {
  CDurabilityGuard guard;
  const std::uint64_t last = DurabilityLastName(path);
  if (::unlink(path.c_str()) != 0) return Fail(errno, path);
  DurabilityNameGone(last);
  return true;
}

bool FileIsPlain(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return Fail(errno, path);
  if (!S_ISREG(st.st_mode)) return Fail(EACCES, path);
  return true;
}

bool PlatformFileMove(const std::string& from, const std::string& to) {
  CDurabilityGuard guard;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    // No RENAME_NOREPLACE here: a hard link fails when `to` exists, atomically.
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) return Fail(errno, from);
    if (S_ISDIR(st.st_mode)) {
      if (::lstat(to.c_str(), &st) == 0)
        err = EEXIST;
      else if (::rename(from.c_str(), to.c_str()) == 0)
        return true;
      else
        err = errno;
    } else if (::link(from.c_str(), to.c_str()) == 0) {
      if (::unlink(from.c_str()) == 0) return true;
      err = errno;
      ::unlink(to.c_str());  // keep one name, as a failed move would
    } else {
      err = errno;
    }
  }
  if (err == EEXIST) {
    PlatformSetLastError(ERROR_ALREADY_EXISTS);  // MoveFileA's code for an existing target
    return false;
  }
  if (err == ENOENT) {
    // Tell a missing source from a missing target directory.
    struct stat st;
    return Fail(err, ::lstat(from.c_str(), &st) != 0 ? from : to);
  }
  return Fail(err, to);
}

bool PlatformFileMoveReplace(const std::string& from, const std::string& to) {
  CDurabilityGuard guard;
  const std::uint64_t replaced = DurabilityLastName(to);
  if (::rename(from.c_str(), to.c_str()) != 0) {
    const int err = errno;
    struct stat st;
    return Fail(err, (err == ENOENT && ::lstat(from.c_str(), &st) != 0) ? from : to);
  }
  DurabilityNameGone(replaced);
  return true;
}

bool FileCopy(const std::string& from, const std::string& to, bool failIfExists) {
  CDurabilityGuard guard;
  const int in = OpenRetry(from.c_str(), O_RDONLY, 0);
  if (in < 0) return Fail(errno, from);
  struct stat src;
  if (::fstat(in, &src) != 0 || S_ISDIR(src.st_mode)) {
    const int err = S_ISDIR(src.st_mode) ? EISDIR : errno;
    ::close(in);
    return Fail(err, from);
  }
  // Never O_TRUNC up front: `to` may be `from` under another name.
  const int flags = O_WRONLY | O_CREAT | (failIfExists ? O_EXCL : 0);
  const int out = OpenRetry(to.c_str(), flags, src.st_mode & 0777);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    return Fail(err, to);
  }
  struct stat dst;
  if (::fstat(out, &dst) == 0 && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
    ::close(in);
    ::close(out);
    PlatformSetLastError(ERROR_SHARING_VIOLATION);  // CopyFileA onto itself
    return false;
  }
  bool ok = ::ftruncate(out, 0) == 0 && CopyData(in, out);
  int err = ok ? 0 : errno;
  ::close(in);
  if (::close(out) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(to.c_str());  // no half copy under the target's name
    return Fail(err, to);
  }
  return true;
}

std::int64_t FileSizeByName(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    SetFileError(errno, path);
    return -1;
  }
  return static_cast<std::int64_t>(st.st_size);
}

std::int64_t FileAgeSeconds(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    SetFileError(errno, path);
    return -1;
  }
  const std::time_t now = std::time(nullptr);
  return now > st.st_mtime ? static_cast<std::int64_t>(now - st.st_mtime) : 0;
}

void PlatformSyncLost(const std::string& path) { CDurabilityCapture::OfPath(path).Lose(); }

bool PlatformFilesSync(const std::vector<std::string>& paths) {
  CDurabilityGuard guard;
  std::vector<std::pair<int, const std::string*>> open;
  open.reserve(paths.size());
  int firstErr = 0;
  const std::string* failed = nullptr;
  for (const std::string& path : paths) {
    const int fd = OpenRetry(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK, 0);
    if (fd < 0) {
      if (firstErr == 0) {
        firstErr = errno;
        failed = &path;
      }
      continue;
    }
    // Queue the writes of every file first, so the device takes them together.
    (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    open.emplace_back(fd, &path);
  }
  for (const auto& [fd, path] : open) {
    const CDurabilityCapture capture = CDurabilityCapture::OfPath(*path);
    if (::fsync(fd) != 0) {
      capture.Lose();
      if (firstErr == 0) {
        firstErr = errno;
        failed = path;
      }
    } else {
      capture.Commit();
    }
    ::close(fd);
  }
  if (firstErr != 0) return Fail(firstErr, *failed);
  return true;
}
