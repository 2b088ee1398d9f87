// MD5 against the test suite of RFC 1321, fed whole and in awkward pieces.
#include "mime/Md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Hex(const std::uint8_t d[kMd5DigestSize]) {
  static const char* kDigits = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < kMd5DigestSize; ++i) {
    s.push_back(kDigits[d[i] >> 4]);
    s.push_back(kDigits[d[i] & 15]);
  }
  return s;
}

struct SuiteCase {
  const char* input;
  const char* digest;
};

const SuiteCase kSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5, Rfc1321SuiteFedInPiecesOfEverySize) {
  for (const SuiteCase& c : kSuite) {
    const std::string input = c.input;
    for (std::size_t piece = 1; piece <= 80; ++piece) {
      CMd5 md5;
      for (std::size_t at = 0; at < input.size(); at += piece)
        md5.Update(input.data() + at, std::min(piece, input.size() - at));
      std::uint8_t d[kMd5DigestSize];
      md5.Final(d);
      ASSERT_EQ(Hex(d), c.digest) << '"' << c.input << "\" in pieces of " << piece;
    }
  }
}

TEST(Md5, LengthsAroundThePaddingBoundary) {
  // 55, 56 and 64 bytes need one, two and two padding blocks.
  const struct {
    std::size_t length;
    const char* digest;
  } kCases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"},
      {56, "3b0c8ac703f828b04c6c197006d17218"},
      {64, "014842d480b571495a4a0363793f7367"},
  };
  for (const auto& c : kCases) {
    CMd5 md5;
    const std::string input(c.length, 'a');
    md5.Update(input.data(), input.size());
    std::uint8_t d[kMd5DigestSize];
    md5.Final(d);
    EXPECT_EQ(Hex(d), c.digest) << c.length;
  }
}

TEST(Md5, DigestTextIsTheContentMd5Form) {
  CMd5 empty;
  EXPECT_EQ(empty.FinalText(), "1B2M2Y8AsgTpgAmY7PhCfg==");
  CMd5 abc;
  abc.Update("abc", 3);
  const std::string text = abc.FinalText();
  EXPECT_EQ(text, "kAFQmDzST7DWlj99KOF/cg==");
  EXPECT_EQ(text.size(), kMd5TextSize);
}

}  // namespace
