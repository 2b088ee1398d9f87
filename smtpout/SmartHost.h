// smtpout/SmartHost.h: the relay host that takes every outbound mail when
// SmartHost is set, written as "host", "host:port" or "[host]" / "[host]:port".
// A name in brackets is connected to as it stands; one without is looked up
// for its mail exchangers first, as a receiver domain would be.
//
// Threading: no state.
#pragma once

#include <string>
#include <string_view>

struct CSmartHost {
  std::string host;       // without brackets
  int port = 25;
  bool direct = false;    // written in brackets: no MX lookup
};

// False with `error` when `text` is no such form (an empty host, a port that
// is not 1 to 65535, an unclosed bracket, a space).
bool ParseSmartHost(std::string_view text, int defaultPort, CSmartHost& out, std::string& error);
