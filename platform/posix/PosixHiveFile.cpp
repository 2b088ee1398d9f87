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

// Writes all of text to fd. 0 or the errno.
int WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

std::string DirectoryOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// Syncs the directory that holds `path`, so that a rename in it survives a crash.
int SyncDirectory(const std::string& path) {
  const std::string directory = DirectoryOf(path);
  if (FaultInjected(FaultOp::kSync, directory)) return errno;
  const int fd = OpenRetry(directory.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return errno;
  const int err = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return err;
}

// The temporary file, closed and (unless it became the hive) removed on every path.
class CTempFile {
 public:
  explicit CTempFile(std::string path) : m_Path(std::move(path)) {}
  CTempFile(const CTempFile&) = delete;
  CTempFile& operator=(const CTempFile&) = delete;
  ~CTempFile() {
    if (m_Fd >= 0) ::close(m_Fd);
    if (!m_Placed) ::unlink(m_Path.c_str());
  }
  const std::string& Path() const { return m_Path; }
  int Fd() const { return m_Fd; }
  void Take(int fd) { m_Fd = fd; }  // takes ownership of fd
  void Placed() { m_Placed = true; }

 private:
  std::string m_Path;
  int m_Fd = -1;
  bool m_Placed = false;
};

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
    return err == ENOENT ? ERROR_FILE_NOT_FOUND : static_cast<long>(FileErrorCodeNoPath(err));
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
  return err == 0 ? ERROR_SUCCESS : static_cast<long>(FileErrorCodeNoPath(err));
}

long HiveFileReplace(const std::string& path, const std::string& text, const CHiveFileState& current,
                     CHiveFileState& after) {
  after = CHiveFileState{};
  CTempFile temp(path + ".new");
  // A file left there by a killed writer is never written into: someone may
  // hold a link to it. A new one is made.
  if (::unlink(temp.Path().c_str()) != 0 && errno != ENOENT)
    return static_cast<long>(FileErrorCode(errno, temp.Path()));
  if (FaultInjected(FaultOp::kCreate, temp.Path()))
    return static_cast<long>(FileErrorCode(errno, temp.Path()));
  // O_NONBLOCK: something other than a file planted there must not hang us.
  const int fd = OpenRetry(temp.Path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) return static_cast<long>(FileErrorCode(errno, temp.Path()));
  temp.Take(fd);
  if (current.exists) {
    // The hive's permissions, and its owner where we may set it.
    (void)::fchmod(fd, current.st.st_mode & 07777);
    if (::geteuid() == 0) (void)::fchown(fd, current.st.st_uid, current.st.st_gid);
  }
  int err = FaultInjected(FaultOp::kWrite, temp.Path()) ? errno : WriteAll(fd, text);
  if (err == 0 && FaultInjected(FaultOp::kSync, temp.Path())) err = errno;
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (err == 0 && FaultInjected(FaultOp::kRename, path)) err = errno;
  if (err == 0 && ::rename(temp.Path().c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) return static_cast<long>(FileErrorCodeNoPath(err));
  temp.Placed();
  // The rename gave the file a new change time: its status from now on.
  after.exists = ::fstat(fd, &after.st) == 0;
  err = SyncDirectory(path);
  return err == 0 ? ERROR_SUCCESS : static_cast<long>(FileErrorCodeNoPath(err));
}
