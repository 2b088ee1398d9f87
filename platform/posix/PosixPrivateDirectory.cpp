// platform/posix/PosixPrivateDirectory.cpp: whether a directory belongs to us
// alone. Directories in a shared TMP could have been made by another user, who
// could then plant links or read what we store there. Any thread.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/File.h"

bool DirectoryIsPrivate(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    PlatformSetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    PlatformSetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}
