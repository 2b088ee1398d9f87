// smtpout/RelayCache.cpp: CRelayCache. Threading: see RelayCache.h.
#include "smtpout/RelayCache.h"

#include <algorithm>

#include "base/Text.h"

namespace {

std::string Key(std::string_view domain) {
  std::string key(domain);
  for (char& c : key) c = AsciiLower(c);
  return key;
}

}  // namespace

bool CRelayCache::Find(std::string_view domain, Clock::time_point now, std::vector<std::string>& exchangers) {
  const auto found = m_Entries.find(Key(domain));
  if (found == m_Entries.end()) return false;
  if (now >= found->second.expires) {
    m_Entries.erase(found);
    return false;
  }
  exchangers = found->second.exchangers;
  return true;
}

void CRelayCache::Keep(std::string_view domain, std::vector<std::string> exchangers, std::uint32_t ttlSeconds,
                       Clock::time_point now) {
  if (ttlSeconds == 0 || exchangers.empty()) {
    Forget(domain);
    return;
  }
  std::string key = Key(domain);
  if (m_Entries.find(key) == m_Entries.end()) MakeRoom(now);
  const auto lifetime = std::chrono::seconds(std::min(ttlSeconds, kLongestTtlSeconds));
  m_Entries[std::move(key)] = Entry{std::move(exchangers), now + lifetime};
}

void CRelayCache::Forget(std::string_view domain) { m_Entries.erase(Key(domain)); }

// Below the bound again: first every entry whose time is up, then, if all are
// still valid, the one that would expire first.
void CRelayCache::MakeRoom(Clock::time_point now) {
  if (m_Entries.size() < kMostDomains) return;
  std::erase_if(m_Entries, [now](const auto& entry) { return now >= entry.second.expires; });
  if (m_Entries.size() < kMostDomains) return;
  const auto soonest = std::min_element(m_Entries.begin(), m_Entries.end(), [](const auto& a, const auto& b) {
    return a.second.expires < b.second.expires;
  });
  m_Entries.erase(soonest);
}
