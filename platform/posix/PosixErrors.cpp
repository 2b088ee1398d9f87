// platform/posix/PosixErrors.cpp: errno to Windows and Winsock codes and the
// thread's last error.
//
// The last error is thread_local, as GetLastError is per thread. Any thread.
#include "platform/posix/PosixErrors.h"

#include <sys/stat.h>

#include <cerrno>

namespace {
thread_local DWORD t_LastError = 0;

// The directory part of `path` ("." when it has none).
std::string ParentOf(const std::string& path) {
  std::string::size_type end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;  // "dir/" names dir itself
  const std::string::size_type slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}
}  // namespace

DWORD PlatformGetLastError() { return t_LastError; }
void PlatformSetLastError(DWORD code) { t_LastError = code; }

DWORD FileErrorCodeNoPath(int err) {
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
    case EDQUOT:
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
      return ERROR_GEN_FAILURE;
  }
}

DWORD FileErrorCode(int err, const std::string& path) {
  if (err == ENOENT) {
    struct stat st;
    const std::string parent = ParentOf(path);
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
  }
  return FileErrorCodeNoPath(err);
}

DWORD SetFileError(int err, const std::string& path) {
  const DWORD code = FileErrorCode(err, path);
  t_LastError = code;
  return code;
}

DWORD SocketErrorCode(int err) {
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return WSAEINTR;
    case EBADF:
      return WSAEBADF;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EWOULDBLOCK:
      return WSAEWOULDBLOCK;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
      return WSAEWOULDBLOCK;
#endif
    case EINPROGRESS:
    case EALREADY:
      return WSAEWOULDBLOCK;
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
      return WSAECONNRESET;
    case EPIPE:
      return WSAECONNRESET;  // the peer went away; Winsock reports the reset
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case ENOTCONN:
      return WSAENOTCONN;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case EHOSTUNREACH:
    case EHOSTDOWN:
      return WSAEHOSTUNREACH;
    default:
      return WSAENETDOWN;
  }
}
