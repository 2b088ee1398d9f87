// Thumbprints as administrators paste them: blanks between the digits, either
// case; anything else, or a digit too few or too many, is refused.
#include "platform/CertificateThumbprint.h"

#include <gtest/gtest.h>

TEST(CertificateThumbprint, TakesFortyHexDigitsWithBlanksBetweenAndNothingElse) {
  const Thumbprint expected = {0x3f, 0x0a, 0x9c, 0xde, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab,
                               0xcd, 0xef, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  const std::pair<const char*, bool> cases[] = {
      {"3f0a9cde0123456789abcdef0011223344556677", true},
      {"3F 0A 9C DE 01 23 45 67 89 AB CD EF 00 11 22 33 44 55 66 77", true},
      {" 3f0a9cde\t0123456789ABCDEF0011223344556677 ", true},
      {"", false},
      {"3f0a9cde0123456789abcdef001122334455667", false},    // 39 digits
      {"3f0a9cde0123456789abcdef00112233445566778", false},  // 41 digits
      {"3f:0a:9c:de:01:23:45:67:89:ab:cd:ef:00:11:22:33:44:55:66:77", false},
      {"3g0a9cde0123456789abcdef0011223344556677", false},   // not hex
      {"\xe2\x80\x8e" "3f0a9cde0123456789abcdef0011223344556677", false},  // a mark pasted along
  };
  for (const auto& [text, ok] : cases) {
    Thumbprint parsed{};
    ASSERT_EQ(ParseThumbprint(text, parsed), ok) << text;
    if (ok) EXPECT_EQ(parsed, expected) << text;
  }
}
