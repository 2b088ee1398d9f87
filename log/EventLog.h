// log/EventLog.h: the gateway's reports to the system's event log under the
// source "Corvane SMTP Server", beside the debug log: the few things an
// administrator must see without turning the debug log on.
//
// Callers pass the service name as the first text. Any thread.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "platform/SystemLog.h"

constexpr const char kEventSourceName[] = "Corvane SMTP Server";

// The events the gateway reports; the numbers are what administrators filter on.
enum class GatewayEvent : std::uint32_t {
  kInstalled = 420,                // information
  kRemoved = 421,                  // information
  kNotRemoved = 422,               // error
  kNoControlHandler = 423,         // error: the service control handler was not registered
  kStopping = 428,                 // information
  kAttachmentNotEncoded = 432,     // error: the attachment's path or line
  kMessageNotDelivered = 435,      // error: the old and the new path of the message, and why
};

// Reports the event with the texts that are not null, in order: nonzero when
// reported, 0 when the event source could not be registered.
int ReportServiceEvent(std::uint16_t type, GatewayEvent event, std::initializer_list<const char*> texts);
