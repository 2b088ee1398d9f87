// host/EventLog.cpp: ReportServiceEvent over the platform's event log.
//
// Threading: none of its own; the platform call is thread-safe.
#include "host/EventLog.h"

#include "platform/EventLog.h"

int ReportServiceEvent(std::uint16_t type, std::uint32_t eventId, const char* text1, const char* text2,
                       const char* text3) {
  const char* const texts[] = {text1, text2, text3};
  return PlatformReportEvent(kEventSourceName, type, eventId, texts, 3) ? 1 : 0;
}
