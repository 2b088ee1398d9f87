// platform/win32/Win32VolumeSync.cpp: CVolumeSync as one FlushFileBuffers per
// file, and the hard-link helper; the crash point's kill (the power cut of
// the test build is modelled on POSIX only).
//
// Windows has no call that puts a whole volume's dirty data on disk for an
// ordinary user, and NTFS journals the names; so a sync is each file's flush,
// then the directory's check (DirectorySync). Thread-safe: no state besides
// the directory's name.
#include <cerrno>
#include <cstdio>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

CVolumeSync::CVolumeSync(std::string directory, bool openedFirst)
    : m_Directory(std::move(directory)), m_OpenedFirst(openedFirst) {}

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

void KillProcessNow() {
  ::TerminateProcess(::GetCurrentProcess(), 137);  // as a killed POSIX process reports
  for (;;) ::Sleep(INFINITE);
}

void PowerCutNow() {
  std::fprintf(stderr, "power cut: not modelled on this platform; the process is killed\n");
  KillProcessNow();
}
