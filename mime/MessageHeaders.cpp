// mime/MessageHeaders.cpp: MessageDate and NewMessageId.
//
// Threading: the identifier's counter is atomic; its random source is made
// once and drawn from under a mutex.
#include "mime/MessageHeaders.h"

#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>

#include "platform/System.h"

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

std::uint64_t RandomBits() {
  static std::mutex mutex;
  static std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  std::scoped_lock lock(mutex);
  return generator();
}

}  // namespace

std::string MessageDate(std::time_t when) {
  std::tm local{};
  if (!LocalTime(when, local)) return "Thu, 1 Jan 1970 00:00:00 +0000";
  // The offset is what the local fields say less what the clock says.
  const std::int64_t localSeconds =
      DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                    static_cast<unsigned>(local.tm_mday)) *
          86400 +
      local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  const std::int64_t offsetMinutes = (localSeconds - static_cast<std::int64_t>(when)) / 60;
  const std::int64_t size = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %d %02d:%02d:%02d %c%02d%02d", kDays[local.tm_wday % 7],
                local.tm_mday, kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                local.tm_sec, offsetMinutes < 0 ? '-' : '+', static_cast<int>(size / 60 % 100),
                static_cast<int>(size % 60));
  return text;
}

std::string NewMessageId(std::string_view host) {
  static std::atomic<std::uint64_t> counter{0};
  std::string right;
  for (const char c : host) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.')
      right += c;
  }
  while (!right.empty() && right.front() == '.') right.erase(0, 1);
  while (!right.empty() && right.back() == '.') right.pop_back();
  if (right.empty()) right = "localhost";
  std::int64_t seconds = 0;
  int milliseconds = 0;
  SystemTimeNow(seconds, milliseconds);
  char left[96];
  std::snprintf(left, sizeof left, "%" PRId64 ".%03d.%" PRIu64 ".%016" PRIx64, seconds, milliseconds,
                counter.fetch_add(1) + 1, RandomBits());
  return "<" + std::string(left) + "@" + right + ">";
}
