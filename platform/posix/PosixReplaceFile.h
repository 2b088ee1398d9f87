// platform/posix/PosixReplaceFile.h: the POSIX backend's whole-file helpers:
// writing a buffer out, the directory of a path, and replacing a file in one
// step (a new file under a temporary name, synced, renamed over the old one,
// the directory synced), as the hive and the unit file are written.
//
// The fault seam's create, write, sync and rename rules apply to each step.
// Any thread; one replacement of a given file at a time (the caller's lock).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// Writes all `size` bytes to `fd`, again after a signal. 0 or the errno (EIO
// for a write that made no progress).
int PosixWriteAll(int fd, const char* data, std::size_t size);

// The directory that holds `path`: "." for a bare name, "/" for a name in the
// root; trailing '/' are ignored ("dir/" names dir itself).
std::string PosixDirectoryOf(const std::string& path);

// fsync of the directory that holds `path`, so that a rename in it survives a
// crash. 0 or the errno.
int PosixSyncDirectoryOf(const std::string& path);

struct CPosixReplaceOutcome {
  int err = 0;           // the first failure's errno, 0 when every step went well
  bool created = false;  // the temporary file was made (else err is about its name)
  bool placed = false;   // the rename happened: `path` has the new text (err may be the directory sync's)
  bool statted = false;  // `st` holds the new file's status after the rename
  struct stat st {};
};

// Replaces `path` with `text`: a file left at `temporary` by a killed writer is
// removed, never written into (someone may hold a link to it); a new one is
// made (0644, then `prepare(fd)`, e.g. to give it the old file's mode),
// written, synced and renamed over `path`; then the directory is synced. The
// temporary name is gone afterwards unless it became `path`.
CPosixReplaceOutcome PosixReplaceFile(const std::string& path, const std::string& temporary,
                                      std::string_view text, const std::function<void(int fd)>& prepare);
