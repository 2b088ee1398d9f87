// platform/DirectoryList.h: what each backend gives the shared directory
// search (platform/DirectorySearch.cpp): the names of one directory, read with
// the system's own calls. Not for callers above platform/: they use FindFiles.
//
// Any thread: each call has its own directory handle.
#pragma once

#include <functional>
#include <string>

// Calls `each` with every name in `directory` ("" is the current directory)
// that the system's search offers for `pattern` (it may offer more: the front
// end matches every name again), "." and ".." included or not. ERROR_SUCCESS,
// also when there is none; or ERROR_PATH_NOT_FOUND, ERROR_TOO_MANY_OPEN_FILES
// or ERROR_NOT_ENOUGH_MEMORY when the directory cannot be read.
long PlatformListDirectory(const std::string& directory, const char* pattern,
                           const std::function<void(const char* name)>& each);
