// host/UserMessage.h: the few messages the gateway shows its user (start from
// a command prompt, installation, removal).
//
// A message box waits for someone to press OK. Under a service manager nobody
// can, so there the message goes to the debug log and to standard error (which
// the service manager keeps) and nothing waits. Without an interactive desktop
// (a service session, WinRM, PsExec, a deployment tool) nobody can either: the
// line goes to standard error and to the event log (event 426). Any thread.
#pragma once

// A message box (MB_OK_CODE, MB_ICONINFORMATION_CODE, ...); under a service
// manager one debug log entry and one line "caption: text" on standard error;
// without a desktop that line and event 426.
void ShowUserMessage(const char* text, const char* caption, unsigned flags);
