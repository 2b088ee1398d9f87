// smtpout/SmartHost.cpp: the SmartHost value's forms (see the header).
//
// Threading: no state.
#include "smtpout/SmartHost.h"

bool ParseSmartHost(std::string_view text, int defaultPort, CSmartHost& out, std::string& error) {
  CSmartHost parsed;
  parsed.port = defaultPort;
  std::string_view rest = text;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      error = "a \"[\" without its \"]\"";
      return false;
    }
    parsed.host = std::string(rest.substr(1, close - 1));
    parsed.direct = true;
    rest.remove_prefix(close + 1);
    if (!rest.empty() && rest.front() != ':') {
      error = "text after \"]\" that is no port";
      return false;
    }
  } else {
    const std::size_t colon = rest.find(':');
    parsed.host = std::string(rest.substr(0, colon));
    rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon);
  }
  if (!rest.empty()) {
    const std::string_view digits = rest.substr(1);
    long port = 0;
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string_view::npos) {
      error = "the port is not a number";
      return false;
    }
    for (const char c : digits) port = port * 10 + (c - '0');
    if (port < 1 || port > 65535) {
      error = "the port is not 1 to 65535";
      return false;
    }
    parsed.port = static_cast<int>(port);
  }
  if (parsed.host.empty() || parsed.host.find_first_of(" \t[]:") != std::string::npos) {
    error = "no host name";
    return false;
  }
  out = std::move(parsed);
  return true;
}
