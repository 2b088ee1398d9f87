// mime/Base64.h: the base64 alphabet of RFC 2045 and its tables, the stream
// encoder used for outbound attachments, and the hexadecimal table of the
// quoted-printable decoder.
//
// The tables are constant; every function is safe on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CStdioFile;

// Value of a byte that is no base64 character (and of "="), and of a byte that
// is no hexadecimal digit.
constexpr std::uint8_t kNotBase64 = 127;
constexpr std::uint8_t kNotHex = 127;

inline constexpr char kBase64Alphabet[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> MakeBase64ValueTable() {
  std::array<std::uint8_t, 256> table{};
  for (auto& v : table) v = kNotBase64;
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<std::uint8_t>(i);
  return table;
}

constexpr std::array<std::uint8_t, 256> MakeHexValueTable() {
  std::array<std::uint8_t, 256> table{};
  for (auto& v : table) v = kNotHex;
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<std::uint8_t>(i);
  for (int i = 0; i < 6; ++i) {
    table['A' + i] = static_cast<std::uint8_t>(10 + i);
    table['a' + i] = static_cast<std::uint8_t>(10 + i);
  }
  return table;
}

// "A".."Z" 0..25, "a".."z" 26..51, "0".."9" 52..61, "+" 62, "/" 63.
inline constexpr std::array<std::uint8_t, 256> kBase64Value = MakeBase64ValueTable();
// "0".."9" 0..9, "A".."F" and "a".."f" 10..15.
inline constexpr std::array<std::uint8_t, 256> kHexValue = MakeHexValueTable();

// Base64 of `length` bytes, padded, no line breaks.
std::string Base64EncodeBytes(const void* data, std::size_t length);

// Encodes `input` from its position to its end into `output`, 72 characters a
// line, each line ended by a LF (the output's text mode stores CR LF). Returns
// the characters written, each line end counted as one; 0 for empty input.
std::uint32_t Base64EncodeStream(CStdioFile& input, CStdioFile& output);
// The same text appended to `out`, each line ended by `lineEnd`.
std::uint32_t Base64EncodeAppend(CStdioFile& input, std::string_view lineEnd, std::string& out);
