// dns/HostAddress.cpp: address domain and host lookup. Stateless; safe on any
// thread.
#include "dns/HostAddress.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "mime/Address.h"
#include "platform/Socket.h"

namespace {
constexpr std::size_t kDottedSize = 16;  // "255.255.255.255" and its terminator
}  // namespace

std::string AddressDomain(std::string_view text) {
  std::string bare = BareAddress(text);
  const std::size_t at = bare.find('@');
  if (at != std::string::npos && at + 1 < bare.size()) return bare.substr(at + 1);
  return bare;
}

int ResolveHostAddress(const char* name, char* out, std::size_t size) {
  // Copied before anything is written: the caller may resolve a buffer in place.
  const std::string host = AddressDomain(name != nullptr ? name : "");
  std::uint32_t address = 0;
  if (SockLookupHost(host.c_str(), &address) != 0) return 1;
  const std::uint32_t value = NetToHost32(address);
  char dotted[kDottedSize];
  const int length = std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", value >> 24, (value >> 16) & 0xFF,
                                   (value >> 8) & 0xFF, value & 0xFF);
  if (out == nullptr || length < 0 || static_cast<std::size_t>(length) >= size) return 2;
  std::memcpy(out, dotted, static_cast<std::size_t>(length) + 1);
  return 0;
}
