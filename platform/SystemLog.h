// platform/SystemLog.h: the system's event log, where the gateway reports the
// few events an administrator must see (installation, stops, undeliverable
// mail).
//
// On Windows this is the application event log (RegisterEventSourceA,
// ReportEventA); with CVSMTPGW_EVENT_COPY set, each event is also appended as
// a line "<source>: event <id> type <type>: <insertion strings>" to that file.
// On POSIX it is syslog: one datagram to the local syslog
// socket ($CVSMTPGW_SYSLOG_SOCKET, else /dev/log) with the source as the
// ident, an error as LOG_ERR, a warning as LOG_WARNING and anything else as LOG_INFO, and the text
// "event <id>: <insertion strings>". Mail-log lines (PlatformWriteMailLog)
// go the same way with the facility mail, as LOG_INFO; on Windows to a daily
// file <directory>\MailLog\YYYYMMDD.log, files older than 30 days removed.
// A syslog socket that is missing or does
// not answer is no error: the event is simply not kept. Thread-safe.
#pragma once

#include <cstdint>

constexpr std::uint16_t kEventTypeError = 1;        // EVENTLOG_ERROR_TYPE
constexpr std::uint16_t kEventTypeWarning = 2;      // EVENTLOG_WARNING_TYPE
constexpr std::uint16_t kEventTypeInformation = 4;  // EVENTLOG_INFORMATION_TYPE

// Reports one event of `source` with `count` insertion strings (nulls are
// skipped). False only when the event source cannot be registered at all.
bool PlatformReportEvent(const char* source, std::uint16_t type, std::uint32_t eventId,
                         const char* const* strings, int count);

// One line of the mail log (made printable here). `directory` is where the
// daily files go on Windows (the program directory); unused on POSIX. Never
// fails the caller: a line that cannot be kept is lost.
void PlatformWriteMailLog(const char* source, const char* directory, const char* text);
