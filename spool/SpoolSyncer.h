// spool/SpoolSyncer.h: the disk syncs of the spool directory, shared by every
// thread that needs one at about the same time.
//
// A session that is to acknowledge a mail, and a hand-off that is to complete
// a submission, call Sync with the files they wrote and return once a sync
// that began after their call (and covered their files) has completed. Calls
// made while a sync runs are served together by the next one, so with many
// sessions and hand-offs the disk sees about one sync per disk write, not one
// per caller (on POSIX one journal commit, see CVolumeSync).
//
// Thread-safe; the object lives as long as its users.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/File.h"

class CSpoolSyncer {
 public:
  // `directory` without its final separator; opened now (see CVolumeSync).
  explicit CSpoolSyncer(std::string directory) : m_Volume(std::move(directory)) {}
  CSpoolSyncer(const CSpoolSyncer&) = delete;
  CSpoolSyncer& operator=(const CSpoolSyncer&) = delete;

  // True when a sync that began after this call, and covered `files` and the
  // directory's names, succeeded; false (last error set) when it failed.
  bool Sync(const std::vector<std::string>& files);
  const std::string& Directory() const { return m_Volume.Directory(); }

 private:
  CVolumeSync m_Volume;
  std::mutex m_Mutex;
  std::condition_variable m_Done;
  std::vector<std::string> m_Pending;  // guarded by m_Mutex: files of the calls waiting for a sync
  std::uint64_t m_Requested = 0;       // guarded by m_Mutex: calls so far
  std::uint64_t m_Covered = 0;         // guarded by m_Mutex: calls covered by a finished sync
  std::uint64_t m_Failed = 0;          // guarded by m_Mutex: calls whose covering sync failed, up to here
  DWORD m_FailedError = 0;             // guarded by m_Mutex: that sync's error
  bool m_Running = false;              // guarded by m_Mutex
};
