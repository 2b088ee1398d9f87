// spool/CFileMan.h: the file manager: gateway settings, inbound spool files and
// the outbound queue in IN.
//
// One instance per process, created at start-up and never destroyed. The
// settings fields are written only by the constructor and read afterwards
// without a lock. Queue operations hold m_Lock (recursive) for their whole work,
// so two threads never draw the same spool number nor open the same message;
// m_HandleNames is only touched under it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/File.h"
#include "spool/SpoolSyncer.h"

// The largest mail accepted when MaxMessageSize is not set: 25 MiB.
constexpr std::uint32_t kDefaultMaxMessageSize = 25 * 1024 * 1024;

class CFileMan {
 public:
  CFileMan();  // reads the settings from the registry
  CFileMan(const CFileMan&) = delete;
  CFileMan& operator=(const CFileMan&) = delete;
  ~CFileMan();

  // Settings (all 0 = success, 1 = does not fit).
  int GetDomainName(char* buffer, std::size_t size) const;
  int GetMailFrom(char* buffer, std::size_t size) const;
  std::int32_t GetNotifyOnFailure() const { return m_NotifyOnFailure; }
  std::int32_t GetNotifyOnSuccess() const { return m_NotifyOnSuccess; }
  std::int32_t GetSubjectLine() const { return m_SubjectLine; }
  std::int32_t GetIncludeTIFF() const { return m_IncludeTIFF; }
  std::int32_t GetMaxIn() const { return m_MaxIn; }
  std::int32_t GetMaxOut() const { return m_MaxOut; }
  std::int32_t GetNumUsers() const { return m_NumUsers; }
  std::int32_t GetAdvancedOptions() const { return m_AdvancedOptions; }
  const char* ProgramPath() const { return m_ProgramPath.get(); }  // ends in the separator when set
  // The largest mail accepted, in bytes as received (MaxMessageSize); 0: no limit.
  std::uint32_t GetMaxMessageSize() const { return m_MaxMessageSize; }
  const char* DomainName() const { return m_DomainName.get(); }

  // Inbound spool file OUT/<TmpIndex>.zqx, created new and exclusively for us,
  // after its staged envelope (spool/StagedNames.h), which marks it as ours
  // until its hand-off completes. A number whose spool file or any staged
  // name still exists is skipped before anything is created (up to 100
  // numbers are tried), so an earlier mail is never replaced nor its state
  // changed. 0 on success, 2 when it cannot be created (handle invalid; path
  // filled either way, capacity pathSize).
  int QUE_AddMsg(CFile& handle, char* path, std::size_t pathSize);
  // Removes a spool file whose mail was not acknowledged, with its staged
  // envelope, while `path` still names the file `identity` made for it. True
  // when the name no longer holds that file (removed, or gone or replaced
  // before); the removal is on disk only after the next sync of OUT's names.
  bool QUE_RemoveMsg(const char* path, const CFileIdentity& identity);
  // Puts `files` and the names created or renamed in OUT on disk (shared by
  // the sessions at the time; the hand-off syncs in a lane of its own);
  // `ticket` taken before the caller wrote them (see CSpoolSyncer).
  bool SyncSpool(const CSpoolSyncer::CTicket& ticket, const std::vector<std::string>& files) {
    return m_OutSync->Sync(ticket, files);
  }
  CSpoolSyncer& SpoolSync() { return *m_OutSync; }
  std::string OutDirectory() const;  // ProgramPath + "OUT" + separator
  // Spool name from TmpIndex: 1 when `outSize` cannot take the longest name
  // (counter untouched), 2 when the counter cannot be drawn, else 0.
  int NextTmpFileName(char* out, std::size_t outSize);

  // Outbound queue in IN.
  // 0 and the number of messages waiting, or FindFiles' code (count 0) when IN
  // cannot be read, say while it is away.
  int Que_CountMsgs(int& count);
  // 0 and the names of the messages waiting (in the directory's order), or
  // FindFiles' code (no names) when IN cannot be read.
  int Que_ListMsgs(std::vector<std::string>& names);
  int Que_OpenMsg(CFile& handle, char* path, std::size_t pathSize);  // 0, 1 or 32
  // Opens the message `name` of IN exclusively and records it, as Que_OpenMsg
  // does the first one: 0; 32 when another process holds it; 2 when it is no
  // plain file (a directory, a pipe, a link: never read); 1 otherwise (gone).
  int Que_OpenNamedMsg(const std::string& name, CFile& handle, char* path, std::size_t pathSize);
  // Deletes the message through its handle (opened with the right to), then
  // closes it and forgets it: 0, or 1 when the close failed or the handle is
  // unknown. A delete that fails is logged; the file stays.
  int Que_CloseAndDeleteMsg(CFile& handle);
  // Renames the message through its handle to `newPath` (same directory,
  // never replacing), then closes and forgets it: 0, or 1 (last error set)
  // when the rename failed; the handle is closed either way.
  int Que_CloseAndRenameMsg(CFile& handle, const std::string& newPath);
  int Que_CloseMsg(CFile& handle);

  // Handle-to-path list; called with m_Lock held (they take it themselves too).
  int AddIDNameLink(std::int32_t handle, const char* path);
  // 0 and the path; 1 no such handle; 2 the path does not fit outSize.
  int GetIDNameLink(std::int32_t handle, char* out, std::size_t outSize);
  int DelIDNameLink(std::int32_t handle);  // 0, or 1 when there is no such handle

  std::recursive_mutex& Lock() { return m_Lock; }

 private:
  struct IDNameLink {
    std::int32_t handle;
    std::string path;
  };

  void ReadSettings();
  std::string InDirectory() const;  // ProgramPath + "IN"
  // The spool file or a staged name of its number exists.
  bool IsSpoolNumberTaken(const std::string& spoolPath) const;

  std::recursive_mutex m_Lock;              // queue files and m_HandleNames
  std::unique_ptr<CSpoolSyncer> m_OutSync;  // made by the constructor
  std::list<IDNameLink> m_HandleNames;      // guarded by m_Lock; new nodes at the tail

  std::int32_t m_NumUsers = 0;
  std::int32_t m_MaxIn = 5;
  std::int32_t m_MaxOut = 5;
  std::unique_ptr<char[]> m_DomainName;  // 80 bytes; never null after construction
  std::unique_ptr<char[]> m_MailFrom;    // 260 bytes; never null after construction
  std::int32_t m_AdvancedOptions = 0;
  std::int32_t m_NotifyOnFailure = 1;
  std::int32_t m_NotifyOnSuccess = 1;
  std::int32_t m_SubjectLine = 0;
  std::int32_t m_IncludeTIFF = 1;
  std::unique_ptr<char[]> m_ProgramPath;  // 260 bytes; never null after construction
  std::uint32_t m_MaxMessageSize = kDefaultMaxMessageSize;
};

constexpr std::size_t kProgramPathBuffer = 260;
constexpr std::size_t kProgramPathRead = 80;  // ProgramPath is read with this limit
constexpr std::size_t kDomainNameBuffer = 80;
constexpr std::size_t kMailFromBuffer = 260;

// The process-wide OverrideAddressCheck flag: 0 at start, set once by the
// settings reading, never cleared.
int GetOverrideAddressCheck();

// Queue file helpers over raw handles.
std::int64_t FileWrite(CFile& handle, const void* bytes, std::size_t count);  // bytes written, 0 on failure
std::int64_t FileWriteText(CFile& handle, const char* text);
std::int64_t FileRead(CFile& handle, void* buffer, std::size_t count);  // 0 at end or failure
// One line through its LF (stored); size when no LF within size bytes; 0 at
// end of file or failure before a LF, and for size < 1. No terminator added.
int FileReadLine(CFile& handle, char* buffer, int size);
int FileClose(CFile& handle);  // 0 on success, 1 on failure
