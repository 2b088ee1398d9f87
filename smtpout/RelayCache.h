// smtpout/RelayCache.h: the mail exchangers of recently served receiver
// domains, kept for the time to live their name server gave them, so that a
// queue of mails to one domain costs one lookup instead of one per mail.
//
// Only what a name server vouched for is kept: an authoritative answer with at
// least one MX record and a time to live above 0 (0 means "do not keep").
// Times to live are capped, and so is the number of domains.
//
// Threading: none of its own; it belongs to the outbound main thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CRelayCache {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::uint32_t kLongestTtlSeconds = 3600;
  static constexpr std::size_t kMostDomains = 1000;

  // The exchangers kept for `domain` (case ignored), in the order they were
  // kept in (lowest preference first); false when none are kept or their
  // time is up.
  bool Find(std::string_view domain, Clock::time_point now, std::vector<std::string>& exchangers);
  // Keeps `exchangers` for `ttlSeconds` (capped) from `now`; a time to live
  // of 0 or an empty list forgets the domain instead.
  void Keep(std::string_view domain, std::vector<std::string> exchangers, std::uint32_t ttlSeconds,
            Clock::time_point now);
  // None of the kept exchangers took a connection: ask again next time.
  void Forget(std::string_view domain);
  std::size_t Size() const { return m_Entries.size(); }

 private:
  struct Entry {
    std::vector<std::string> exchangers;
    Clock::time_point expires;
  };
  void MakeRoom(Clock::time_point now);

  std::unordered_map<std::string, Entry> m_Entries;  // key: the domain in lower case
};
