// mime/Md5.h: the MD5 message digest (RFC 1321) and its Content-MD5 text form.
//
// A CMd5 context is fed bytes in runs of any length and finished once; the
// text form is the base64 encoding of the 16 digest bytes (24 characters, the
// last two "="), as a Content-MD5 header carries it. A context belongs to one
// thread; the functions keep no other state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t kMd5DigestSize = 16;
constexpr std::size_t kMd5TextSize = 24;  // base64 of 16 bytes

class CMd5 {
 public:
  CMd5() { Init(); }
  void Init();
  void Update(const void* data, std::size_t length);
  // Pads, writes the 16 digest bytes and leaves the context to be Init'ed again.
  void Final(std::uint8_t digest[kMd5DigestSize]);
  // Final, as the 24-character base64 text.
  std::string FinalText();

 private:
  void Transform(const std::uint8_t block[64]);

  std::uint32_t m_State[4];
  std::uint64_t m_Bits = 0;  // message length in bits, modulo 2^64
  std::uint8_t m_Block[64];
  std::size_t m_Used = 0;  // bytes waiting in m_Block
};

// The base64 text of a 16-byte digest.
std::string Md5DigestText(const std::uint8_t digest[kMd5DigestSize]);
