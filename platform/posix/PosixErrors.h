// platform/posix/PosixErrors.h: errno to Windows and Winsock codes, once.
//
// Every POSIX call site captures errno on the line after the call and passes
// it here, so the codes the gateway sees are those the Windows call would give.
// Pure functions except FileErrorCode's look at the parent directory; any thread.
#pragma once

#include <string>

#include "platform/SystemErrors.h"
#include "platform/WinCodes.h"

// The Windows code of a failed file or directory call on `path`. ENOENT is
// ERROR_PATH_NOT_FOUND when the directory that should hold `path` is missing,
// as Windows tells the two apart.
DWORD FileErrorCode(int err, const std::string& path);
// The Winsock code of a failed socket call.
DWORD SocketErrorCode(int err);

// Sets the thread's last error from errno (file calls) and returns it.
DWORD SetFileError(int err, const std::string& path);
