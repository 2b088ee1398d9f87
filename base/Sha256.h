// base/Sha256.h: the SHA-256 message digest (FIPS 180-4), written from the
// standard's description.
//
// A CSha256 context is fed bytes in runs of any length and finished once. A
// context belongs to one thread; there is no other state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t kSha256DigestSize = 32;

class CSha256 {
 public:
  void Add(const unsigned char* data, std::size_t size);
  // Pads and gives the 32 digest bytes; the context is spent afterwards.
  std::array<unsigned char, kSha256DigestSize> Finish();

 private:
  void Compress();

  std::uint32_t m_State[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  unsigned char m_Block[64] = {};
  std::size_t m_Used = 0;  // bytes waiting in m_Block
  std::uint64_t m_Bits = 0;  // message length in bits
};
