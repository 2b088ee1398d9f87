// host/ServiceInstall.h: installation and removal of the service (-i, -u).
//
// Called from the entry on the main thread only; each reports to the user
// itself (ShowUserMessage) and reports its event (420, 421, 422), and says
// whether it succeeded: the process's exit status, so that a script can tell.
#pragma once

#include "platform/ServiceInstaller.h"

// The service's name, display name and event source.
constexpr const char kServiceName[] = "Corvane SMTP Server";
// The same without spaces, where the system wants one word (a systemd unit,
// the service's account): the program's own name.
constexpr const char kServiceShortName[] = "cvsmtpgw";

bool InstallService();  // also prints the firewall command that lets mail in
bool RemoveService();

// The gateway as a service: `programPath` and the directories it writes to,
// as the settings name them now (ProgramPath, the directories of the debug logs).
CServiceDefinition GatewayServiceDefinition(const std::string& programPath);
