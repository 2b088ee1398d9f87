// host/UserMessage.h: the few messages the gateway shows its user (start from
// a command prompt, installation, removal).
//
// A message box waits for someone to press OK. Under a service manager nobody
// can, so there the message goes to the debug log and to standard error (which
// the service manager keeps) and nothing waits. Any thread.
#pragma once

// A message box (MB_OK_CODE, MB_ICONINFORMATION_CODE, ...), or under a service
// manager one debug log entry and one line "caption: text" on standard error.
void ShowUserMessage(const char* text, const char* caption, unsigned flags);
