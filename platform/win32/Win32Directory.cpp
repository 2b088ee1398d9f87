// platform/win32/Win32Directory.cpp: directory search (FindFirstFileA) and
// directory operations.
//
// The directory search lists with FindFirstFileA, which also matches a
// pattern against 8.3 short names; platform/DirectorySearch.cpp matches every
// name once more, so both backends return the same names. A directory is synced through a handle of its
// own, opened with FILE_FLAG_BACKUP_SEMANTICS (the only way to open one) and
// write access (which FlushFileBuffers needs): the file system then writes
// the directory's metadata, NTFS by forcing its log, and flushes the device's
// cache. Any thread: each search has its own handle.
#include <cerrno>
#include <cstring>

#include "platform/DirectoryList.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/FileOpsBackend.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

namespace {
std::string JoinPath(const std::string& directory, const char* name) {
  if (directory.empty()) return std::string(".\\") + name;
  const char last = directory.back();
  if (last == '\\' || last == '/') return directory + name;
  return directory + "\\" + name;
}
}  // namespace

long PlatformListDirectory(const std::string& directory, const char* pattern,
                           const std::function<void(const char* name)>& each) {
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA(JoinPath(directory, pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return ERROR_SUCCESS;  // none
    // Running out of handles or memory is not a missing directory.
    if (error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NOT_ENOUGH_MEMORY)
      return static_cast<long>(error);
    return ERROR_PATH_NOT_FOUND;
  }
  do {
    each(found.cFileName);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return ERROR_SUCCESS;
}

long CountMatchingEntries(const std::string& directory, const char* pattern, std::size_t limit,
                          std::size_t& count) {
  count = 0;
  std::vector<std::string> names;
  const long rc = FindFiles(directory, pattern, names);
  if (rc == ERROR_FILE_NOT_FOUND) {
    PlatformSetLastError(ERROR_SUCCESS);
    return ERROR_SUCCESS;
  }
  if (rc != ERROR_SUCCESS) return rc;
  count = names.size() < limit ? names.size() : limit;
  return ERROR_SUCCESS;
}

bool DirectoryCreate(const std::string& path) {
  if (!::CreateDirectoryA(path.c_str(), nullptr)) {
    TakeSystemError();
    return false;
  }
  return true;
}

bool DirectoryRemove(const std::string& path) {
  if (!::RemoveDirectoryA(path.c_str())) {
    TakeSystemError();
    return false;
  }
  return true;
}

bool PlatformDirectorySync(const std::string& path) {
  std::string dir = path.empty() ? std::string(".") : path;
  while (dir.size() > 1 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  if (!dir.empty() && dir.back() == ':') dir += '\\';  // "C:" alone is the current directory there
  const HANDLE handle =
      ::CreateFileA(dir.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    TakeSystemError();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = ::GetFileInformationByHandle(handle, &info) != 0;
  if (!ok) {
    TakeSystemError();
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    PlatformSetLastError(ERROR_PATH_NOT_FOUND);
    ok = false;
  } else if (!::FlushFileBuffers(handle)) {
    TakeSystemError();
    ok = false;
  }
  ::CloseHandle(handle);
  return ok;
}
