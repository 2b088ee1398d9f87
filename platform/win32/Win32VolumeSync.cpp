// platform/win32/Win32VolumeSync.cpp: CVolumeSync as one FlushFileBuffers per
// file and one for the directory, the hard-link helper, the program
// directory's volume checks; the crash point's kill (the power cut of the
// test build is modelled on POSIX only).
//
// Windows has no call that puts a whole volume's dirty data on disk for an
// ordinary user; so a sync is each file's flush, then the directory's
// (DirectorySync). Thread-safe: no state besides the directory's name.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/FileOpsBackend.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

CVolumeSync::CVolumeSync(std::string directory, bool openedFirst)
    : m_Directory(std::move(directory)), m_OpenedFirst(openedFirst) {}

CVolumeSync::~CVolumeSync() = default;

bool CVolumeSync::Sync(const std::vector<std::string>& files) {
  // The fault seam sees the directory's sync in DirectorySync.
  if (!files.empty() && !FilesSync(files)) return false;
  return DirectorySync(m_Directory);
}

bool PlatformFileLink(const std::string& existing, const std::string& newName) {
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

namespace {
// The root of the volume that holds `path`: "C:\\" or "\\\\server\\share\\"; "" when
// the path names neither.
std::string VolumeRoot(const std::string& path) {
  const std::string native = NativePath(path);
  if (native.size() >= 3 && std::isalpha(static_cast<unsigned char>(native[0])) && native[1] == ':' &&
      native[2] == '\\')
    return native.substr(0, 3);
  if (native.rfind("\\\\", 0) != 0 || native.rfind("\\\\?\\", 0) == 0 || native.rfind("\\\\.\\", 0) == 0)
    return {};
  const std::size_t server = native.find('\\', 2);
  if (server == std::string::npos || server == 2 || server + 1 == native.size()) return {};
  const std::size_t share = native.find('\\', server + 1);
  if (share == server + 1) return {};
  return share == std::string::npos ? native + "\\" : native.substr(0, share + 1);
}
}  // namespace

std::string ProgramDirectoryProblem(const std::string& directory) {
  const std::string root = VolumeRoot(directory);
  if (root.empty()) return "it is not an absolute path (a drive letter and \\, or \\\\server\\share\\)";
  // A mapped drive is one logon's view of a share: a service does not see it.
  if (root.size() == 3 && ::GetDriveTypeA(root.c_str()) == DRIVE_REMOTE)
    return "it is on " + root.substr(0, 2) +
           ", a drive mapped to a network share, which a service does not see; name the share itself "
           "(\\\\server\\share\\...) or a local drive";
  return {};
}

std::string FileSystemName(const std::string& path) {
  const std::string root = VolumeRoot(path);
  char name[MAX_PATH + 1] = "";
  if (root.empty() || !::GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name, sizeof name))
    return {};
  return name;
}
