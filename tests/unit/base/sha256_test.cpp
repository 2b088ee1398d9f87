// tests/unit/base/sha256_test.cpp: SHA-256 against published and computed
// answers. The fragment directories are named by it: a wrong digest would
// still name directories, only not the ones a fixed implementation (or the
// store of an older run) names, and nothing else would notice.
#include "base/Sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "mime/FragmentDir.h"

namespace {

std::string Hex(const std::array<unsigned char, kSha256DigestSize>& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0f];
  }
  return text;
}

// `data` fed in runs of `step` bytes (the last may be shorter).
std::string Sha256Hex(std::string_view data, std::size_t step) {
  CSha256 digest;
  for (std::size_t at = 0; at < data.size(); at += step) {
    const std::string_view run = data.substr(at, step);
    digest.Add(reinterpret_cast<const unsigned char*>(run.data()), run.size());
  }
  return Hex(digest.Finish());
}

TEST(Sha256Test, KnownAnswers) {
  const struct {
    std::string data;
    const char* digest;
  } cases[] = {
      // FIPS 180-2, appendix B: one block, two blocks (448 bits: no room for the
      // length in the first).
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
  };
  for (const auto& c : cases) {
    // Whole, byte by byte and in runs that straddle the 64-byte blocks.
    for (std::size_t step : {c.data.size() + 1, std::size_t{1}, std::size_t{37}}) {
      EXPECT_EQ(Sha256Hex(c.data, step), c.digest) << c.data.size() << " bytes in runs of " << step;
    }
  }
  // A fragment directory: the short name, then the first 128 bits of the digest.
  EXPECT_EQ(FragmentDirName("abc"), "abc-ba7816bf8f01cfea414140de5dae2223");
}

}  // namespace
