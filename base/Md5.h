// base/Md5.h: the MD5 message digest (RFC 1321).
//
// A CMd5 context is fed bytes in runs of any length and finished once (the
// Content-MD5 text form, base64, is mime/Base64.h's Md5FinalText). A context
// belongs to one thread; the functions keep no other state.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kMd5DigestSize = 16;

class CMd5 {
 public:
  CMd5() { Init(); }
  void Init();
  void Update(const void* data, std::size_t length);
  // Pads, writes the 16 digest bytes and leaves the context to be Init'ed again.
  void Final(std::uint8_t digest[kMd5DigestSize]);

 private:
  void Transform(const std::uint8_t block[64]);

  std::uint32_t m_State[4];
  std::uint64_t m_Bits = 0;  // message length in bits, modulo 2^64
  std::uint8_t m_Block[64];
  std::size_t m_Used = 0;  // bytes waiting in m_Block
};
