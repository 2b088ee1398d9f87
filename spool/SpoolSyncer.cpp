// spool/SpoolSyncer.cpp: group syncs of the spool directory.
//
// Threading: m_Mutex guards the counters and the pending files; the sync
// itself runs without it, on the thread of one of the callers.
#include "spool/SpoolSyncer.h"

bool CSpoolSyncer::Sync(const std::vector<std::string>& files) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  const std::uint64_t ticket = ++m_Requested;
  m_Pending.insert(m_Pending.end(), files.begin(), files.end());
  for (;;) {
    // A later sync that succeeded covers a call whose own sync failed.
    if (m_Covered >= ticket) return true;
    if (m_Failed >= ticket) {
      PlatformSetLastError(m_FailedError);
      return false;
    }
    if (!m_Running) break;
    m_Done.wait(lock);
  }
  // This thread syncs for every call made so far: each came before the sync
  // begins, and their files are all in m_Pending.
  m_Running = true;
  const std::uint64_t upTo = m_Requested;
  std::vector<std::string> batch = std::move(m_Pending);
  m_Pending.clear();
  lock.unlock();
  const bool ok = m_Volume.Sync(batch);
  const DWORD error = PlatformGetLastError();
  lock.lock();
  m_Running = false;
  if (ok) {
    m_Covered = upTo;
  } else {
    m_Failed = upTo;
    m_FailedError = error;
  }
  m_Done.notify_all();
  if (!ok) PlatformSetLastError(error);
  return ok;
}
