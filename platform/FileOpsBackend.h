// platform/FileOpsBackend.h: the whole-file operations as each backend makes
// them, under the front end of platform/FileOps.cpp, which checks the fault
// seam once for both and then calls these. Not for callers above platform/:
// they use FileDelete, FileMove ... (File.h). Same contracts as those.
//
// Any thread.
#pragma once

#include <string>

bool PlatformFileDelete(const std::string& path);
bool PlatformFileMove(const std::string& from, const std::string& to);
bool PlatformFileMoveReplace(const std::string& from, const std::string& to);
bool PlatformFileLink(const std::string& existing, const std::string& newName);
bool PlatformDirectorySync(const std::string& path);
