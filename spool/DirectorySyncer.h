// spool/DirectorySyncer.h: syncs of one directory, shared by every thread
// that needs one at about the same time.
//
// A thread that has created or renamed files in the directory calls Sync and
// returns once a directory sync that began after its call has completed, so
// its names are on disk. Threads that call while a sync runs are served
// together by the next one: with many sessions, the cost is about one sync
// per disk write, not one per caller.
//
// Thread-safe; the object lives as long as its users.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

class CDirectorySyncer {
 public:
  explicit CDirectorySyncer(std::string directory) : m_Directory(std::move(directory)) {}
  CDirectorySyncer(const CDirectorySyncer&) = delete;
  CDirectorySyncer& operator=(const CDirectorySyncer&) = delete;

  // True when a sync that began after this call succeeded; false (last error
  // set) when the sync that was to cover it failed.
  bool Sync();
  const std::string& Directory() const { return m_Directory; }

 private:
  const std::string m_Directory;
  std::mutex m_Mutex;
  std::condition_variable m_Done;
  std::uint64_t m_Requested = 0;  // guarded by m_Mutex: calls so far
  std::uint64_t m_Covered = 0;    // guarded by m_Mutex: calls covered by a finished sync
  std::uint64_t m_Failed = 0;     // guarded by m_Mutex: calls whose covering sync failed, up to here
  bool m_Running = false;         // guarded by m_Mutex
};
