// platform/posix/PosixHiveFile.cpp: reading and replacing the hive file.
//
// A replacement never writes into a file a reader may have open: it makes a
// new file under the fixed temporary name, and only a rename puts it in place.
// Any thread; one replacement per hive at a time (the caller's lock).
#include "platform/posix/PosixHiveFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/FaultInjection.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixReplaceFile.h"
#include "platform/posix/PosixRetry.h"

namespace {

constexpr off_t kMaxHiveBytes = 16 * 1024 * 1024;  // far beyond any real hive; a bigger file is not ours
constexpr std::size_t kReadChunk = 16 * 1024;
constexpr int kUnlockedReadAttempts = 5;

// Reads all of fd (at most kMaxHiveBytes + 1 bytes). 0 or the errno.
// `size`: the file's size when nobody can change it meanwhile, so that a short
// read at that size is known to be the end; else -1.
int ReadAll(int fd, std::string& text, bool& tooBig, off_t size) {
  text.clear();
  tooBig = false;
  char chunk[kReadChunk];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    text.append(chunk, static_cast<std::size_t>(n));
    at += n;
    if (at == size && static_cast<std::size_t>(n) < sizeof chunk) return 0;
    if (static_cast<off_t>(text.size()) > kMaxHiveBytes) {
      tooBig = true;
      text.clear();
      return 0;
    }
  }
}

}  // namespace

CHiveFileState CHiveFileState::Of(const std::string& path) {
  CHiveFileState state;
  state.exists = ::stat(path.c_str(), &state.st) == 0;
  return state;
}

bool CHiveFileState::Same(const CHiveFileState& other) const {
  if (exists != other.exists) return false;
  if (!exists) return true;
  const struct stat &a = st, &b = other.st;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

long HiveFileRead(const std::string& path, bool locked, std::string& text, bool& tooBig,
                  CHiveFileState& state) {
  text.clear();
  tooBig = false;
  state = CHiveFileState{};
  const int fd = OpenRetry(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK, 0);
  if (fd < 0) {
    const int err = errno;
    return err == ENOENT ? ERROR_FILE_NOT_FOUND : static_cast<long>(WindowsCodeOfErrno(err));
  }
  if (::fstat(fd, &state.st) != 0 || !S_ISREG(state.st.st_mode)) {
    ::close(fd);
    std::fprintf(stderr, "%s: the hive is not a regular file\n", path.c_str());
    return ERROR_BADDB;
  }
  state.exists = true;
  tooBig = state.st.st_size > kMaxHiveBytes;
  int err = 0;
  if (!tooBig) {
    err = ReadAll(fd, text, tooBig, locked ? state.st.st_size : -1);
    for (int again = 0; err == 0 && !tooBig && !locked && again < kUnlockedReadAttempts; ++again) {
      std::string check;
      err = ReadAll(fd, check, tooBig, -1);
      if (err == 0 && check == text) break;
      text.swap(check);
    }
  }
  ::close(fd);
  return err == 0 ? ERROR_SUCCESS : static_cast<long>(WindowsCodeOfErrno(err));
}

long HiveFileReplace(const std::string& path, const std::string& text, const CHiveFileState& current,
                     CHiveFileState& after) {
  after = CHiveFileState{};
  const std::string temporary = path + ".new";
  const CPosixReplaceOutcome outcome = PosixReplaceFile(path, temporary, text, [&current](int fd) {
    if (!current.exists) return;
    // The hive's permissions, and its owner where we may set it.
    (void)::fchmod(fd, current.st.st_mode & 07777);
    if (::geteuid() == 0) (void)::fchown(fd, current.st.st_uid, current.st.st_gid);
  });
  if (!outcome.created) return static_cast<long>(FileErrorCode(outcome.err, temporary));
  if (outcome.placed) {
    after.exists = outcome.statted;
    after.st = outcome.st;
  }
  return outcome.err == 0 ? ERROR_SUCCESS : static_cast<long>(WindowsCodeOfErrno(outcome.err));
}
