// platform/SystemErrors.h: the part of error handling that both backends
// share: the C library's errno values as the Windows codes the gateway works
// with. (The thread's last error itself is PlatformGetLastError in WinCodes.h,
// kept in SystemErrors.cpp for both.)
//
// Pure function; any thread.
#pragma once

#include "platform/WinCodes.h"

// The Windows code for an errno value from a call that names no path (on
// POSIX every file call; on Windows the C runtime's and the fault seam's).
DWORD WindowsCodeOfErrno(int err);
