// platform/FileOpsBackend.h: the whole-file operations as each backend makes
// them, under the front end of platform/FileOps.cpp, which checks the fault
// seam once for both and then calls these. Not for callers above platform/:
// they use FileDelete, FileMove ... (File.h). Same contracts as those.
//
// Any thread.
#pragma once

#include <string>
#include <vector>

bool PlatformFileDelete(const std::string& path);
bool PlatformFileMove(const std::string& from, const std::string& to);
bool PlatformFileMoveReplace(const std::string& from, const std::string& to);
bool PlatformFileLink(const std::string& existing, const std::string& newName);
bool PlatformDirectorySync(const std::string& path);
bool PlatformFilesSync(const std::vector<std::string>& paths);
// What a failed sync of `path` costs: the data not yet on disk (the power cut
// of the test build forgets it; nothing on Windows).
void PlatformSyncLost(const std::string& path);
