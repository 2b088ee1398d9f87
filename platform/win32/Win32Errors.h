// platform/win32/Win32Errors.h: the thread's last error in the Win32 backend,
// and the few conversions between Windows and C library codes it needs.
//
// Every call site captures GetLastError / WSAGetLastError on the line after
// the failed call and stores it here, so that a later system call (a close, a
// heap allocation) cannot change what the gateway reads. Any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/SystemErrors.h"
#include "platform/WinCodes.h"

// Stores GetLastError() (a code 0 becomes ERROR_GEN_FAILURE: the call failed)
// as the thread's last error and returns it.
DWORD TakeSystemError();
// The same for Winsock (WSAGetLastError).
DWORD TakeSocketError();
// Makes `call` (true on success) on a handle of ours whose value 0 means none:
// for 0 the call is not made and the last error is ERROR_INVALID_HANDLE; a
// failed call leaves the system's error (TakeSystemError). True on success.
template <typename Call>
bool CallWithHandle(std::uintptr_t handle, Call call) {
  if (handle == 0) return FailNoHandle();
  if (!call()) {
    TakeSystemError();
    return false;
  }
  return true;
}
// The errno value the C runtime gives for a Windows code (what fopen sets).
int ErrnoOfWindowsCode(DWORD code);
// A path with every '/' turned into '\\': both name the same file, but some
// calls (CreateHardLinkA under wine, the shell's commands) want the latter.
std::string NativePath(const std::string& path);
