// platform/FileOps.cpp: the front end of the whole-file operations: the fault
// seam's delete, rename and sync rules (of directories and of files synced by
// name) are checked here, once for both
// backends, before the backend's system call (FileOpsBackend.h). An injected
// failure leaves the Windows code of the armed errno as the last error.
// Any thread.
#include <cerrno>
#include <cstddef>
#include <vector>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/FileOpsBackend.h"
#include "platform/SystemErrors.h"

namespace {
bool FailInjected() {
  PlatformSetLastError(WindowsCodeOfErrno(errno));
  return false;
}
}  // namespace

bool FileDelete(const std::string& path) {
  if (FaultInjected(FaultOp::kDelete, path)) return FailInjected();
  return PlatformFileDelete(path);
}

bool FileMove(const std::string& from, const std::string& to) {
  if (FaultInjected(FaultOp::kRename, to)) return FailInjected();
  return PlatformFileMove(from, to);
}

bool FileMoveReplace(const std::string& from, const std::string& to) {
  if (FaultInjected(FaultOp::kRename, to)) return FailInjected();
  return PlatformFileMoveReplace(from, to);
}

bool FileLink(const std::string& existing, const std::string& newName) {
  if (FaultInjected(FaultOp::kRename, newName)) return FailInjected();
  return PlatformFileLink(existing, newName);
}

bool DirectorySync(const std::string& path) {
  if (FaultInjected(FaultOp::kSync, path)) return FailInjected();
  return PlatformDirectorySync(path);
}

bool FilesSync(const std::vector<std::string>& paths) {
  // A file whose sync is made to fail is left out, its unsynced data lost;
  // the others are still synced. The list is copied only when that happens.
  std::vector<std::string> rest;
  DWORD injected = 0;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (FaultInjected(FaultOp::kSync, paths[i])) {
      if (injected == 0) {
        injected = WindowsCodeOfErrno(errno);
        rest.assign(paths.begin(), paths.begin() + static_cast<std::ptrdiff_t>(i));
      }
      PlatformSyncLost(paths[i]);
    } else if (injected != 0) {
      rest.push_back(paths[i]);
    }
  }
  if (injected == 0) return PlatformFilesSync(paths);
  if (!rest.empty()) PlatformFilesSync(rest);
  PlatformSetLastError(injected);
  return false;
}
