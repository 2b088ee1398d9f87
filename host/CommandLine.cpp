// host/CommandLine.cpp: choosing the mode from the command line (see the header).
#include "host/CommandLine.h"

#include <cctype>

namespace {

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return i == a.size() && b[i] == '\0';
}

}  // namespace

GatewayMode ChooseMode(const std::string& commandLine) {
  std::string text;
  text.reserve(commandLine.size());
  for (char c : commandLine) {
    if (c != '"') text += c;
  }
  std::string last = text.size() > 2 ? text.substr(text.size() - 2) : text;
  for (char& c : last) {
    if (c == '/') c = '-';
  }
  if (EqualsIgnoringCase(last, "-m")) return GatewayMode::kConsole;
  if (EqualsIgnoringCase(last, "-i")) return GatewayMode::kInstall;
  if (EqualsIgnoringCase(last, "-u")) return GatewayMode::kRemove;
  return GatewayMode::kService;
}
