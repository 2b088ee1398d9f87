// host/EventLog.h: the gateway's reports to the system's event log under the
// source "Corvane SMTP Server".
//
// Event IDs: 420 installed, 421 removed, 422 not removed, 423 control handler
// not registered, 428 stopping (information or error as listed), 432 an
// attachment not encoded, 435 an outbound message not delivered. Callers pass
// the service name as text 1. Any thread.
#pragma once

#include <cstdint>

constexpr const char kEventSourceName[] = "Corvane SMTP Server";

// Reports the event with the texts that are not null, in order: nonzero when
// reported, 0 when the event source could not be registered.
int ReportServiceEvent(std::uint16_t type, std::uint32_t eventId, const char* text1, const char* text2,
                       const char* text3);
