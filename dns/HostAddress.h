// dns/HostAddress.h: the mail domain of an address and the IPv4 address of a
// host, for the outbound side and for name servers given by name.
//
// ResolveHostAddress goes through the platform's host lookup (the system's
// resolver), not through DNSClient. Safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The part of BareAddress(text) after its first "@" when at least one
// character follows it; otherwise the bare address itself.
std::string AddressDomain(std::string_view text);

// Looks AddressDomain(name) up and writes its first IPv4 address in dotted
// decimal into `out` when that fits `size` bytes with its terminator. 0 on
// success; 1 the lookup failed, 2 the text does not fit; on failure `out` is
// unchanged. `name` and `out` may be the same buffer.
int ResolveHostAddress(const char* name, char* out, std::size_t size);
