// host/CommandLine.h: the mode the process runs in, chosen from its command line.
//
// Pure function of its argument; thread-safe.
#pragma once

#include <string>

enum class GatewayMode { kConsole, kInstall, kRemove, kService };

// Only the last two characters of the whole command line decide, after every
// double quote is removed and with "/" read as "-", ignoring case: -m console,
// -i install, -u remove, anything else service mode. The service manager's
// command line (the program path alone) thus selects service mode.
GatewayMode ChooseMode(const std::string& commandLine);
