// smtpout/DeliveryState.h: what the deliverer knows about each message file
// in IN: how many attempts it has had, when the next is due, and whether it
// is done with (delivered, or given its error name) although its file is
// still there because it could not be deleted or renamed.
//
// A message gets five attempts: at once, then 1, 5, 15 and 60 minutes after
// the one before; a message that waits never holds up the others. The state
// lives in memory only: a restart may begin a message's count again. Names
// that have left IN are forgotten, so a new file under an old name starts
// afresh.
//
// Threading: none of its own; it belongs to the outbound main thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

class CDeliverySchedule {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kAttempts = 5;
  // The wait after each failed attempt but the last, in minutes.
  static constexpr int kDelayMinutes[kAttempts - 1] = {1, 5, 15, 60};

  // `minute`: how long a minute of the schedule lasts (shorter in tests).
  explicit CDeliverySchedule(std::chrono::milliseconds minute = std::chrono::minutes(1)) : m_Minute(minute) {}

  // Forgets every message whose name is not in `present` (names in IN now).
  void KeepOnly(const std::vector<std::string>& present);
  // True when `name` may be tried at `now`: not done, and its time has come.
  bool Due(const std::string& name, Clock::time_point now) const;
  // A failed attempt of `name` at `now`: the attempts made so far (kAttempts
  // or more: the message is to be given up).
  int Failed(const std::string& name, Clock::time_point now);
  // `name` is not looked at again before `until` (no attempt counted).
  void Defer(const std::string& name, Clock::time_point until);
  // `name` is done with but still in IN: never tried again while it stays.
  void Done(const std::string& name);
  void Forget(const std::string& name) { m_Messages.erase(name); }
  int Attempts(const std::string& name) const;
  // The earliest time a waiting message becomes due; none when nothing waits.
  std::optional<Clock::time_point> NextDue() const;
  // The wait after the attempt numbered `attempts` (1 for the first).
  Clock::duration DelayAfter(int attempts) const;
  std::size_t Size() const { return m_Messages.size(); }

 private:
  struct State {
    int attempts = 0;
    Clock::time_point next{};
    bool done = false;
  };
  std::chrono::milliseconds m_Minute;
  std::map<std::string, State> m_Messages;  // by file name in IN
};
