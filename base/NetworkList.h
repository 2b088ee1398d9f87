// base/NetworkList.h: IPv4 networks in CIDR form ("10.0.0.0/8 127.0.0.1"),
// parsed from a settings text and matched against a client's address.
//
// Pure: no OS, no state beyond the parsed list; any thread once built.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CNetworkList {
 public:
  struct CNetwork {
    std::uint32_t address = 0;  // host byte order, host bits cleared
    std::uint32_t mask = 0;     // host byte order
  };

  // Entries separated by blanks, tabs or commas; an entry without "/n" is one
  // host (/32). False, with `badEntry` naming the first entry that does not
  // parse (octet over 255, prefix over 32, stray characters), and the list
  // left empty: a value that is only half understood is never used.
  bool Parse(std::string_view text, std::string& badEntry);

  // `address` in host byte order.
  bool Contains(std::uint32_t address) const;
  bool Empty() const { return m_Networks.empty(); }
  const std::vector<CNetwork>& Networks() const { return m_Networks; }

 private:
  std::vector<CNetwork> m_Networks;
};

// Dotted IPv4 text of an address in host byte order.
std::string Ipv4Text(std::uint32_t address);
