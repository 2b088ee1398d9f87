// platform/win32/Win32FileOps.cpp: whole-file operations (exists, delete,
// move, copy, size, age, sync by name).
//
// Moves are MoveFileExA: without flags it never replaces (ERROR_ALREADY_EXISTS
// when the target is taken), with MOVEFILE_REPLACE_EXISTING it does; neither
// copies across volumes (ERROR_NOT_SAME_DEVICE). Any thread.
#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

namespace {
bool Fail() {
  TakeSystemError();
  return false;
}

bool FailFault() {
  PlatformSetLastError(WindowsCodeOfErrno(errno));
  return false;
}

std::int64_t FileTimeValue(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime);
}

constexpr std::int64_t kFileTimeTicksPerSecond = 10000000;  // 100 ns units
}  // namespace

bool FileExists(const std::string& path) {
  if (::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return Fail();
  return true;
}

bool FileDelete(const std::string& path) {
  if (FaultInjected(FaultOp::kDelete, path)) return FailFault();
  if (!::DeleteFileA(path.c_str())) return Fail();
  return true;
}

bool FileIsPlain(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Fail();
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
    PlatformSetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

bool FileMove(const std::string& from, const std::string& to) {
  if (FaultInjected(FaultOp::kRename, to)) return FailFault();
  if (!::MoveFileExA(from.c_str(), to.c_str(), 0)) return Fail();
  return true;
}

bool FileMoveReplace(const std::string& from, const std::string& to) {
  if (FaultInjected(FaultOp::kRename, to)) return FailFault();
  if (!::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return Fail();
  return true;
}

bool FileCopy(const std::string& from, const std::string& to, bool failIfExists) {
  if (!::CopyFileA(from.c_str(), to.c_str(), failIfExists ? TRUE : FALSE)) return Fail();
  return true;
}

std::int64_t FileSizeByName(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    TakeSystemError();
    return -1;
  }
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                   data.nFileSizeLow);
}

std::int64_t FileAgeSeconds(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    TakeSystemError();
    return -1;
  }
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  const std::int64_t age =
      (FileTimeValue(now) - FileTimeValue(data.ftLastWriteTime)) / kFileTimeTicksPerSecond;
  return age > 0 ? age : 0;
}

bool FilesSync(const std::vector<std::string>& paths) {
  // FlushFileBuffers waits for each file in turn; it needs write access.
  DWORD firstError = 0;
  for (const std::string& path : paths) {
    const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = TakeSystemError();
      if (firstError == 0) firstError = error;
      continue;
    }
    if (FaultInjected(FaultOp::kSync, path)) {
      if (firstError == 0) firstError = WindowsCodeOfErrno(errno);
    } else if (!::FlushFileBuffers(handle)) {
      const DWORD error = TakeSystemError();
      if (firstError == 0) firstError = error;
    }
    ::CloseHandle(handle);
  }
  if (firstError != 0) {
    PlatformSetLastError(firstError);
    return false;
  }
  return true;
}
