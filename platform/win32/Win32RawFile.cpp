// platform/win32/Win32RawFile.cpp: the raw file calls under the shared stream
// (RawFile.h), over CreateFileA handles opened as the runtime's fopen opens
// them: shared with everyone, append mode as FILE_APPEND_DATA without
// FILE_WRITE_DATA, so that every write lands at the end.
//
// Windows makes each such write one atomic append; wine makes it a look at the
// size and a write there, so two handles appending at once (threads logging to
// one debug log) can write over each other. The appends of this process are
// therefore made one at a time, under g_AppendMutex. Any thread.
#include <cerrno>
#include <mutex>
#include <set>

#include "platform/RawFile.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

namespace {
HANDLE Handle(RawFile file) { return reinterpret_cast<HANDLE>(file); }

std::mutex g_AppendMutex;
std::set<RawFile>& AppendHandles() {             // guarded by g_AppendMutex
  static auto* handles = new std::set<RawFile>;  // never destroyed: files may close at exit
  return *handles;
}
constexpr std::size_t kMaxTransfer = 1u << 30;  // ReadFile and WriteFile take 32-bit counts
}  // namespace

RawFile RawOpen(const std::string& path, const CRawOpenMode& mode) {
  DWORD access = 0;
  if (mode.read) access |= GENERIC_READ;
  if (mode.write)
    access |= mode.append ? FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES : GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  if (mode.create) disposition = mode.exclusive ? CREATE_NEW : mode.truncate ? CREATE_ALWAYS : OPEN_ALWAYS;
  const HANDLE handle =
      ::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = TakeSystemError();
    errno = ErrnoOfWindowsCode(code);
    return kNoRawFile;
  }
  const RawFile file = reinterpret_cast<RawFile>(handle);
  if (mode.append && mode.write) {
    std::lock_guard<std::mutex> lock(g_AppendMutex);
    AppendHandles().insert(file);
  }
  return file;
}

std::int64_t RawRead(RawFile file, void* buffer, std::size_t count) {
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(count < kMaxTransfer ? count : kMaxTransfer);
  if (!::ReadFile(Handle(file), buffer, want, &got, nullptr)) {
    TakeSystemError();
    return -1;
  }
  return got;
}

std::int64_t RawWrite(RawFile file, const char* data, std::size_t count) {
  DWORD put = 0;
  const DWORD want = static_cast<DWORD>(count < kMaxTransfer ? count : kMaxTransfer);
  if (!::WriteFile(Handle(file), data, want, &put, nullptr)) {
    TakeSystemError();
    return -1;
  }
  return put;
}

bool RawWriteAll(RawFile file, const char* data, std::size_t count) {
  std::unique_lock<std::mutex> lock(g_AppendMutex);
  if (AppendHandles().count(file) == 0) lock.unlock();
  return RawWriteFully(file, data, count);
}

std::int64_t RawSeek(RawFile file, std::int64_t offset, FileSeek from) {
  const DWORD method = from == FileSeek::kBegin     ? FILE_BEGIN
                       : from == FileSeek::kCurrent ? FILE_CURRENT
                                                    : FILE_END;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER at;
  if (!::SetFilePointerEx(Handle(file), distance, &at, method)) {
    TakeSystemError();
    return -1;
  }
  return at.QuadPart;
}

std::int64_t RawSize(RawFile file) {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(Handle(file), &size)) {
    TakeSystemError();
    return -1;
  }
  return size.QuadPart;
}

bool RawSync(RawFile file) {
  if (!::FlushFileBuffers(Handle(file))) {
    TakeSystemError();
    return false;
  }
  return true;
}

namespace {
CFileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return CFileIdentity{info.dwVolumeSerialNumber,
                       (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, true};
}
}  // namespace

bool RawIdentity(RawFile file, CFileIdentity& out) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(Handle(file), &info)) {
    TakeSystemError();
    return false;
  }
  out = IdentityOf(info);
  return true;
}

bool FileIdentityByName(const std::string& path, CFileIdentity& out) {
  out = CFileIdentity{};
  // The name itself, not what a link points to; any sharing of the file.
  const HANDLE handle = ::CreateFileA(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    TakeSystemError();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = ::GetFileInformationByHandle(handle, &info) != 0;
  if (!ok) TakeSystemError();
  ::CloseHandle(handle);
  if (ok) out = IdentityOf(info);
  return ok;
}

bool RawClose(RawFile file) {
  {
    std::lock_guard<std::mutex> lock(g_AppendMutex);
    AppendHandles().erase(file);
  }
  if (!::CloseHandle(Handle(file))) {
    TakeSystemError();
    return false;
  }
  return true;
}

void RawSetFaultError(int err) { PlatformSetLastError(WindowsCodeOfErrno(err)); }
