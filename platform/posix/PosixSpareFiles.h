// platform/posix/PosixSpareFiles.h: files retired by FileRetire, kept empty
// for the next creation in the same directory.
//
// On ext4 without a journal every new inode is searched for past all inodes
// freed in the last minutes, so a spool that creates and deletes files for
// every mail slows down the longer it runs. A retired file is renamed into the
// private subdirectory ".spare" of its directory and emptied; the next file
// created there by CFile or CStdioFile is that file renamed back. Any thread.
#pragma once

#include <sys/types.h>

#include <string>

// Moves a spare of `path`'s directory to `path` if `path` does not exist: true
// when `path` is now an empty file of ours with the current time, false when
// there is no spare or `path` exists (then nothing changed).
// `filled`: a spare that kept its bytes (FileRetireForOverwrite) instead.
bool AdoptSpareFile(const std::string& path, bool filled = false);

// Creates `path`, which must not exist (as open with O_CREAT | O_EXCL added to
// `flags`), from a spare when there is one: a descriptor, or -1 and errno
// (EEXIST when `path` exists).
// `overwrite`: the file may be a spare that kept its bytes (FileRetireForOverwrite).
int CreateNewFile(const std::string& path, int flags, mode_t mode, bool overwrite = false);

// open(2) with `flags` (close-on-exec added), where O_CREAT creates through
// CreateNewFile: a descriptor, or -1 and errno.
int OpenOrCreateFile(const std::string& path, int flags, mode_t mode);
