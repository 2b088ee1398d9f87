// platform/win32/Win32Errors.cpp: the last error, kept per thread, and code
// conversions. Any thread.
#include "platform/win32/Win32Errors.h"

#include <cerrno>

#include "platform/win32/Win32Api.h"

namespace {
thread_local DWORD t_LastError = 0;
}  // namespace

DWORD PlatformGetLastError() { return t_LastError; }
void PlatformSetLastError(DWORD code) { t_LastError = code; }

DWORD TakeSystemError() {
  const DWORD code = ::GetLastError();
  t_LastError = code != 0 ? code : static_cast<DWORD>(ERROR_GEN_FAILURE);
  return t_LastError;
}

DWORD TakeSocketError() {
  const int code = ::WSAGetLastError();
  t_LastError = code != 0 ? static_cast<DWORD>(code) : static_cast<DWORD>(WSAENETDOWN);
  return t_LastError;
}

DWORD WindowsCodeOfErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EMFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_GEN_FAILURE;  // EIO: "A device attached to the system is not functioning."
  }
}

int ErrnoOfWindowsCode(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
      return ENOMEM;
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    default:
      return EIO;
  }
}

std::string NativePath(const std::string& path) {
  std::string native = path;
  for (char& c : native) {
    if (c == '/') c = '\\';
  }
  return native;
}
