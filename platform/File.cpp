// platform/File.cpp: what CFile does the same way on every backend: reading
// until the count is in or the file ends, writing until everything is taken,
// seeking, sizing, syncing and closing, over the backend's single calls
// (RawFile.h), which retry interruptions and set the last error. RawWriteAll's
// loop is this one too. Opening, truncating, deleting and renaming differ
// (share modes, locks) and stay with the backends; the fault seam is asked
// here, once for both.
// A CFile is used by one thread at a time; the loops keep no state.
#include "platform/File.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/FaultInjection.h"
#include "platform/RawFile.h"

bool RawWriteFully(RawFile file, const char* data, std::size_t count) {
  while (count > 0) {
    const std::int64_t n = RawWrite(file, data, count);
    if (n < 0) return false;
    data += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

CFile CFile::Open(const std::string& path, FileAccess access, FileShare share, FileCreation creation) {
  if (creation != FileCreation::kOpenExisting && creation != FileCreation::kTruncateExisting &&
      FaultInjected(FaultOp::kCreate, path)) {
    RawSetFaultError(errno);
    return CFile();
  }
  return OpenOnSystem(path, access, share, creation);
}

CFile CFile::OpenScratch(const std::string& path) {
  if (FaultInjected(FaultOp::kCreate, path)) {
    RawSetFaultError(errno);
    return CFile();
  }
  return OpenScratchOnSystem(path);
}

bool CFile::DeleteThrough() {
  if (m_Fd < 0) return FailNoHandle();
  if (FaultInjected(FaultOp::kDelete, m_Path)) {
    RawSetFaultError(errno);
    return false;
  }
  return DeleteThroughOnSystem();
}

bool CFile::RenameThrough(const std::string& newPath) {
  if (m_Fd < 0) return FailNoHandle();
  if (FaultInjected(FaultOp::kRename, newPath)) {
    RawSetFaultError(errno);
    return false;
  }
  if (!RenameThroughOnSystem(newPath)) return false;
  m_Path = newPath;
  return true;
}

std::int64_t CFile::Read(void* buffer, std::size_t count) {
  if (m_Fd < 0) {
    FailNoHandle();
    return -1;
  }
  if (FaultInjected(FaultOp::kRead, m_Path)) {
    RawSetFaultError(errno);
    return -1;
  }
  // ReadFile on a disk file delivers everything up to the end of the file,
  // or fails: bytes before an I/O error are no answer to the caller.
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const std::int64_t n = RawRead(m_Fd, out + done, count - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t CFile::Write(const void* buffer, std::size_t count) {
  if (m_Fd < 0) {
    FailNoHandle();
    return -1;
  }
  if (FaultInjected(FaultOp::kWrite, m_Path)) {
    RawSetFaultError(errno);
    return -1;
  }
  // WriteFile fails as a whole.
  if (!RawWriteFully(m_Fd, static_cast<const char*>(buffer), count)) return -1;
  return static_cast<std::int64_t>(count);
}

std::int64_t CFile::Seek(std::int64_t offset, FileSeek from) {
  if (m_Fd < 0) {
    FailNoHandle();
    return -1;
  }
  return RawSeek(m_Fd, offset, from);
}

std::int64_t CFile::Size() const {
  if (m_Fd < 0) {
    FailNoHandle();
    return -1;
  }
  return RawSize(m_Fd);
}

bool CFile::Sync() {
  if (m_Fd < 0) return FailNoHandle();
  return RawSync(m_Fd);
}

bool CFile::Close() {
  if (m_Fd < 0) return FailNoHandle();
  const RawFile fd = m_Fd;
  m_Fd = -1;
  return RawClose(fd);
}

bool CFile::Identity(CFileIdentity& out) const {
  out = CFileIdentity{};
  if (m_Fd < 0) return FailNoHandle();
  return RawIdentity(m_Fd, out);
}

bool CStdioFile::Identity(CFileIdentity& out) const {
  out = CFileIdentity{};
  if (!IsOpen()) return FailNoHandle();
  return RawIdentity(m_Fd, out);
}

bool SameFile(const std::string& a, const std::string& b) {
  CFileIdentity x, y;
  return FileIdentityByName(a, x) && FileIdentityByName(b, y) && x == y;
}

bool FileDeleteIfSame(const std::string& path, const CFileIdentity& identity) {
  CFileIdentity now;
  if (!FileIdentityByName(path, now)) return false;
  if (!(now == identity)) {
    PlatformSetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  return FileDelete(path);
}

bool SyncfsReportsAllErrors(const char* release) {
  int major = 0, minor = 0;
  return release != nullptr && std::sscanf(release, "%d.%d", &major, &minor) == 2 &&
         (major > 5 || (major == 5 && minor >= 17));
}
