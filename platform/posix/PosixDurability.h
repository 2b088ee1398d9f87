// platform/posix/PosixDurability.h: the test build's record of what this
// process's file operations have made durable, and the power cut that undoes
// the rest (the "power" rules of platform/FaultInjection.h).
//
// Armed by CVSMTPGW_POWER_CUT_DIRS (directories, ':' between them) in a build
// that honours CVSMTPGW_FAULTS; the record covers those directories and
// everything below them, and takes what is there when it is armed as durable.
// From then on it follows the rules a journaled file system promises and no
// more, as the fault-injection file systems of LevelDB and RocksDB do:
//  - a file's data are durable as they were at its last successful fsync, or
//    the last successful syncfs of its file system;
//  - a directory's names (creates, links, renames, removals) are durable as
//    they were at the directory's last fsync, or such a syncfs;
//  - a failed sync loses the data it was to write (a write-back error: the
//    pages are dropped, a later sync does not bring them back) until the file
//    is emptied and written again.
// The power cut puts every covered directory back to its durable names, each
// file to its durable data (names of one file stay one file), and kills the
// process at once.
//
// Threading: one recursive mutex, held by every guarded operation from before
// its system call until its record is updated, and by the power cut for good.
// Unarmed, a guard costs one atomic load.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Held by every operation that creates, renames, links, removes, truncates
// or syncs a file or directory, so that a power cut never sees one half done.
class CDurabilityGuard {
 public:
  CDurabilityGuard();
  ~CDurabilityGuard();
  CDurabilityGuard(const CDurabilityGuard&) = delete;
  CDurabilityGuard& operator=(const CDurabilityGuard&) = delete;

 private:
  bool m_Held;
};

// What a sync is about to put on disk, taken under the guard before the
// system call. Commit when the sync succeeded, Lose when it failed.
class CDurabilityCapture {
 public:
  CDurabilityCapture() = default;
  // The data of the file or the names of the directory at `path`.
  static CDurabilityCapture OfPath(const std::string& path);
  // The data of an open file.
  static CDurabilityCapture OfDescriptor(int fd);
  // Everything covered that lies on the file system of `directory` (syncfs).
  static CDurabilityCapture OfVolume(const std::string& directory);
  void Commit() const;
  void Lose() const;

  // A file of the record by number (names of one file share it), its data.
  struct CFileData {
    std::uint64_t file = 0;
    std::string data;
  };
  // A name in a directory: a file of the record, or a directory (file 0).
  struct CName {
    std::string name;
    std::uint64_t file = 0;
  };
  struct CDirectoryNames {
    std::string path;
    std::vector<CName> names;
  };
  std::vector<CFileData> files;
  std::vector<CDirectoryNames> directories;
};

// The file `path` is about to lose a name (unlink, or a rename over it):
// call before, under the guard; after the operation succeeded, call
// DurabilityNameGone with the token, so that a new file that gets its inode
// number is not taken for it.
std::uint64_t DurabilityLastName(const std::string& path);
void DurabilityNameGone(std::uint64_t token);
// The open file was emptied (O_TRUNC, ftruncate): what a failed sync lost is
// written anew from here on.
void DurabilityTruncated(int fd);
