// platform/posix/PosixErrors.cpp: errno to Windows codes where a path tells
// more (ENOENT), and to Winsock codes. The plain table and the thread's last
// error are the front end's (platform/SystemErrors.cpp). Any thread.
#include "platform/posix/PosixErrors.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/SystemErrors.h"
#include "platform/posix/PosixReplaceFile.h"

DWORD FileErrorCode(int err, const std::string& path) {
  if (err == ENOENT) {
    struct stat st;
    const std::string parent = PosixDirectoryOf(path);
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
  }
  return WindowsCodeOfErrno(err);
}

DWORD SetFileError(int err, const std::string& path) {
  const DWORD code = FileErrorCode(err, path);
  PlatformSetLastError(code);
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
