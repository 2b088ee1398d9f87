// platform/DirectoryWatch.h: a wait that ends as soon as a file whose name
// matches a pattern appears in one directory (moved in, or written and
// closed), so that a directory can be served the moment something arrives
// instead of at its next poll.
//
// POSIX: inotify (IN_MOVED_TO, IN_CLOSE_WRITE). Windows:
// ReadDirectoryChangesW (names added, renamed to, or written; a file still
// being written is held by its writer, whose share mode keeps readers out).
// Where no watch
// can be had (Open false, or the directory replaced and not watchable again)
// Wait is a plain wait that Wake still ends: the caller's poll interval then
// is the only way to notice a new file.
//
// Threading: Open and Wait on one thread (the owner's); Wake from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class CDirectoryWatch {
 public:
  CDirectoryWatch();
  CDirectoryWatch(const CDirectoryWatch&) = delete;
  CDirectoryWatch& operator=(const CDirectoryWatch&) = delete;
  ~CDirectoryWatch();

  // Watches `directory` for names matching `pattern` (FindFiles' wildcards,
  // case ignored). False (last error set) when it cannot be watched.
  bool Open(const std::string& directory, const char* pattern);
  bool IsWatching() const;
  // Waits up to `milliseconds`: true when a matching name appeared or Wake was
  // called (since the last Wait, too), false when the time ran out.
  bool Wait(std::uint32_t milliseconds);
  // Ends the current or the next Wait at once.
  void Wake();

  struct Backend;  // the platform's part

 private:
  std::unique_ptr<Backend> m_Backend;
};
