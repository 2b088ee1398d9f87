// platform/win32/Win32VolumeSync.cpp: CVolumeSync as one FlushFileBuffers per
// file, and the hard-link helpers.
//
// Windows has no call that puts a whole volume's dirty data on disk for an
// ordinary user, and NTFS journals the names; so a sync is each file's flush,
// then the directory's check (DirectorySync). Thread-safe: no state besides
// the directory's name.
#include <cerrno>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

CVolumeSync::CVolumeSync(std::string directory) : m_Directory(std::move(directory)) {}

CVolumeSync::~CVolumeSync() = default;

bool CVolumeSync::Sync(const std::vector<std::string>& files) {
  if (FaultInjected(FaultOp::kSync, m_Directory)) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return false;
  }
  if (!files.empty() && !FilesSync(files)) return false;
  // The names are the file system's to keep; the directory must still be there.
  const DWORD attributes = ::GetFileAttributesA(m_Directory.empty() ? "." : m_Directory.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    if (attributes == INVALID_FILE_ATTRIBUTES)
      TakeSystemError();
    else
      PlatformSetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

bool FileLink(const std::string& existing, const std::string& newName) {
  if (FaultInjected(FaultOp::kRename, newName)) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return false;
  }
  if (::CreateHardLinkA(newName.c_str(), existing.c_str(), nullptr)) return true;
  const DWORD error = TakeSystemError();
  // Some file systems say "file exists" where NTFS says "already exists".
  if (error == ERROR_FILE_EXISTS) PlatformSetLastError(ERROR_ALREADY_EXISTS);
  return false;
}

namespace {
// The volume and file index of `path` (a link itself, not its target).
bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE handle = ::CreateFileA(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool ok = ::GetFileInformationByHandle(handle, &info) != 0;
  ::CloseHandle(handle);
  return ok;
}
}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return FileIdentity(a, x) && FileIdentity(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}
