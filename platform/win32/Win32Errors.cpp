// platform/win32/Win32Errors.cpp: taking the system's last error into the
// thread's (platform/SystemErrors.cpp), and code conversions. Any thread.
#include "platform/win32/Win32Errors.h"

#include <cerrno>

#include "platform/win32/Win32Api.h"

DWORD TakeSystemError() {
  const DWORD code = ::GetLastError();
  const DWORD taken = code != 0 ? code : static_cast<DWORD>(ERROR_GEN_FAILURE);
  PlatformSetLastError(taken);
  return taken;
}

DWORD TakeSocketError() {
  const int code = ::WSAGetLastError();
  const DWORD taken = code != 0 ? static_cast<DWORD>(code) : static_cast<DWORD>(WSAENETDOWN);
  PlatformSetLastError(taken);
  return taken;
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
