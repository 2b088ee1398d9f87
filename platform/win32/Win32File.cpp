// platform/win32/Win32File.cpp: CFile, the raw file handle, over CreateFileA.
//
// Share modes are the system's own: "shared with nobody" is share mode 0, a
// shared open FILE_SHARE_READ | FILE_SHARE_WRITE, so either fails with
// ERROR_SHARING_VIOLATION while the other is held, in this process or another.
// A shared open also lets others rename or delete the file (FILE_SHARE_DELETE),
// which POSIX allows under a shared lock. An open with DELETE access keeps out
// every later open that does not share deletion, and its handle deletes or
// renames the file (SetFileInformationByHandle) where a call by name would
// meet such an open and fail. A CFile is used by one thread at a time.
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

const char kPathSeparator = '\\';
const char kPathSeparatorText[] = "\\";
const bool kGroupSyncOpensFiles = true;

namespace {
HANDLE Handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

// FileDispositionInfoEx (Windows 10 1709 and later; newer than the headers' default target).
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
}  // namespace

CFile::CFile(CFile&& other) noexcept : m_Fd(other.m_Fd), m_Path(std::move(other.m_Path)) { other.m_Fd = -1; }

CFile& CFile::operator=(CFile&& other) noexcept {
  if (this != &other) {
    if (m_Fd >= 0) ::CloseHandle(Handle(m_Fd));
    m_Fd = other.m_Fd;
    m_Path = std::move(other.m_Path);
    other.m_Fd = -1;
  }
  return *this;
}

CFile::~CFile() {
  if (m_Fd >= 0) ::CloseHandle(Handle(m_Fd));
}

CFile CFile::OpenScratchOnSystem(const std::string& path) {
  // Temporary: the cache manager keeps it in memory where it can.
  const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    TakeSystemError();
    return CFile();
  }
  CFile file(reinterpret_cast<std::intptr_t>(handle));
  file.m_Path = path;
  return file;
}

CFile CFile::OpenOnSystem(const std::string& path, FileAccess access, FileShare share, FileCreation creation) {
  DWORD desired = GENERIC_READ;
  // Windows checks share modes only for opens that touch the data: an open for
  // READ_CONTROL alone succeeds beside a holder that shares with nobody. A
  // probe "shared with nobody" must fail then, so it asks for the data too.
  if (access == FileAccess::kReadControl)
    desired = share == FileShare::kNone ? READ_CONTROL | FILE_READ_DATA : READ_CONTROL;
  if (access == FileAccess::kWrite) desired = GENERIC_WRITE;
  if (access == FileAccess::kReadWrite) desired = GENERIC_READ | GENERIC_WRITE;
  if (access == FileAccess::kReadAndDelete) desired = GENERIC_READ | DELETE;
  if (access == FileAccess::kReadWriteAndDelete) desired = GENERIC_READ | GENERIC_WRITE | DELETE;
  const DWORD shareMode =
      share == FileShare::kNone ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  DWORD disposition = OPEN_EXISTING;
  switch (creation) {
    case FileCreation::kCreateNew:
      disposition = CREATE_NEW;
      break;
    case FileCreation::kCreateAlways:
      disposition = CREATE_ALWAYS;
      break;
    case FileCreation::kOpenExisting:
      disposition = OPEN_EXISTING;
      break;
    case FileCreation::kOpenAlways:
      disposition = OPEN_ALWAYS;
      break;
    case FileCreation::kTruncateExisting:
      disposition = TRUNCATE_EXISTING;
      break;
  }
  const HANDLE handle =
      ::CreateFileA(path.c_str(), desired, shareMode, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    TakeSystemError();
    return CFile();
  }
  // CREATE_ALWAYS and OPEN_ALWAYS report an existing file as ERROR_ALREADY_EXISTS.
  PlatformSetLastError(::GetLastError());
  CFile file(reinterpret_cast<std::intptr_t>(handle));  // takes ownership of the handle
  file.m_Path = path;
  return file;
}

bool CFile::SetEndOfFile() {
  if (m_Fd < 0) return FailNoHandle();
  if (!::SetEndOfFile(Handle(m_Fd))) {
    TakeSystemError();
    return false;
  }
  return true;
}

bool CFile::DeleteThroughOnSystem() {
  // POSIX semantics take the name away at once, so that a file of the same
  // name can be made while an attribute reader still holds this one; file
  // systems and versions without them refuse the class, and the name then
  // goes with the last handle.
  FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
  if (::SetFileInformationByHandle(Handle(m_Fd), kFileDispositionInfoEx, &posix, sizeof posix)) return true;
  FILE_DISPOSITION_INFO classic{TRUE};
  if (::SetFileInformationByHandle(Handle(m_Fd), FileDispositionInfo, &classic, sizeof classic)) return true;
  TakeSystemError();
  return false;
}

bool CFile::RenameThroughOnSystem(const std::string& newPath) {
  // The new name as the ANSI calls would read it, NUL-terminated: an absolute
  // path or one relative to the current directory, as for MoveFileExA.
  const int wide = ::MultiByteToWideChar(CP_ACP, 0, newPath.c_str(), -1, nullptr, 0);
  if (wide <= 1) {
    PlatformSetLastError(ERROR_INVALID_NAME);
    return false;
  }
  const std::size_t nameBytes = static_cast<std::size_t>(wide - 1) * sizeof(WCHAR);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes + sizeof(WCHAR), 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(nameBytes);
  ::MultiByteToWideChar(CP_ACP, 0, newPath.c_str(), -1, info->FileName, wide);
  if (!::SetFileInformationByHandle(Handle(m_Fd), FileRenameInfo, info, static_cast<DWORD>(buffer.size()))) {
    const DWORD error = TakeSystemError();
    if (error == ERROR_FILE_EXISTS) PlatformSetLastError(ERROR_ALREADY_EXISTS);  // as MoveFileExA says it
    return false;
  }
  return true;
}
