// log/EventLog.cpp: ReportServiceEvent over the platform's system log.
//
// Threading: none of its own; the platform call is thread-safe.
#include "log/EventLog.h"

#include <vector>

int ReportServiceEvent(std::uint16_t type, GatewayEvent event, std::initializer_list<const char*> texts) {
  const std::vector<const char*> strings(texts);
  return PlatformReportEvent(kEventSourceName, type, static_cast<std::uint32_t>(event), strings.data(),
                             static_cast<int>(strings.size()))
             ? 1
             : 0;
}
