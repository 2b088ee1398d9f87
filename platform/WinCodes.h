// platform/WinCodes.h: the numeric codes the gateway speaks in.
//
// Every platform call that can fail leaves one of these codes as the calling
// thread's last error, whatever the backend, so that results and log texts are
// the same on every platform. The values are those of the Windows API.
//
// On Windows the names are the system's own (winerror.h, and DWORD declared as
// windows.h declares it), so a backend file may include <windows.h> and
// <winsock2.h> before or after this header. Elsewhere they are defined here.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <winerror.h>
typedef unsigned long DWORD;  // the same declaration as windows.h's
#else
using DWORD = std::uint32_t;

// Results of the registry calls and last-error codes of file calls.
constexpr long ERROR_SUCCESS = 0;
constexpr long ERROR_FILE_NOT_FOUND = 2;
constexpr long ERROR_PATH_NOT_FOUND = 3;
constexpr long ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr long ERROR_ACCESS_DENIED = 5;
constexpr long ERROR_INVALID_HANDLE = 6;
constexpr long ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr long ERROR_NOT_SAME_DEVICE = 17;
constexpr long ERROR_NO_MORE_FILES = 18;
constexpr long ERROR_WRITE_FAULT = 29;
constexpr long ERROR_READ_FAULT = 30;
constexpr long ERROR_SHARING_VIOLATION = 32;
constexpr long ERROR_HANDLE_DISK_FULL = 39;
constexpr long ERROR_FILE_EXISTS = 80;
constexpr long ERROR_INVALID_PARAMETER = 87;
constexpr long ERROR_DISK_FULL = 112;
constexpr long ERROR_INVALID_NAME = 123;
constexpr long ERROR_DIR_NOT_EMPTY = 145;
constexpr long ERROR_ALREADY_EXISTS = 183;
constexpr long ERROR_FILENAME_EXCED_RANGE = 206;
constexpr long ERROR_MORE_DATA = 234;
constexpr long ERROR_BADDB = 1009;
constexpr long ERROR_BADKEY = 1010;
constexpr long ERROR_CANTREAD = 1012;
constexpr long ERROR_CANTWRITE = 1013;
constexpr long ERROR_REGISTRY_IO_FAILED = 1016;
constexpr long ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr long ERROR_GEN_FAILURE = 31;

// Winsock error codes.
constexpr long WSAEINTR = 10004;
constexpr long WSAEBADF = 10009;
constexpr long WSAEACCES = 10013;
constexpr long WSAEFAULT = 10014;
constexpr long WSAEINVAL = 10022;
constexpr long WSAEMFILE = 10024;
constexpr long WSAEWOULDBLOCK = 10035;
constexpr long WSAENOTSOCK = 10038;
constexpr long WSAEMSGSIZE = 10040;
constexpr long WSAEADDRINUSE = 10048;
constexpr long WSAEADDRNOTAVAIL = 10049;
constexpr long WSAENETDOWN = 10050;
constexpr long WSAENETUNREACH = 10051;
constexpr long WSAECONNABORTED = 10053;
constexpr long WSAECONNRESET = 10054;
constexpr long WSAENOBUFS = 10055;
constexpr long WSAENOTCONN = 10057;
constexpr long WSAESHUTDOWN = 10058;
constexpr long WSAETIMEDOUT = 10060;
constexpr long WSAECONNREFUSED = 10061;
constexpr long WSAEHOSTUNREACH = 10065;
constexpr long WSAHOST_NOT_FOUND = 11001;
constexpr long WSATRY_AGAIN = 11002;
constexpr long WSANO_RECOVERY = 11003;
constexpr long WSANO_DATA = 11004;
#endif

// The calling thread's last error (GetLastError / WSAGetLastError: one value,
// as on Windows, so LogLastError also reports failed file calls).
DWORD PlatformGetLastError();
void PlatformSetLastError(DWORD code);
// The failure of a call made on a handle of ours that holds none (0, or -1
// for a file), the same on every backend: ERROR_INVALID_HANDLE as the last
// error, and false to return.
inline bool FailNoHandle() {
  PlatformSetLastError(static_cast<DWORD>(ERROR_INVALID_HANDLE));
  return false;
}

// The system's text for an error code, as FormatMessageA gives it (no
// trailing line end). Unknown codes get a generic text with the number.
const char* PlatformErrorText(DWORD code);
