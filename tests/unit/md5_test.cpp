// MD5 at the padding boundary, fed whole and in awkward pieces.
#include "mime/Md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

namespace {

TEST(Md5, KnownDigestsFedInPiecesOfEverySize) {
  const std::pair<std::string, const char*> kCases[] = {
      // 55, 56 and 64 bytes need one, two and two padding blocks; 0, 3, 1000 and 4096 are cross-checked.
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
      for (const std::uint8_t byte : d) hex += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
      ASSERT_EQ(hex, digest) << input.size() << " bytes in pieces of " << piece;
    }
  }
}

}  // namespace
