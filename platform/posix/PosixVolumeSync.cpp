// platform/posix/PosixVolumeSync.cpp: CVolumeSync over syncfs, the hard-link
// helper, and what the program directory's path and file system tell.
//
// syncfs reports a write error to every descriptor of the file system that
// was opened before the error (per-descriptor error sequence), so the
// directory is opened once, at construction, before anything it is to cover
// is written. Only from Linux 5.17 on does syncfs also report the errors of
// the file system's own commit and cache flush; before, a clean syncfs may
// hide lost data, so there each file and the directory are synced instead.
// Thread-safe: syncfs and fstatat need no lock.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/FileOpsBackend.h"
#include "platform/posix/PosixDurability.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixRetry.h"

namespace {

// Whether syncfs reports every write error on the running kernel; the test
// build may make a test pretend it does not (CVSMTPGW_SYNC_FILE_BY_FILE=1).
bool SyncfsTrusted() {
  static const bool trusted = [] {
    struct utsname name;
    return ::uname(&name) == 0 && SyncfsReportsAllErrors(name.release) &&
           !TestFlag("CVSMTPGW_SYNC_FILE_BY_FILE");
  }();
  return trusted;
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

CVolumeSync::CVolumeSync(std::string directory, bool openedFirst)
    : m_Directory(std::move(directory)), m_OpenedFirst(openedFirst) {
  m_Fd = OpenRetry(m_Directory.empty() ? "." : m_Directory.c_str(), O_RDONLY | O_DIRECTORY, 0);
}

CVolumeSync::~CVolumeSync() {
  if (m_Fd >= 0) ::close(m_Fd);
}

bool CVolumeSync::Sync(const std::vector<std::string>& files) {
  CDurabilityGuard guard;
  if (FaultInjected(FaultOp::kSync, m_Directory)) {
    const int err = errno;
    // A write-back error: what was waiting for the disk there is lost.
    CDurabilityCapture::OfVolume(m_Directory).Lose();
    PlatformSetLastError(WindowsCodeOfErrno(err));
    return false;
  }
  // One file or none: its own sync and the directory's cost less than the
  // whole file system's (which also writes back what the journal already
  // holds); more files: one syncfs instead of a cache flush per file. A
  // directory that is no longer the one held open is synced by its path.
  const int fd = static_cast<int>(m_Fd);
  if (files.size() <= 1 || fd < 0 || !m_OpenedFirst || !SyncfsTrusted() || !StillNamed(fd, m_Directory)) {
    const bool filesSynced = files.empty() || FilesSync(files);
    const DWORD error = PlatformGetLastError();
    if (!DirectorySync(m_Directory)) return false;
    if (!filesSynced) PlatformSetLastError(error);
    return filesSynced;
  }
  const CDurabilityCapture capture = CDurabilityCapture::OfVolume(m_Directory);
  if (::syncfs(fd) != 0) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    capture.Lose();
    return false;
  }
  capture.Commit();
  return true;
}

bool PlatformFileLink(const std::string& existing, const std::string& newName) {
  CDurabilityGuard guard;
  if (::link(existing.c_str(), newName.c_str()) == 0) return true;
  const int err = errno;
  if (err == EEXIST) {
    PlatformSetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  SetFileError(err, err == ENOENT ? existing : newName);
  return false;
}

std::string ProgramDirectoryProblem(const std::string& directory) {
  if (directory.empty() || directory[0] != '/') return "it is not an absolute path (one that begins with /)";
  return {};
}

std::string FileSystemName(const std::string& path) {
  struct statfs info;
  if (::statfs(path.c_str(), &info) != 0) return {};
  // The file systems a spool may meet; the rest are named by number.
  static constexpr struct {
    unsigned long magic;
    const char* name;
  } kNames[] = {{0xEF53, "ext4"},     {0x58465342, "xfs"},  {0x9123683E, "btrfs"},   {0x01021994, "tmpfs"},
                {0x4d44, "vfat"},     {0x2011BAB0, "exfat"}, {0x6969, "nfs"},        {0xFF534D42, "cifs"},
                {0x794c7630, "overlay"}, {0x5346544e, "ntfs"}, {0x65735546, "fuse"}};
  const auto magic = static_cast<unsigned long>(info.f_type);
  for (const auto& known : kNames) {
    if (known.magic == magic) return known.name;
  }
  char number[32];
  std::snprintf(number, sizeof number, "0x%lx", magic);
  return number;
}
