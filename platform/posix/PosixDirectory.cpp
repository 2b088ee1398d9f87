// platform/posix/PosixDirectory.cpp: directory search and directory operations.
//
// The directory search lists every name with readdir, in the file system's
// order (platform/DirectorySearch.cpp matches them). Any thread: each call
// has its own directory stream.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/DirectoryList.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/FileOpsBackend.h"
#include "platform/posix/PosixDurability.h"
#include "platform/posix/PosixErrors.h"

long PlatformListDirectory(const std::string& directory, const char* /*pattern*/,
                           const std::function<void(const char* name)>& each) {
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) {
    const int err = errno;
    // Running out of descriptors or memory is not a missing directory.
    if (err == EMFILE || err == ENFILE) return ERROR_TOO_MANY_OPEN_FILES;
    if (err == ENOMEM) return ERROR_NOT_ENOUGH_MEMORY;
    return ERROR_PATH_NOT_FOUND;
  }
  while (const struct dirent* entry = ::readdir(dir)) each(entry->d_name);
  ::closedir(dir);
  return ERROR_SUCCESS;
}

namespace {
bool MakeDirectory(const std::string& path, mode_t mode) {
  CDurabilityGuard guard;
  if (::mkdir(path.c_str(), mode) != 0) {
    const int err = errno;
    if (err == EEXIST) {
      PlatformSetLastError(ERROR_ALREADY_EXISTS);  // CreateDirectoryA's code
      return false;
    }
    SetFileError(err, path);
    return false;
  }
  return true;
}
}  // namespace

bool DirectoryCreate(const std::string& path) { return MakeDirectory(path, 0777); }

bool DirectoryCreatePrivate(const std::string& path) {
  if (!MakeDirectory(path, 0700)) return false;
  // The umask only takes bits away; 0700 is what we ask for and get.
  return true;
}

bool DirectoryRemove(const std::string& path) {
  CDurabilityGuard guard;
  if (::rmdir(path.c_str()) != 0) {
    const int err = errno;
    if (err == ENOTEMPTY || err == EEXIST) {
      PlatformSetLastError(ERROR_DIR_NOT_EMPTY);
      return false;
    }
    SetFileError(err, path);
    return false;
  }
  return true;
}

bool PlatformDirectorySync(const std::string& path) {
  CDurabilityGuard guard;
  int fd;
  do {
    fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetFileError(errno, path);
    return false;
  }
  const CDurabilityCapture capture = CDurabilityCapture::OfPath(path);
  const bool ok = ::fsync(fd) == 0;
  const int err = errno;
  ::close(fd);
  if (!ok) PlatformSetLastError(WindowsCodeOfErrno(err));
  if (ok) capture.Commit();
  return ok;
}
