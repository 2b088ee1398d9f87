// platform/CertificateThumbprint.h: a certificate's SHA-1 thumbprint as the
// administrator copies it from the certificate's details: 40 hex digits,
// with or without blanks between them.
//
// Threading: no state.
#pragma once

#include <array>
#include <cstdint>
#include <string>

using Thumbprint = std::array<std::uint8_t, 20>;

// True with the 20 bytes in `out` when `text` holds exactly 40 hex digits and
// nothing but blanks (space, tab) besides; false otherwise.
bool ParseThumbprint(const std::string& text, Thumbprint& out);
