// platform/win32/Win32File.cpp: CFile, the raw file handle, over CreateFileA.
//
// Share modes are the system's own: "shared with nobody" is share mode 0, a
// shared open FILE_SHARE_READ | FILE_SHARE_WRITE, so either fails with
// ERROR_SHARING_VIOLATION while the other is held, in this process or another.
// A shared open also lets others rename or delete the file (FILE_SHARE_DELETE),
// which POSIX allows under a shared lock and the gateway relies on nowhere
// else. A CFile is used by one thread at a time.
#include <cerrno>
#include <cstdint>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

const char kPathSeparator = '\\';
const char kPathSeparatorText[] = "\\";

namespace {
HANDLE Handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
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

CFile CFile::OpenScratch(const std::string& path) {
  if (FaultInjected(FaultOp::kCreate, path)) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return CFile();
  }
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

CFile CFile::Open(const std::string& path, FileAccess access, FileShare share, FileCreation creation) {
  DWORD desired = GENERIC_READ;
  // Windows checks share modes only for opens that touch the data: an open for
  // READ_CONTROL alone succeeds beside a holder that shares with nobody. A
  // probe "shared with nobody" must fail then, so it asks for the data too.
  if (access == FileAccess::kReadControl)
    desired = share == FileShare::kNone ? READ_CONTROL | FILE_READ_DATA : READ_CONTROL;
  if (access == FileAccess::kWrite) desired = GENERIC_WRITE;
  if (access == FileAccess::kReadWrite) desired = GENERIC_READ | GENERIC_WRITE;
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
  if (disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING &&
      FaultInjected(FaultOp::kCreate, path)) {
    PlatformSetLastError(WindowsCodeOfErrno(errno));
    return CFile();
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

std::int64_t CFile::Seek(std::int64_t offset, FileSeek from) {
  if (m_Fd < 0) {
    PlatformSetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  const DWORD method = from == FileSeek::kBegin     ? FILE_BEGIN
                       : from == FileSeek::kCurrent ? FILE_CURRENT
                                                    : FILE_END;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER at;
  if (!::SetFilePointerEx(Handle(m_Fd), distance, &at, method)) {
    TakeSystemError();
    return -1;
  }
  return at.QuadPart;
}

bool CFile::SetEndOfFile() {
  if (m_Fd < 0) {
    PlatformSetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (!::SetEndOfFile(Handle(m_Fd))) {
    TakeSystemError();
    return false;
  }
  return true;
}

std::int64_t CFile::Size() const {
  LARGE_INTEGER size;
  if (m_Fd < 0 || !::GetFileSizeEx(Handle(m_Fd), &size)) {
    if (m_Fd < 0)
      PlatformSetLastError(ERROR_INVALID_HANDLE);
    else
      TakeSystemError();
    return -1;
  }
  return size.QuadPart;
}

bool CFile::Close() {
  if (m_Fd < 0) {
    PlatformSetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const HANDLE handle = Handle(m_Fd);
  m_Fd = -1;
  if (!::CloseHandle(handle)) {
    TakeSystemError();
    return false;
  }
  return true;
}
