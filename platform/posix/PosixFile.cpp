// platform/posix/PosixFile.cpp: CFile, the raw file handle, over open + flock.
//
// Windows share modes become flock locks taken right after open: "shared with
// nobody" is LOCK_EX, a shared open LOCK_SH, both non-blocking, so a held lock
// is the sharing violation. flock locks belong to the open file description,
// so two opens in one process exclude each other too, as on Windows. A file is
// truncated only after its lock is ours, never under another holder's feet.
// A CFile is used by one thread at a time.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/posix/PosixDurability.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixRetry.h"

const char kPathSeparator = '/';
const char kPathSeparatorText[] = "/";

namespace {
constexpr int kMaxCreateRaces = 8;  // open/create races with other processes before giving up
}  // namespace

CFile::CFile(CFile&& other) noexcept : m_Fd(other.m_Fd), m_Path(std::move(other.m_Path)) { other.m_Fd = -1; }

CFile& CFile::operator=(CFile&& other) noexcept {
  if (this != &other) {
    if (m_Fd >= 0) ::close(m_Fd);
    m_Fd = other.m_Fd;
    m_Path = std::move(other.m_Path);
    other.m_Fd = -1;
  }
  return *this;
}

CFile::~CFile() {
  if (m_Fd >= 0) ::close(m_Fd);
}

CFile CFile::OpenScratch(const std::string& path) {
  if (FaultInjected(FaultOp::kCreate, path)) {
    SetFileError(errno, path);
    return CFile();
  }
  const int fd = ::memfd_create("cvsmtpgw-scratch", MFD_CLOEXEC);
  if (fd < 0) {
    SetFileError(errno, path);
    return CFile();
  }
  CFile file(fd);
  file.m_Path = path;
  return file;
}

CFile CFile::Open(const std::string& path, FileAccess access, FileShare share, FileCreation creation) {
  int flags = O_RDONLY;
  if (access == FileAccess::kWrite) flags = O_WRONLY;
  if (access == FileAccess::kReadWrite) flags = O_RDWR;
  const bool writable = access == FileAccess::kWrite || access == FileAccess::kReadWrite;
  constexpr mode_t kMode = 0666;  // "normal attributes": the umask decides

  // Find out whether the file existed (CREATE_ALWAYS and OPEN_ALWAYS report it
  // as ERROR_ALREADY_EXISTS) and never create or truncate before the lock.
  int fd = -1;
  bool existed = false;
  CDurabilityGuard guard;
  if (creation != FileCreation::kOpenExisting && creation != FileCreation::kTruncateExisting &&
      FaultInjected(FaultOp::kCreate, path)) {
    SetFileError(errno, path);
    return CFile();
  }
  for (int attempt = 0; fd < 0 && attempt < kMaxCreateRaces; ++attempt) {
    if (creation == FileCreation::kCreateNew) {
      fd = OpenRetry(path.c_str(), flags | O_CREAT | O_EXCL, kMode);
      break;
    }
    fd = OpenRetry(path.c_str(), flags, kMode);
    if (fd >= 0) {
      existed = true;
      break;
    }
    if (errno != ENOENT || creation == FileCreation::kOpenExisting ||
        creation == FileCreation::kTruncateExisting)
      break;
    fd = OpenRetry(path.c_str(), flags | O_CREAT | O_EXCL, kMode);
    if (fd < 0 && errno != EEXIST) break;  // EEXIST: someone created it meanwhile; open that
  }
  if (fd < 0) {
    const int err = errno;
    // Windows names a name clash of CREATE_NEW "file exists".
    SetFileError(err, path);
    return CFile();
  }
  CFile file(fd);  // takes ownership of fd
  file.m_Path = path;

  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    PlatformSetLastError(ERROR_ACCESS_DENIED);  // CreateFileA on a directory
    return CFile();
  }
  const int lockOp = (share == FileShare::kNone ? LOCK_EX : LOCK_SH) | LOCK_NB;
  if (FlockRetry(fd, lockOp) != 0) {
    const int err = errno;
    PlatformSetLastError(err == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : FileErrorCodeNoPath(err));
    return CFile();
  }
  const bool truncate =
      existed && (creation == FileCreation::kCreateAlways || creation == FileCreation::kTruncateExisting);
  if (truncate) {
    if (!writable) {
      PlatformSetLastError(ERROR_ACCESS_DENIED);  // truncation needs write access
      return CFile();
    }
    if (::ftruncate(fd, 0) != 0) {
      SetFileError(errno, path);
      return CFile();
    }
    DurabilityTruncated(fd);
  }
  const bool reportsExisting =
      creation == FileCreation::kCreateAlways || creation == FileCreation::kOpenAlways;
  PlatformSetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return file;
}

std::int64_t CFile::Seek(std::int64_t offset, FileSeek from) {
  if (m_Fd < 0) {
    PlatformSetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  const int whence = from == FileSeek::kBegin ? SEEK_SET : from == FileSeek::kCurrent ? SEEK_CUR : SEEK_END;
  const off_t at = ::lseek(m_Fd, static_cast<off_t>(offset), whence);
  if (at < 0) {
    PlatformSetLastError(FileErrorCodeNoPath(errno));
    return -1;
  }
  return static_cast<std::int64_t>(at);
}

bool CFile::SetEndOfFile() {
  if (m_Fd < 0) {
    PlatformSetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  CDurabilityGuard guard;
  const off_t at = ::lseek(m_Fd, 0, SEEK_CUR);
  if (at < 0 || ::ftruncate(m_Fd, at) != 0) {
    PlatformSetLastError(FileErrorCodeNoPath(errno));
    return false;
  }
  if (at == 0) DurabilityTruncated(static_cast<int>(m_Fd));
  return true;
}

std::int64_t CFile::Size() const {
  struct stat st;
  if (m_Fd < 0 || ::fstat(m_Fd, &st) != 0) {
    PlatformSetLastError(m_Fd < 0 ? ERROR_INVALID_HANDLE : FileErrorCodeNoPath(errno));
    return -1;
  }
  return static_cast<std::int64_t>(st.st_size);
}

bool CFile::Close() {
  if (m_Fd < 0) {
    PlatformSetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const int fd = m_Fd;
  m_Fd = -1;
  // close is not retried on EINTR: on Linux the descriptor is gone either way.
  if (::close(fd) != 0 && errno != EINTR) {
    PlatformSetLastError(FileErrorCodeNoPath(errno));
    return false;
  }
  return true;
}
