// platform/DirectorySearch.cpp: FindFiles, the same on every backend: the
// names of a directory (PlatformListDirectory) that match the pattern by
// WildcardMatch, in the order the system gives them. Matching every name here
// makes both backends agree: FindFirstFileA also matches 8.3 short names
// ("*.tmp" finds LONGNAME.TMPX through LONGNA~1.TMP), readdir matches none.
// Any thread.
#include <cstring>

#include "base/Wildcard.h"
#include "platform/DirectoryList.h"
#include "platform/File.h"

long FindFiles(const std::string& directory, const char* pattern, std::vector<std::string>& names) {
  names.clear();
  if (pattern == nullptr) {
    PlatformSetLastError(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  const long listed = PlatformListDirectory(directory, pattern, [&](const char* name) {
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return;
    if (WildcardMatch(pattern, name)) names.emplace_back(name);
  });
  if (listed != ERROR_SUCCESS) {
    names.clear();
    PlatformSetLastError(static_cast<DWORD>(listed));
    return listed;
  }
  const long code = names.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
  PlatformSetLastError(static_cast<DWORD>(code));
  return code;
}
