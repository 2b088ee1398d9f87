// smtpin/RateLimits.cpp: the hourly counts (see the header).
//
// Threading: every member under m_Mutex.
#include "smtpin/RateLimits.h"

void CRateLimits::Roll(CClock::time_point now) {
  if (m_Open && now - m_WindowStart < std::chrono::milliseconds(m_WindowMs)) return;
  m_Open = true;
  m_WindowStart = now;
  m_Mails.clear();
  m_FaxRecipients = 0;
}

bool CRateLimits::TakeMail(std::uint32_t client, std::uint32_t limit) {
  if (limit == 0) return true;
  std::lock_guard<std::mutex> lock(m_Mutex);
  Roll(CClock::now());
  const auto found = m_Mails.find(client);
  if (found == m_Mails.end()) {
    if (m_Mails.size() < kMaxClients) m_Mails.emplace(client, 1);
    return true;
  }
  if (found->second >= limit) return false;
  ++found->second;
  return true;
}

bool CRateLimits::TakeFaxRecipient(std::uint32_t limit, bool& reached) {
  reached = false;
  if (limit == 0) return true;
  std::lock_guard<std::mutex> lock(m_Mutex);
  Roll(CClock::now());
  if (m_FaxRecipients >= limit) return false;
  reached = ++m_FaxRecipients == limit;
  return true;
}
