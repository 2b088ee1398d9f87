// platform/RawFile.h: the unbuffered calls on an open file that the shared
// text-mode stream (StdioFile.cpp) and CFile's loops (File.cpp) need from a
// backend: open, read, write, seek, size, sync, close. Everything above them (the
// buffer, the CR LF translation, the sticky errors, the loops) is written
// once, so files come out byte-identical on every platform.
//
// A RawFile is a descriptor on POSIX and a HANDLE on Windows, held as an
// integer. Failures leave the Windows code as the thread's last error.
// Any thread; one thread at a time per file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/File.h"

using RawFile = std::intptr_t;
constexpr RawFile kNoRawFile = -1;

struct CRawOpenMode {
  bool read = false;
  bool write = false;
  bool create = false;     // made when missing
  bool exclusive = false;  // with create: fails when the name is taken
  bool truncate = false;   // emptied when it exists
  bool append = false;     // every write goes to the end
};

// Opens `path` for the stream (no share restriction: the runtime's fopen
// shares with everyone). A directory is refused (EISDIR, ERROR_ACCESS_DENIED).
// kNoRawFile on failure, with errno set to the C library's code as fopen would.
RawFile RawOpen(const std::string& path, const CRawOpenMode& mode);
// One read: bytes read (0 at the end of the file), -1 on failure.
std::int64_t RawRead(RawFile file, void* buffer, std::size_t count);
// One write: bytes taken (maybe fewer than `count`), -1 on failure.
std::int64_t RawWrite(RawFile file, const char* data, std::size_t count);
// Writes all of `data`, RawWrite after RawWrite; false on failure. The same on
// every backend (File.cpp).
bool RawWriteFully(RawFile file, const char* data, std::size_t count);
// RawWriteFully for the stream: on Windows the appends of this process are
// made one at a time (Win32RawFile.cpp).
bool RawWriteAll(RawFile file, const char* data, std::size_t count);
// Moves the file position: the new position from the start, -1 on failure.
std::int64_t RawSeek(RawFile file, std::int64_t offset, FileSeek from);
std::int64_t RawSize(RawFile file);                  // bytes in the file, -1 on failure
bool RawSync(RawFile file);                          // the data on disk
bool RawIdentity(RawFile file, CFileIdentity& out);  // which file is open
bool RawClose(RawFile file);
// Sets the last error for a failure that the fault seam injected with `err`
// (an errno value), as this backend reports that errno.
void RawSetFaultError(int err);
