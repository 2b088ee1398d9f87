// host/ManualResetEvent.h: an event that stays signalled once set, as a
// Windows manual-reset event does; the service's stop event.
//
// Any thread may Set and Wait; the object must outlive every caller.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/System.h"

class CManualResetEvent {
 public:
  CManualResetEvent() = default;
  CManualResetEvent(const CManualResetEvent&) = delete;
  CManualResetEvent& operator=(const CManualResetEvent&) = delete;

  void Set() {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Signalled = true;
    }
    m_Changed.notify_all();
  }

  // Waits up to `milliseconds` (kWaitForever: no limit); true once set.
  bool Wait(std::uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    const auto set = [this] { return m_Signalled; };
    if (milliseconds == kWaitForever) {
      m_Changed.wait(lock, set);
      return true;
    }
    return m_Changed.wait_for(lock, std::chrono::milliseconds(milliseconds), set);
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Changed;
  bool m_Signalled = false;  // guarded by m_Mutex
};
