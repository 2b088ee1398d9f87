// platform/posix/PosixFile.cpp: CFile, the raw file handle, over open + flock.
//
// Windows share modes become flock locks taken right after open: "shared with
// nobody" is LOCK_EX, a shared open LOCK_SH, both non-blocking, so a held lock
// is the sharing violation. flock locks belong to the open file description,
// so two opens in one process exclude each other too, as on Windows. A file is
// truncated only after its lock is ours, never under another holder's feet.
// Deletion and renaming through a handle need no share mode here (POSIX lets
// them happen under any other opener): they act on the name opened, while it
// still names the open file. A CFile is used by one thread at a time.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/FileOpsBackend.h"
#include "platform/File.h"
#include "platform/posix/PosixDurability.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixRetry.h"

const char kPathSeparator = '/';
const char kPathSeparatorText[] = "/";
const bool kGroupSyncOpensFiles = false;

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

CFile CFile::OpenScratchOnSystem(const std::string& path) {
  const int fd = ::memfd_create("cvsmtpgw-scratch", MFD_CLOEXEC);
  if (fd < 0) {
    SetFileError(errno, path);
    return CFile();
  }
  CFile file(fd);
  file.m_Path = path;
  return file;
}

CFile CFile::OpenOnSystem(const std::string& path, FileAccess access, FileShare share, FileCreation creation) {
  int flags = O_RDONLY;
  if (access == FileAccess::kWrite) flags = O_WRONLY;
  if (access == FileAccess::kReadWrite || access == FileAccess::kReadWriteAndDelete) flags = O_RDWR;
  const bool writable = flags != O_RDONLY;
  constexpr mode_t kMode = 0666;  // "normal attributes": the umask decides

  // Find out whether the file existed (CREATE_ALWAYS and OPEN_ALWAYS report it
  // as ERROR_ALREADY_EXISTS) and never create or truncate before the lock.
  int fd = -1;
  bool existed = false;
  CDurabilityGuard guard;
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
    PlatformSetLastError(err == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : WindowsCodeOfErrno(err));
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

bool CFile::SetEndOfFile() {
  if (m_Fd < 0) return FailNoHandle();
  CDurabilityGuard guard;
  const off_t at = ::lseek(m_Fd, 0, SEEK_CUR);
  if (at < 0 || ::ftruncate(m_Fd, at) != 0) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return false;
  }
  if (at == 0) DurabilityTruncated(static_cast<int>(m_Fd));
  return true;
}

namespace {
// True when `path` still names the open `file` (else the last error is "not
// found": the name is another file's now, or nobody's).
bool NamedAsOpened(const CFile& file, const std::string& path) {
  CFileIdentity mine, named;
  if (!file.Identity(mine) || !FileIdentityByName(path, named)) return false;
  if (mine == named) return true;
  PlatformSetLastError(ERROR_FILE_NOT_FOUND);
  return false;
}
}  // namespace

bool CFile::DeleteThroughOnSystem() { return NamedAsOpened(*this, m_Path) && PlatformFileDelete(m_Path); }

bool CFile::RenameThroughOnSystem(const std::string& newPath) {
  return NamedAsOpened(*this, m_Path) && PlatformFileMove(m_Path, newPath);
}
