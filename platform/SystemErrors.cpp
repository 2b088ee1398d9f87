// platform/SystemErrors.cpp: the thread's last error and the one errno table
// of both backends.
//
// The last error is thread_local, as GetLastError is per thread. Any thread.
#include "platform/SystemErrors.h"

#include <cerrno>

namespace {
thread_local DWORD t_LastError = 0;
}  // namespace

DWORD PlatformGetLastError() { return t_LastError; }
void PlatformSetLastError(DWORD code) { t_LastError = code; }

DWORD WindowsCodeOfErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOSPC:
#ifdef EDQUOT  // not in the Windows C runtime
    case EDQUOT:
#endif
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    case ELOOP:
      return ERROR_INVALID_NAME;
    case EWOULDBLOCK:
      return ERROR_SHARING_VIOLATION;
    default:
      return ERROR_GEN_FAILURE;  // EIO: "A device attached to the system is not functioning."
  }
}
