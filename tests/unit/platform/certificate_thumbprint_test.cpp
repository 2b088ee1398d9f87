// Thumbprints as administrators paste them: blanks between the digits, either
// case; anything else, or a digit too few or too many, is refused.
#include "platform/CertificateThumbprint.h"

#include <gtest/gtest.h>

TEST(CertificateThumbprint, TakesFortyHexDigitsWithBlanksBetween) {
  const Thumbprint expected = {0x3f, 0x0a, 0x9c, 0xde, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab,
                               0xcd, 0xef, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  for (const char* text : {"3f0a9cde0123456789abcdef0011223344556677",
                           "3F 0A 9C DE 01 23 45 67 89 AB CD EF 00 11 22 33 44 55 66 77",
                           " 3f0a9cde\t0123456789ABCDEF0011223344556677 "}) {
    Thumbprint parsed{};
    ASSERT_TRUE(ParseThumbprint(text, parsed)) << text;
    EXPECT_EQ(parsed, expected) << text;
  }
}

TEST(CertificateThumbprint, RefusesWhatIsNotExactlyTwentyBytes) {
  for (const char* text : {"", "3f0a9cde0123456789abcdef001122334455667",          // 39 digits
                           "3f0a9cde0123456789abcdef00112233445566778",         // 41 digits
                           "3f:0a:9c:de:01:23:45:67:89:ab:cd:ef:00:11:22:33:44:55:66:77",
                           "3g0a9cde0123456789abcdef0011223344556677",          // not hex
                           "\xe2\x80\x8e" "3f0a9cde0123456789abcdef0011223344556677"}) {  // a mark pasted along
    Thumbprint parsed{};
    EXPECT_FALSE(ParseThumbprint(text, parsed)) << text;
  }
}
