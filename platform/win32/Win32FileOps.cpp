// platform/win32/Win32FileOps.cpp: whole-file operations (exists, delete,
// move, copy, size, age, sync by name).
//
// Moves are MoveFileExA: without MOVEFILE_REPLACE_EXISTING it never replaces
// (ERROR_ALREADY_EXISTS when the target is taken), with it it does; neither
// copies across volumes (ERROR_NOT_SAME_DEVICE). Both ask for
// MOVEFILE_WRITE_THROUGH: the move is on disk before the call returns where
// the system makes it in steps of its own; the spool's commits sync the
// directory besides (DirectorySync). Any thread.
#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/File.h"
#include "platform/FileOpsBackend.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

namespace {
bool Fail() {
  TakeSystemError();
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

bool PlatformFileDelete(const std::string& path) {
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

bool PlatformFileMove(const std::string& from, const std::string& to) {
  if (!::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return Fail();
  return true;
}

bool PlatformFileMoveReplace(const std::string& from, const std::string& to) {
  if (!::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return Fail();
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

void PlatformSyncLost(const std::string& /*path*/) {}  // the power cut is modelled on POSIX only

bool PlatformFilesSync(const std::vector<std::string>& paths) {
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
    if (!::FlushFileBuffers(handle)) {
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
