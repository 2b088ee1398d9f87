// platform/posix/PosixDirectory.cpp: directory search and directory operations.
//
// FindFiles reads the directory with readdir and keeps the names that match
// the pattern case-insensitively (WildcardMatch), in the file system's order.
// Any thread: each call has its own directory stream.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/Wildcard.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/posix/PosixDurability.h"
#include "platform/posix/PosixErrors.h"

long FindFiles(const std::string& directory, const char* pattern, std::vector<std::string>& names) {
  names.clear();
  if (pattern == nullptr) {
    PlatformSetLastError(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) {
    const int err = errno;
    // Running out of descriptors or memory is not a missing directory.
    long code = ERROR_PATH_NOT_FOUND;
    if (err == EMFILE || err == ENFILE) code = ERROR_TOO_MANY_OPEN_FILES;
    if (err == ENOMEM) code = ERROR_NOT_ENOUGH_MEMORY;
    PlatformSetLastError(static_cast<DWORD>(code));
    return code;
  }
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (WildcardMatch(pattern, name)) names.emplace_back(name);
  }
  ::closedir(dir);
  const long code = names.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
  PlatformSetLastError(static_cast<DWORD>(code));
  return code;
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

bool DirectorySync(const std::string& path) {
  CDurabilityGuard guard;
  if (FaultInjected(FaultOp::kSync, path)) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return false;
  }
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
