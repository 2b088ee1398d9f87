// platform/posix/PosixHiveFile.h: the hive file on disk, without any state of
// the process's: reading it, replacing it whole, and telling whether the file
// a name stands for changed. PosixRegistry.cpp calls these under its locks;
// they are safe from any thread as long as one replacement of a hive runs at a
// time (the temporary name is fixed).
#pragma once

#include <sys/stat.h>

#include <string>

// The status of the file a path names, or that there is none. Anyone else's
// write or rename gives the name a new change time, inode or size.
struct CHiveFileState {
  bool exists = false;
  struct stat st = {};

  static CHiveFileState Of(const std::string& path);
  // The same file, unchanged, as far as the status tells. (A hand edit that
  // kept the inode, size and both times would go unseen; an editor's write
  // changes at least the change time.)
  bool Same(const CHiveFileState& other) const;
};

// Reads the hive file at `path`: ERROR_SUCCESS with its bytes in `text` (or
// with `tooBig` and no text when it is larger than any hive of ours),
// ERROR_FILE_NOT_FOUND when there is none, ERROR_BADDB when it is not a regular
// file, or the read error. `locked`: nobody can replace the file meanwhile, so
// one read is enough; otherwise it is read until two reads agree. `state` gets
// the status of the file read.
long HiveFileRead(const std::string& path, bool locked, std::string& text, bool& tooBig,
                  CHiveFileState& state);

// Replaces the hive at `path` with `text`: writes a new "<path>.new", syncs it,
// renames it over the hive and syncs the directory, so that a crash at any
// point leaves the old hive or the new one, whole. `current` is the hive's
// status before (the new file takes its mode, and its owner where we may).
// ERROR_SUCCESS only once all of it is on disk; else the error of the step that
// failed. `after` is the new file's status once the rename is done, also when
// the directory sync after it fails (the new file is then the hive, but not
// known to stay so after a crash). Each step asks the fault seam first.
long HiveFileReplace(const std::string& path, const std::string& text, const CHiveFileState& current,
                     CHiveFileState& after);
