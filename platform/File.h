// platform/File.h: files, directories and the text-mode stream.
//
// CFile is a raw handle (CreateFileA/ReadFile/WriteFile). Opens "shared with
// nobody" are exclusive against every other open of the same file, in this
// process or another (POSIX: flock LOCK_EX|LOCK_NB; a held lock is
// ERROR_SHARING_VIOLATION, 32). Shared opens take a shared lock, so they too
// fail with 32 while someone holds the file exclusively, as on Windows.
//
// CStdioFile is the runtime's buffered stream (fopen and friends). In text mode
// a LF written is stored as CR LF and a CR LF read comes back as LF (a lone CR
// stays); there is no Ctrl-Z end of file. Files are byte-identical on every
// platform. Binary mode ("b" in the mode) passes bytes through.
//
// Failures leave a Windows code as the thread's last error (WinCodes.h).
// Objects are move-only owners and used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/WinCodes.h"

// The separator of this platform's paths: '/' on POSIX, '\\' on Windows.
extern const char kPathSeparator;
extern const char kPathSeparatorText[];  // the same as a one-character string

// kReadControl shared with nobody is a probe: it fails while anyone holds the
// file (Windows checks share modes only for opens that touch the data, so there
// it asks for read access to the data too). The "AndDelete" accesses also let
// the handle delete or rename its file (DeleteThrough, RenameThrough); on
// Windows they keep away every later open that does not share deletion (a
// virus scanner, an indexer, a backup agent), so none of those can make the
// deletion fail; on POSIX they are the plain accesses.
enum class FileAccess { kReadControl, kRead, kWrite, kReadWrite, kReadAndDelete, kReadWriteAndDelete };
enum class FileSeek { kBegin, kCurrent, kEnd };  // FILE_BEGIN, FILE_CURRENT, FILE_END
enum class FileShare { kNone, kReadWrite };
// CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING.
enum class FileCreation { kCreateNew, kCreateAlways, kOpenExisting, kOpenAlways, kTruncateExisting };

// Which file a name or handle stands for: its volume (device) and its number
// on it (inode, file index). Two names of one file have the same identity; a
// file put in the place of another has a new one.
struct CFileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool known = false;
  bool operator==(const CFileIdentity& other) const {
    return known && other.known && volume == other.volume && index == other.index;
  }
};

class CFile {
 public:
  CFile() = default;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;
  CFile(CFile&& other) noexcept;
  CFile& operator=(CFile&& other) noexcept;
  ~CFile();  // closes

  // CreateFileA. Invalid handle and the last error set on failure.
  static CFile Open(const std::string& path, FileAccess access, FileShare share, FileCreation creation);
  // A scratch file for this process alone, open for reading and writing, that
  // vanishes when it is closed or the process ends, and costs the file system
  // no name to create or remove. `path` is its name for the fault seam and,
  // where the system needs a name, the one it has while it is open. POSIX: an
  // anonymous file in memory (memfd_create). Windows: a temporary file with
  // FILE_FLAG_DELETE_ON_CLOSE, shared with nobody.
  static CFile OpenScratch(const std::string& path);

  bool IsValid() const { return m_Fd >= 0; }
  // A number that identifies the open handle while it is open (the handle
  // value of the handle-to-path list).
  std::int32_t Id() const { return static_cast<std::int32_t>(m_Fd); }
  // ReadFile / WriteFile: bytes transferred, -1 on failure (last error set);
  // a read that fails after some bytes fails as a whole.
  std::int64_t Read(void* buffer, std::size_t count);
  std::int64_t Write(const void* buffer, std::size_t count);
  // Data on disk (FlushFileBuffers / fsync).
  bool Sync();
  // SetFilePointerEx: moves the file position; the new position from the
  // start, -1 on failure (last error set).
  std::int64_t Seek(std::int64_t offset, FileSeek from);
  // Ends the file at the current position (SetEndOfFile).
  bool SetEndOfFile();
  std::int64_t Size() const;
  // Which file is open; false (last error set) when it cannot be told.
  bool Identity(CFileIdentity& out) const;
  // Deletes the open file through this handle, which must have been opened
  // with an "AndDelete" access: no other program's open can make it fail
  // (Windows: SetFileInformationByHandle FileDispositionInfo, with POSIX
  // semantics where the file system has them, so the name goes at once;
  // else the name goes when the last handle closes). POSIX: the name opened
  // is unlinked while it still names this file. False (last error set).
  bool DeleteThrough();
  // Renames the open file through this handle ("AndDelete" access) to
  // `newPath` on the same volume, never replacing (ERROR_ALREADY_EXISTS):
  // FILE_RENAME_INFO on Windows; on POSIX the name opened, while it still
  // names this file. The handle stays open. False (last error set).
  bool RenameThrough(const std::string& newPath);
  // CloseHandle: false (last error set) when the close fails or there is no handle.
  bool Close();

 private:
  explicit CFile(std::intptr_t fd) : m_Fd(fd) {}
  // The backend's calls under Open, OpenScratch, DeleteThrough and
  // RenameThrough, which check the fault seam (and the handle) first.
  static CFile OpenOnSystem(const std::string& path, FileAccess access, FileShare share, FileCreation creation);
  static CFile OpenScratchOnSystem(const std::string& path);
  bool DeleteThroughOnSystem();
  bool RenameThroughOnSystem(const std::string& newPath);
  std::intptr_t m_Fd = -1;  // a descriptor, or a HANDLE on Windows; owned
  std::string m_Path;       // as opened, for the fault seam
};

class CStdioFile {
 public:
  CStdioFile() = default;
  CStdioFile(const CStdioFile&) = delete;
  CStdioFile& operator=(const CStdioFile&) = delete;
  CStdioFile(CStdioFile&& other) noexcept;
  CStdioFile& operator=(CStdioFile&& other) noexcept;
  ~CStdioFile();  // closes

  // fopen: mode "r", "w", "a", "r+", "w+", "a+", each optionally with "b" (or
  // "t"); "w" with "x" creates a new file only (ERROR_FILE_EXISTS when the name
  // is taken). On failure IsOpen() is false, errno holds the C error and the
  // last error the Windows code.
  static CStdioFile Open(const std::string& path, const char* mode);

  bool IsOpen() const { return m_Fd != -1; }
  // fread / fwrite in the mode's translation. Read returns bytes delivered
  // (0 at end of file or on error); Write the bytes accepted. Both work in
  // bulk; switching between reading and writing needs no seek in between.
  std::size_t Read(void* buffer, std::size_t count);
  std::size_t Write(const void* buffer, std::size_t count);
  std::size_t WriteText(const char* text);  // fputs
  // fgetc: a byte 0..255 or -1 at end.
  int GetChar() {
    // Fast path: a buffered byte that needs no translation.
    if (m_Pos < m_End && m_PendingCr == 0) {
      const unsigned char c = static_cast<unsigned char>(m_Buffer[m_Pos]);
      if (c != '\r' || !m_Text) {
        ++m_Pos;
        return c;
      }
    }
    return GetCharSlow();
  }
  // fgets: at most size-1 bytes, through the first LF; nullptr at end.
  char* GetLine(char* buffer, int size);
  // Reading stops after `bytes` bytes of the file (counted before any
  // translation), as if the file ended there; for a stream opened to read,
  // set right after Open (Rewind keeps it).
  void LimitReading(std::uint64_t bytes) { m_ReadLimit = m_ReadLeft = bytes; }
  bool Rewind();  // to the start, translation state reset, error cleared
  bool Flush();   // fflush
  bool Sync();    // fflush and fsync: the data is on disk
  bool Error() const { return m_Error; }
  // Reading came to the limit of LimitReading without an error: every byte
  // up to it was delivered (or is buffered), none was missing or unreadable.
  bool ReachedReadLimit() const { return !m_Error && m_ReadLeft == 0; }
  // Which file is open; false (last error set) when it cannot be told.
  bool Identity(CFileIdentity& out) const;
  // fclose: false when the close, a pending write or any earlier write failed
  // (a stream that lost data never reports a clean close).
  bool Close();

 private:
  int GetCharSlow();
  bool FillBuffer();    // reads more bytes; false at end of file or on error
  bool FlushWrites();   // writes the pending bytes out
  bool EnterReading();  // pending writes out before the first read
  bool EnterWriting();  // unread buffered bytes given back before the first write
  bool AppendOut(const char* data, std::size_t count);
  void Reset();

  static constexpr std::size_t kBufferSize = 64 * 1024;

  std::intptr_t m_Fd = -1;           // the backend's raw file (platform/RawFile.h); owned
  std::unique_ptr<char[]> m_Buffer;  // kBufferSize bytes; reads and writes share it
  std::size_t m_Pos = 0;             // reading: next byte to deliver
  std::size_t m_End = 0;             // reading: end of the buffered bytes
  std::size_t m_Out = 0;             // writing: bytes waiting in m_Buffer
  bool m_Writing = false;            // m_Buffer holds output (else input)
  bool m_CanRead = false;
  bool m_CanWrite = false;
  bool m_Text = true;                      // CR LF translation on
  bool m_Eof = false;                      // the last read reached the end of the file
  bool m_Error = false;                    // a read or write failed (cleared by Rewind)
  bool m_WriteFailed = false;              // a write failed at any time: Close reports it
  int m_PendingCr = 0;                     // text read: a CR held back to see whether LF follows
  std::string m_Path;                      // as opened, for the fault seam
  std::uint64_t m_ReadLimit = UINT64_MAX;  // LimitReading's bytes
  std::uint64_t m_ReadLeft = UINT64_MAX;   // bytes the file may still give before that limit
};

// Directory search with a wildcard pattern ("*" and "?"), case-insensitive as
// on Windows ("*.tmp" matches ABC.TMP; "x.*" matches "x" too). Entries "." and
// ".." are never returned. Returns ERROR_SUCCESS with the names (in the file
// system's order), ERROR_FILE_NOT_FOUND when nothing matches,
// ERROR_PATH_NOT_FOUND when the directory cannot be read, and
// ERROR_TOO_MANY_OPEN_FILES or ERROR_NOT_ENOUGH_MEMORY when the search cannot
// be started for want of descriptors or memory. The last error is set too.
long FindFiles(const std::string& directory, const char* pattern, std::vector<std::string>& names);

// How many entries of `directory` (at most `limit`) FindFiles would return for
// `pattern`: ERROR_SUCCESS and the count (0 when nothing matches), or FindFiles'
// failure code. For a directory asked about again and again this need not read
// it each time: the process may keep its names current by watching it (on
// Linux with inotify), so the answer costs no more for a directory of
// thousands of files. Any thread.
long CountMatchingEntries(const std::string& directory, const char* pattern, std::size_t limit,
                          std::size_t& count);


// Whole-file operations. Each returns true on success and leaves the last
// error on failure.
bool FileExists(const std::string& path);                              // GetFileAttributesA
bool FileDelete(const std::string& path);                              // DeleteFileA
// True when `path` names a plain file itself: not a directory, a link to
// somewhere else, a pipe or a device (ERROR_ACCESS_DENIED when it is one).
bool FileIsPlain(const std::string& path);
bool FileMove(const std::string& from, const std::string& to);         // fails if `to` exists
bool FileMoveReplace(const std::string& from, const std::string& to);  // replaces `to`
bool FileCopy(const std::string& from, const std::string& to, bool failIfExists);
std::int64_t FileSizeByName(const std::string& path);  // -1 on failure
std::int64_t FileAgeSeconds(const std::string& path);  // seconds since last write, -1 on failure
bool DirectoryCreate(const std::string& path);         // fails if it exists
// Only the owner (the gateway's user) may read, write or enter it.
bool DirectoryCreatePrivate(const std::string& path);
bool DirectoryRemove(const std::string& path);  // empty directories only
// Makes the names created, renamed or removed in the directory durable:
// fsync on POSIX; on Windows FlushFileBuffers through a handle opened with
// FILE_FLAG_BACKUP_SEMANTICS (the file system writes the directory's
// metadata, on NTFS through its log, and flushes the device's cache).
bool DirectorySync(const std::string& path);
// Gives the file `existing` the second name `newName` in the same directory
// (a hard link), never replacing: fails with ERROR_ALREADY_EXISTS when
// `newName` is taken.
bool FileLink(const std::string& existing, const std::string& newName);
// True when both names stand for one and the same file.
bool SameFile(const std::string& a, const std::string& b);
// The identity of the file `path` names (a link itself, not its target);
// false (last error set) when there is none.
bool FileIdentityByName(const std::string& path, CFileIdentity& out);
// Deletes `path` only while it still names the file `identity`: a file put
// in its place (a directory replaced, a name drawn again) is never removed.
// False (last error set; ERROR_FILE_NOT_FOUND for another file) otherwise.
bool FileDeleteIfSame(const std::string& path, const CFileIdentity& identity);
// Puts the data of each file on disk (FlushFileBuffers on each, opened by
// name); on POSIX writing starts for all of them before the first wait, on
// Windows they are flushed one after the other. False (last error set) when
// any of them cannot be opened or synced; the rest are still synced.
bool FilesSync(const std::vector<std::string>& paths);
// True when `path` is a directory itself (not a link to one), owned by the
// calling process's user and closed to everybody else; else false with
// ERROR_ACCESS_DENIED (or the error of the look-up) as the last error.
bool DirectoryIsPrivate(const std::string& path);

// Puts on disk, in one step for any number of callers' files, what was
// written in and below one directory: file data and the names created,
// renamed or removed there. Opened before the writes it is to cover, so that
// a write error that happens meanwhile is reported by the next Sync.
//  - POSIX: for several files the file system that holds the directory is
//    synced as a whole (syncfs), which costs one journal commit and one cache
//    flush however many files are dirty, where a sync per file costs a flush
//    each; it reports any write error on that file system since the last
//    Sync. One file (or none) is synced on its own, then the directory.
//    Kernels before 5.17 do not report every error of syncfs (those of the
//    file system's own commit and cache flush are dropped): there each file
//    and the directory are always synced; so they are once the directory's
//    path names another directory than the one opened (removed and made
//    again, or another mount), or when the directory was opened after the
//    writes it is to cover (`openedFirst` false), and a Sync fails while the
//    path names none.
//  - Windows: each file is flushed (FlushFileBuffers, opened by name), then
//    the directory (DirectorySync).
// Thread-safe; a Sync waits for the disk.
class CVolumeSync {
 public:
  explicit CVolumeSync(std::string directory, bool openedFirst = true);
  CVolumeSync(const CVolumeSync&) = delete;
  CVolumeSync& operator=(const CVolumeSync&) = delete;
  ~CVolumeSync();

  // The data of `files` (in the directory or below it) and the directory's
  // names on disk. False (last error set) when any of it may not be.
  bool Sync(const std::vector<std::string>& files);
  const std::string& Directory() const { return m_Directory; }

 private:
  std::string m_Directory;
  std::intptr_t m_Fd = -1;  // the directory, held open from construction on (POSIX); owned
  bool m_OpenedFirst;       // before any write it covers: its syncfs errors can be trusted
};

// True where a group sync (CVolumeSync, FilesSync) opens each file by name to
// flush it (Windows). A writer that holds its file open then flushes it
// itself (CFile::Sync) and leaves it out of the group: another program that
// holds the file without sharing writes (a virus scanner) would make the open
// by name fail. False on POSIX, where syncfs reaches every file of the volume
// without opening it, one commit for them all.
extern const bool kGroupSyncOpensFiles;

// Why `directory` (absolute, with or without its final separator) cannot be
// the gateway's program directory as far as its name and volume tell, in
// words for an administrator; "" when it can. Windows: a drive letter or a
// UNC share, not a drive mapped to a network share (a mapped drive belongs
// to one user's logon, not to a service). POSIX: a path from the root.
std::string ProgramDirectoryProblem(const std::string& directory);
// The name of the file system that holds `path` ("NTFS", "FAT32", "ext4"),
// "" when it cannot be told.
std::string FileSystemName(const std::string& path);

// Whether syncfs on the kernel of this release text ("6.1.0-13-amd64")
// reports every write error: 5.17 and later.
bool SyncfsReportsAllErrors(const char* release);
