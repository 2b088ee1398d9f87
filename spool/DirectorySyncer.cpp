// spool/DirectorySyncer.cpp: group directory syncs.
//
// Threading: m_Mutex guards the counters; the sync itself runs without it, on
// the thread of one of the callers.
#include "spool/DirectorySyncer.h"

#include "platform/File.h"

bool CDirectorySyncer::Sync() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  const std::uint64_t ticket = ++m_Requested;
  for (;;) {
    if (m_Covered >= ticket) return true;
    if (m_Failed >= ticket) {
      PlatformSetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    if (!m_Running) break;
    m_Done.wait(lock);
  }
  // This thread syncs for every call made so far: each of them came before
  // the sync begins.
  m_Running = true;
  const std::uint64_t upTo = m_Requested;
  lock.unlock();
  const bool ok = DirectorySync(m_Directory);
  const DWORD error = PlatformGetLastError();
  lock.lock();
  m_Running = false;
  if (ok) {
    m_Covered = upTo;
  } else {
    m_Failed = upTo;
  }
  m_Done.notify_all();
  if (!ok) PlatformSetLastError(error);
  return ok;
}
