// spool/Ports.h: the two TCP port settings, SmtpRxPort and SmtpTxPort.
//
// Each call reads the registry afresh; thread-safe.
#pragma once

#include <cstdint>

// The port the inbound server listens on; 25 when the key or value is missing.
std::int32_t GetSmtpRxPort();
// The port of remote mail hosts; 25 when the key or value is missing.
std::int32_t GetSmtpTxPort();
