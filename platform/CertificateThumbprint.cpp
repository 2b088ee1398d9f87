// platform/CertificateThumbprint.cpp: parses a SHA-1 thumbprint (see the header).
//
// Threading: no state.
#include "platform/CertificateThumbprint.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseThumbprint(const std::string& text, Thumbprint& out) {
  std::size_t digits = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t') continue;
    const int value = HexValue(c);
    if (value < 0 || digits == out.size() * 2) return false;
    std::uint8_t& byte = out[digits / 2];
    byte = digits % 2 == 0 ? static_cast<std::uint8_t>(value << 4) : static_cast<std::uint8_t>(byte | value);
    ++digits;
  }
  return digits == out.size() * 2;
}
