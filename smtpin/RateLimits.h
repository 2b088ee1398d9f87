// smtpin/RateLimits.h: the hourly limits of the inbound server: mails per
// client address (ClientMailLimit) and fax recipients of the whole gateway
// (FaxRecipientLimit).
//
// The counts live in memory, in one window of an hour that starts with the
// first count after the last window ended; when it has passed, every count
// starts again at 0. The limits themselves come with each call, from the
// settings the session holds, so a reload applies to the next mail.
//
// Threading: any thread; one mutex guards the counts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

class CRateLimits {
 public:
  static constexpr std::uint32_t kHourMs = 60 * 60 * 1000;
  // Client addresses counted in one window; a flood of more is let through
  // uncounted rather than let the table grow without end.
  static constexpr std::size_t kMaxClients = 65536;

  explicit CRateLimits(std::uint32_t windowMs = kHourMs) : m_WindowMs(windowMs) {}

  // Counts one mail of `client` (host byte order). False, counting nothing,
  // when it already sent `limit` this hour; a limit of 0 is none.
  bool TakeMail(std::uint32_t client, std::uint32_t limit);
  // Counts one fax recipient. False when `limit` were taken this hour.
  // `reached` is set once per window: when this call took the last one.
  bool TakeFaxRecipient(std::uint32_t limit, bool& reached);

 private:
  using CClock = std::chrono::steady_clock;
  void Roll(CClock::time_point now);  // m_Mutex held

  const std::uint32_t m_WindowMs;
  std::mutex m_Mutex;
  bool m_Open = false;  // a window runs
  CClock::time_point m_WindowStart{};
  std::unordered_map<std::uint32_t, std::uint32_t> m_Mails;  // client -> mails this window
  std::uint32_t m_FaxRecipients = 0;
};
