// smtpout/DeliveryState.cpp: CDeliverySchedule. Threading: see DeliveryState.h.
#include "smtpout/DeliveryState.h"

#include <algorithm>
#include <set>

void CDeliverySchedule::KeepOnly(const std::vector<std::string>& present) {
  if (m_Messages.empty()) return;
  const std::set<std::string> names(present.begin(), present.end());
  std::erase_if(m_Messages, [&](const auto& entry) { return names.count(entry.first) == 0; });
}

bool CDeliverySchedule::Due(const std::string& name, Clock::time_point now) const {
  const auto found = m_Messages.find(name);
  return found == m_Messages.end() || (!found->second.done && found->second.next <= now);
}

CDeliverySchedule::Clock::duration CDeliverySchedule::DelayAfter(int attempts) const {
  const int index = std::clamp(attempts, 1, kAttempts - 1) - 1;
  return m_Minute * kDelayMinutes[index];
}

int CDeliverySchedule::Failed(const std::string& name, Clock::time_point now) {
  State& state = m_Messages[name];
  ++state.attempts;
  state.next = now + DelayAfter(state.attempts);
  return state.attempts;
}

void CDeliverySchedule::Defer(const std::string& name, Clock::time_point until) {
  m_Messages[name].next = until;
}

void CDeliverySchedule::Done(const std::string& name) { m_Messages[name].done = true; }

int CDeliverySchedule::Attempts(const std::string& name) const {
  const auto found = m_Messages.find(name);
  return found == m_Messages.end() ? 0 : found->second.attempts;
}

std::optional<CDeliverySchedule::Clock::time_point> CDeliverySchedule::NextDue() const {
  std::optional<Clock::time_point> next;
  for (const auto& [name, state] : m_Messages) {
    if (!state.done && (!next || state.next < *next)) next = state.next;
  }
  return next;
}
