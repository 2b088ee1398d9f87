// platform/posix/PosixReplaceFile.cpp: whole-file writes of the POSIX backend.
// Any thread; see the header for the caller's lock.
#include "platform/posix/PosixReplaceFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FaultInjection.h"
#include "platform/posix/PosixRetry.h"

int PosixWriteAll(int fd, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

std::string PosixDirectoryOf(const std::string& path) {
  std::string::size_type end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;  // "dir/" names dir itself
  if (end == 0) return ".";
  const std::string::size_type slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

int PosixSyncDirectoryOf(const std::string& path) {
  const std::string directory = PosixDirectoryOf(path);
  if (FaultInjected(FaultOp::kSync, directory)) return errno;
  const int fd = OpenRetry(directory.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return errno;
  const int err = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return err;
}

CPosixReplaceOutcome PosixReplaceFile(const std::string& path, const std::string& temporary,
                                      std::string_view text, const std::function<void(int fd)>& prepare) {
  CPosixReplaceOutcome out;
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
    out.err = errno;
    return out;
  }
  if (FaultInjected(FaultOp::kCreate, temporary)) {
    out.err = errno;
    return out;
  }
  // O_NONBLOCK: something other than a file planted there must not hang us.
  const int fd = OpenRetry(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) {
    out.err = errno;
    return out;
  }
  out.created = true;
  if (prepare) prepare(fd);
  int err = FaultInjected(FaultOp::kWrite, temporary) ? errno : PosixWriteAll(fd, text.data(), text.size());
  if (err == 0 && FaultInjected(FaultOp::kSync, temporary)) err = errno;
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (err == 0 && FaultInjected(FaultOp::kRename, path)) err = errno;
  if (err == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::close(fd);
    ::unlink(temporary.c_str());
    out.err = err;
    return out;
  }
  out.placed = true;
  // The rename gave the file a new change time: its status from now on.
  out.statted = ::fstat(fd, &out.st) == 0;
  ::close(fd);
  out.err = PosixSyncDirectoryOf(path);
  return out;
}
