// MD5 against the test suite of RFC 1321 and the padding boundary, fed whole
// and in awkward pieces.
#include "mime/Md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

namespace {

TEST(Md5, KnownDigestsFedInPiecesOfEverySize) {
  const std::pair<std::string, const char*> kCases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // 55, 56 and 64 bytes need one, two and two padding blocks.
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
  };
  for (const auto& [input, digest] : kCases) {
    for (std::size_t piece = 1; piece <= 80; ++piece) {
      CMd5 md5;
      for (std::size_t at = 0; at < input.size(); at += piece)
        md5.Update(input.data() + at, std::min(piece, input.size() - at));
      std::uint8_t d[kMd5DigestSize];
      md5.Final(d);
      std::string hex;
      for (const std::uint8_t byte : d) {
        hex.push_back("0123456789abcdef"[byte >> 4]);
        hex.push_back("0123456789abcdef"[byte & 15]);
      }
      ASSERT_EQ(hex, digest) << input.size() << " bytes in pieces of " << piece;
    }
  }
}

TEST(Md5, DigestTextIsTheContentMd5Form) {
  CMd5 empty;
  EXPECT_EQ(empty.FinalText(), "1B2M2Y8AsgTpgAmY7PhCfg==");
  CMd5 abc;
  abc.Update("abc", 3);
  EXPECT_EQ(abc.FinalText(), "kAFQmDzST7DWlj99KOF/cg==");
}

}  // namespace
