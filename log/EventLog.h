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
// Their texts are the message table of the Windows program (EventMessages.mc),
// where %1 is the service name and %2... the further texts in order.
enum class GatewayEvent : std::uint32_t {
  kInstalled = 420,                // information
  kRemoved = 421,                  // information
  kNotRemoved = 422,               // error
  kNoControlHandler = 423,         // error: the service control handler was not registered
  kNoListener = 424,               // error: the port, why it could not be opened
  kBadProgramPath = 425,           // error: the ProgramPath value, what is wrong with it
  kUserMessage = 426,              // a message of -i or -u without a desktop: its caption, its text
  kSettingIgnored = 427,           // warning: what is wrong with a registry value, passed over at start
  kStopping = 428,                 // information
  kAnyClient = 429,                // warning: ClientNetworks is not set, mail is taken from any client
  kBadAccessSetting = 430,         // error: the setting, the entry that does not parse (start stops; a reload keeps the old)
  kFaxLimitReached = 431,          // warning: FaxRecipientLimit reached, the limit
  kAttachmentNotEncoded = 432,     // error: the attachment's path or line
  kTlsUnusable = 433,              // error: the certificate or key file, why it cannot be used
  kMessageNotDelivered = 435,      // error: the old and the new path of the message, and why
  kRelayUnusable = 436,            // error: why the relay host takes no mail (credentials refused, no TLS)
};

// Every event with the number of texts its message uses (the service name
// included); a report with fewer gets empty ones, so that no message shows
// an insertion mark in place of a text.
struct CGatewayEventInfo {
  GatewayEvent event;
  int texts;
};
constexpr CGatewayEventInfo kGatewayEvents[] = {
    {GatewayEvent::kInstalled, 1},   {GatewayEvent::kRemoved, 1},
    {GatewayEvent::kNotRemoved, 1},  {GatewayEvent::kNoControlHandler, 1},
    {GatewayEvent::kNoListener, 3},  {GatewayEvent::kBadProgramPath, 3},
    {GatewayEvent::kUserMessage, 3}, {GatewayEvent::kSettingIgnored, 2},
    {GatewayEvent::kStopping, 1},    {GatewayEvent::kAnyClient, 1},
    {GatewayEvent::kBadAccessSetting, 3}, {GatewayEvent::kFaxLimitReached, 2},
    {GatewayEvent::kAttachmentNotEncoded, 2}, {GatewayEvent::kTlsUnusable, 2},
    {GatewayEvent::kMessageNotDelivered, 4},
    {GatewayEvent::kRelayUnusable, 2},
};

// Reports the event with the texts that are not null, in order: nonzero when
// reported, 0 when the event source could not be registered.
int ReportServiceEvent(std::uint16_t type, GatewayEvent event, std::initializer_list<const char*> texts);
