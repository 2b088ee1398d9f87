// platform/posix/PosixVolumeSync.cpp: CVolumeSync over syncfs, and the
// hard-link helpers.
//
// syncfs reports a write error to every descriptor of the file system that
// was opened before the error (per-descriptor error sequence, Linux 5.8 and
// later), so the directory is opened once, at construction, before anything
// it is to cover is written. Thread-safe: syncfs and fstatat need no lock.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixRetry.h"

namespace {

// Whether syncfs reports write errors on this kernel (5.8 and later).
bool SyncfsReportsErrors() {
  static const bool reports = [] {
    struct utsname name;
    int major = 0, minor = 0;
    return ::uname(&name) == 0 && std::sscanf(name.release, "%d.%d", &major, &minor) == 2 &&
           (major > 5 || (major == 5 && minor >= 8));
  }();
  return reports;
}

// Whether the descriptor held open still names the directory at `path`. A
// spool directory that was removed and made again, or that is now another
// mount, is not the one opened: syncfs through the old descriptor would sync
// the wrong file system (or none that matters) and report success.
bool StillNamed(int fd, const std::string& path) {
  struct stat held, named;
  return ::fstat(fd, &held) == 0 && ::stat(path.empty() ? "." : path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

CVolumeSync::CVolumeSync(std::string directory) : m_Directory(std::move(directory)) {
  m_Fd = OpenRetry(m_Directory.empty() ? "." : m_Directory.c_str(), O_RDONLY | O_DIRECTORY, 0);
}

CVolumeSync::~CVolumeSync() {
  if (m_Fd >= 0) ::close(m_Fd);
}

bool CVolumeSync::Sync(const std::vector<std::string>& files) {
  if (FaultInjected(FaultOp::kSync, m_Directory)) {
    PlatformSetLastError(FileErrorCodeNoPath(errno));
    return false;
  }
  // One file or none: its own sync and the directory's cost less than the
  // whole file system's (which also writes back what the journal already
  // holds); more files: one syncfs instead of a cache flush per file. A
  // directory that is no longer the one held open is synced by its path.
  if (files.size() <= 1 || m_Fd < 0 || !SyncfsReportsErrors() || !StillNamed(m_Fd, m_Directory)) {
    const bool filesSynced = files.empty() || FilesSync(files);
    const DWORD error = PlatformGetLastError();
    if (!DirectorySync(m_Directory)) return false;
    if (!filesSynced) PlatformSetLastError(error);
    return filesSynced;
  }
  if (::syncfs(m_Fd) != 0) {
    PlatformSetLastError(FileErrorCodeNoPath(errno));
    return false;
  }
  return true;
}

bool FileLink(const std::string& existing, const std::string& newName) {
  if (FaultInjected(FaultOp::kRename, newName)) {
    SetFileError(errno, newName);
    return false;
  }
  if (::link(existing.c_str(), newName.c_str()) == 0) return true;
  const int err = errno;
  if (err == EEXIST) {
    PlatformSetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  SetFileError(err, err == ENOENT ? existing : newName);
  return false;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat x, y;
  return ::lstat(a.c_str(), &x) == 0 && ::lstat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
         x.st_ino == y.st_ino;
}
