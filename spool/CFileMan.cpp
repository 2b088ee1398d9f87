// spool/CFileMan.cpp: inbound spool files, the outbound queue in IN and the
// handle-to-path list of the messages in delivery.
//
// Threading: QUE_AddMsg, Que_OpenMsg, Que_CloseAndDeleteMsg and Que_CloseMsg
// hold m_Lock (recursive) for their whole work, so two threads never draw the
// same spool number nor open the same message; m_HandleNames is only touched
// under it. Que_CountMsgs takes no lock. The file helpers at the end work on
// one handle and need no lock.
#include "spool/CFileMan.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "log/DebugLog.h"
#include "platform/FaultInjection.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "spool/FileNaming.h"
#include "spool/StagedNames.h"

namespace {

constexpr std::size_t kSpoolPathBuffer = 260;
constexpr int kSpoolNameAttempts = 100;  // spool names tried before QUE_AddMsg gives up
// The longest spool name after ProgramPath: "OUT" sep, ten digits, ".zqx", NUL.
constexpr std::size_t kLongestTmpName = 3 + 1 + 10 + 4 + 1;

// Copies `text` into out (capacity outSize), cut to fit.
void CopyCut(char* out, std::size_t outSize, const std::string& text) {
  if (out == nullptr || outSize == 0) return;
  std::snprintf(out, outSize, "%s", text.c_str());
}

bool IsQueueEntry(const std::string& name) { return !name.empty() && name[0] != '.'; }

bool IsNameTaken(DWORD error) {
  return error == static_cast<DWORD>(ERROR_FILE_EXISTS) || error == static_cast<DWORD>(ERROR_ALREADY_EXISTS);
}

}  // namespace

std::string CFileMan::InDirectory() const { return std::string(m_ProgramPath.get()) + "IN"; }

int CFileMan::NextTmpFileName(char* out, std::size_t outSize) {
  if (out == nullptr || outSize < std::strlen(m_ProgramPath.get()) + kLongestTmpName) return 1;
  long value = 0;
  const long rc = DrawCounter("TmpIndex", value);
  if (rc != ERROR_SUCCESS) {
    char text[80];
    std::snprintf(text, sizeof(text), "NextTmpFileName Error: TmpIndex not drawn (%ld)", rc);
    DebugLog(text, CV_SRC, __LINE__);
    return 2;
  }
  std::snprintf(out, outSize, "%sOUT%c%ld.zqx", m_ProgramPath.get(), kPathSeparator, value);
  return 0;
}

bool CFileMan::IsSpoolNumberTaken(const std::string& spoolPath) const {
  if (FileExists(spoolPath)) return true;
  std::string directory = OutDirectory();
  directory.pop_back();
  std::size_t count = 0;
  const long rc =
      CountMatchingEntries(directory, (StagedPrefix(SpoolNumber(spoolPath)) + "*").c_str(), 1, count);
  // A directory that cannot be read at all is reported by the creation.
  if (rc == ERROR_PATH_NOT_FOUND) return false;
  return rc != ERROR_SUCCESS || count > 0;
}

int CFileMan::QUE_AddMsg(CFile& handle, char* path, std::size_t pathSize) {
  std::scoped_lock lock(m_Lock);
  handle = CFile();
  char name[kSpoolPathBuffer] = {};
  // Only new files: a spool file still there holds a mail that was
  // acknowledged and not yet handed off (or handed off, and not yet
  // removed), and staged names a hand-off in progress or the second names of
  // a job just completed. TmpIndex comes back to such a number after its
  // wrap, or after a power loss or a restored hive took back its steps; that
  // number is skipped before anything is made, since a staged envelope made
  // beside a handed-off mail would make the next start take it for one never
  // handed off.
  for (int attempt = 1;; ++attempt) {
    if (NextTmpFileName(name, sizeof(name)) != 0) {
      DebugLog("QUE_AddMsg Error: no spool file name", CV_SRC, __LINE__);
      CopyCut(path, pathSize, name);
      return 2;
    }
    bool taken = IsSpoolNumberTaken(name);
    if (taken) {
      PlatformSetLastError(ERROR_FILE_EXISTS);
    } else {
      const std::string staged = OutDirectory() + StagedEnvelopeName(SpoolNumber(name));
      FaultStep("staged-create");
      CFile marker = CFile::Open(staged, FileAccess::kWrite, FileShare::kNone, FileCreation::kCreateNew);
      taken = !marker.IsValid() && IsNameTaken(PlatformGetLastError());
      if (marker.IsValid()) {
        CFileIdentity markerIdentity;
        marker.Identity(markerIdentity);
        marker.Close();
        FaultStep("staged-create");
        handle = CFile::Open(name, FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateNew);
        if (handle.IsValid()) break;
        const DWORD error = PlatformGetLastError();
        FileDeleteIfSame(staged, markerIdentity);
        PlatformSetLastError(error);
        taken = IsNameTaken(error);
      }
    }
    if (!taken || attempt == kSpoolNameAttempts) {
      CopyCut(path, pathSize, name);
      DebugLogStr("QUE_AddMsg Error: File open: ", name, CV_SRC, __LINE__);
      LogLastError();
      return 2;
    }
    DebugLogStr("QUE_AddMsg- spool file name taken, drawing another: ", name, CV_SRC, __LINE__);
  }
  CopyCut(path, pathSize, name);
  return 0;
}

bool CFileMan::QUE_RemoveMsg(const char* path, const CFileIdentity& identity) {
  if (path == nullptr || *path == '\0') return true;
  FaultStep("unlink");
  // Only while the name is still the file made for the mail: a spool
  // directory replaced meanwhile holds nothing of this session's.
  if (!FileDeleteIfSame(path, identity)) {
    const DWORD error = PlatformGetLastError();
    if (error == static_cast<DWORD>(ERROR_FILE_NOT_FOUND) || error == static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) {
      DebugLogStr("QUE_RemoveMsg- spool file not removed, it is not the one made: ", path, CV_SRC, __LINE__);
      return true;
    }
    DebugLogStr("QUE_RemoveMsg Error: spool file not removed: ", path, CV_SRC, __LINE__);
    LogLastError();
    return false;
  }
  FileDelete(OutDirectory() + StagedEnvelopeName(SpoolNumber(path)));
  return true;
}

std::string CFileMan::OutDirectory() const {
  return std::string(m_ProgramPath.get()) + "OUT" + kPathSeparatorText;
}

int CFileMan::Que_CountMsgs(int& count) {
  std::vector<std::string> names;
  const int listed = Que_ListMsgs(names);
  count = static_cast<int>(names.size());
  return listed;
}

int CFileMan::Que_ListMsgs(std::vector<std::string>& names) {
  names.clear();
  const long found = FindFiles(InDirectory(), "*.tmp", names);
  if (found == ERROR_FILE_NOT_FOUND) return 0;
  if (found != ERROR_SUCCESS) {
    names.clear();
    return static_cast<int>(found);
  }
  std::erase_if(names, [](const std::string& name) { return !IsQueueEntry(name); });
  return 0;
}

int CFileMan::Que_OpenNamedMsg(const std::string& name, CFile& handle, char* path, std::size_t pathSize) {
  std::scoped_lock lock(m_Lock);
  const std::string relative = std::string("IN") + kPathSeparatorText + name;
  const std::string full = std::string(m_ProgramPath.get()) + relative;
  if (!IsQueueEntry(name) || full.size() >= kSpoolPathBuffer) {
    DebugLogStr("Que_OpenMsg Error: not a message name: ", name.c_str(), CV_SRC, __LINE__);
    return 1;
  }
  // A pipe would hang the open, and what a link names is not in IN.
  if (!FileIsPlain(full)) {
    const bool there = PlatformGetLastError() == static_cast<DWORD>(ERROR_ACCESS_DENIED);
    DebugLogStr("Que_OpenMsg Error: not a plain file: ", relative.c_str(), CV_SRC, __LINE__);
    LogLastError();
    return there ? 2 : 1;
  }
  DebugLogStr("Que_OpenMsg - filename to check for: ", relative.c_str(), CV_SRC, __LINE__);
  CFile file = CFile::Open(full, FileAccess::kRead, FileShare::kNone, FileCreation::kOpenExisting);
  if (!file.IsValid()) {
    DebugLogStr("Que_OpenMsg Error: Unable to open the file: ", relative.c_str(), CV_SRC, __LINE__);
    return LogLastError() == static_cast<DWORD>(ERROR_SHARING_VIOLATION) ? ERROR_SHARING_VIOLATION : 1;
  }
  handle = std::move(file);
  AddIDNameLink(handle.Id(), full.c_str());
  CopyCut(path, pathSize, full);
  return 0;
}

int CFileMan::Que_OpenMsg(CFile& handle, char* path, std::size_t pathSize) {
  std::scoped_lock lock(m_Lock);
  std::vector<std::string> names;
  if (Que_ListMsgs(names) != 0) return 1;
  // The first message nobody holds: the fax server may still be writing
  // others, and the thread that opened a message keeps it exclusively.
  for (const std::string& name : names) {
    if (Que_OpenNamedMsg(name, handle, path, pathSize) == 0) return 0;
  }
  return 1;
}

int CFileMan::Que_CloseAndDeleteMsg(CFile& handle) {
  std::scoped_lock lock(m_Lock);
  const std::int32_t id = handle.Id();
  // Looked up before the close, while the handle number is still ours.
  char path[kSpoolPathBuffer] = {};
  const int found = GetIDNameLink(id, path, sizeof(path));
  if (!handle.Close()) {
    DebugLog("Error: File close error", CV_SRC, __LINE__);
    return 1;
  }
  if (found != 0) {
    DebugLog("Que_CloseAndDeleteMsg- Error: no file recorded for the handle", CV_SRC, __LINE__);
    return 1;
  }
  char namePart[kSpoolPathBuffer];
  PathFileNamePart(path, namePart, sizeof(namePart));
  DebugLogStr("Deleting file: ", namePart, CV_SRC, __LINE__);
  DelIDNameLink(id);
  if (!FileDelete(path)) {
    char text[kSpoolPathBuffer + 64];
    std::snprintf(text, sizeof(text), "Que_CloseAndDeleteMsg- Error deleting file (%d): %s",
                  static_cast<int>(PlatformGetLastError()), namePart);
    DebugLog(text, CV_SRC, __LINE__);
  }
  return 0;
}

int CFileMan::Que_CloseMsg(CFile& handle) {
  std::scoped_lock lock(m_Lock);
  DelIDNameLink(handle.Id());
  return handle.Close() ? 0 : 1;
}

int CFileMan::AddIDNameLink(std::int32_t handle, const char* path) {
  std::scoped_lock lock(m_Lock);
  const std::string id = std::to_string(handle);
  DebugLogStr("AddIDNameLink ID: ", id.c_str(), CV_SRC, __LINE__);
  DebugLogStr("AddIDNameLink Name: ", path, CV_SRC, __LINE__);
  m_HandleNames.push_back(IDNameLink{handle, path != nullptr ? path : ""});
  return 0;
}

int CFileMan::GetIDNameLink(std::int32_t handle, char* out, std::size_t outSize) {
  std::scoped_lock lock(m_Lock);
  for (const IDNameLink& link : m_HandleNames) {
    if (link.handle != handle) continue;
    if (out == nullptr || link.path.size() >= outSize) return 2;
    std::memcpy(out, link.path.c_str(), link.path.size() + 1);
    return 0;
  }
  return 1;
}

int CFileMan::DelIDNameLink(std::int32_t handle) {
  std::scoped_lock lock(m_Lock);
  for (auto it = m_HandleNames.begin(); it != m_HandleNames.end(); ++it) {
    if (it->handle != handle) continue;
    const std::string id = std::to_string(handle);
    DebugLogStr("DelIDNameLink ID: ", id.c_str(), CV_SRC, __LINE__);
    DebugLogStr("DelIDNameLink Name: ", it->path.c_str(), CV_SRC, __LINE__);
    m_HandleNames.erase(it);
    return 0;
  }
  return 1;
}

std::int64_t FileWrite(CFile& handle, const void* bytes, std::size_t count) {
  const std::int64_t written = handle.Write(bytes, count);
  return written < 0 ? 0 : written;
}

std::int64_t FileWriteText(CFile& handle, const char* text) {
  if (text == nullptr) return 0;
  return FileWrite(handle, text, std::strlen(text));
}

std::int64_t FileRead(CFile& handle, void* buffer, std::size_t count) {
  const std::int64_t read = handle.Read(buffer, count);
  return read < 0 ? 0 : read;
}

int FileReadLine(CFile& handle, char* buffer, int size) {
  if (buffer == nullptr || size < 1) return 0;
  // One read of up to `size` bytes, then the bytes after the line feed given
  // back, so the file stands just past the line (a read a byte cost a system
  // call a byte).
  const std::int64_t got = handle.Read(buffer, static_cast<std::size_t>(size));
  if (got <= 0) return 0;
  const void* lineFeed = std::memchr(buffer, '\n', static_cast<std::size_t>(got));
  if (lineFeed == nullptr) return got == size ? size : 0;  // a last line without LF is not a line
  const auto length = static_cast<std::int64_t>(static_cast<const char*>(lineFeed) - buffer) + 1;
  if (length < got && handle.Seek(length - got, FileSeek::kCurrent) < 0) return 0;
  return static_cast<int>(length);
}

int FileClose(CFile& handle) { return handle.Close() ? 0 : 1; }
