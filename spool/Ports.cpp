// spool/Ports.cpp: SmtpRxPort and SmtpTxPort from the gateway's key.
//
// Threading: no state; each call opens the key on its own.
#include "spool/Ports.h"

#include "platform/Registry.h"

namespace {

constexpr std::int32_t kDefaultSmtpPort = 25;

// Any 4-byte value is taken as the number, unchecked: 0 or a number above
// 65535 is passed on as it stands.
std::int32_t ReadPort(const char* name) {
  CRegKey key;
  if (CRegKey::Open(kGatewayKey, key) != ERROR_SUCCESS) return kDefaultSmtpPort;
  DWORD port = 0;
  if (RegReadDword(key, name, &port) != ERROR_SUCCESS) return kDefaultSmtpPort;
  return static_cast<std::int32_t>(port);
}

}  // namespace

std::int32_t GetSmtpRxPort() { return ReadPort("SmtpRxPort"); }

std::int32_t GetSmtpTxPort() { return ReadPort("SmtpTxPort"); }
