// base/NetworkList.cpp: CIDR lists (see the header).
//
// Pure functions over the text; any thread.
#include "base/NetworkList.h"

#include <cstdio>

#include "base/Text.h"

namespace {

// A decimal number of 1 to 3 digits at most `maximum`; advances `at`.
bool ParseNumber(std::string_view text, std::size_t& at, std::uint32_t maximum, std::uint32_t& value) {
  std::size_t digits = 0;
  value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
    value = value * 10 + static_cast<std::uint32_t>(text[at] - '0');
    ++at;
    ++digits;
  }
  // A fourth digit is left in place and fails the caller's next check.
  return digits > 0 && value <= maximum;
}

bool ParseEntry(std::string_view entry, CNetworkList::CNetwork& network) {
  std::size_t at = 0;
  std::uint32_t address = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0) {
      if (at >= entry.size() || entry[at] != '.') return false;
      ++at;
    }
    std::uint32_t value = 0;
    if (!ParseNumber(entry, at, 255, value)) return false;
    address = (address << 8) | value;
  }
  std::uint32_t prefix = 32;
  if (at < entry.size()) {
    if (entry[at] != '/') return false;
    ++at;
    if (!ParseNumber(entry, at, 32, prefix)) return false;
  }
  if (at != entry.size()) return false;
  network.mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
  network.address = address & network.mask;
  return true;
}

}  // namespace

bool CNetworkList::Parse(std::string_view text, std::string& badEntry) {
  m_Networks.clear();
  for (std::string_view entry : SplitList(text)) {
    CNetwork network;
    if (!ParseEntry(entry, network)) {
      badEntry.assign(entry.substr(0, 64));
      m_Networks.clear();
      return false;
    }
    m_Networks.push_back(network);
  }
  return true;
}

bool CNetworkList::Contains(std::uint32_t address) const {
  for (const CNetwork& network : m_Networks)
    if ((address & network.mask) == network.address) return true;
  return false;
}

std::string Ipv4Text(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 255u, (address >> 16) & 255u,
                (address >> 8) & 255u, address & 255u);
  return text;
}
