// mime/Base64.cpp: base64 tables and encoders. Stateless, thread-safe.
#include "mime/Base64.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/File.h"

namespace {

constexpr int kGroupsPerLine = 18;  // 72 characters

// Four characters for up to three bytes; `have` is 1, 2 or 3.
inline void EncodeGroup(const std::uint8_t* in, int have, char* out) {
  const std::uint8_t b0 = in[0];
  const std::uint8_t b1 = have > 1 ? in[1] : 0;
  const std::uint8_t b2 = have > 2 ? in[2] : 0;
  out[0] = kBase64Alphabet[b0 >> 2];
  out[1] = kBase64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
  out[2] = have > 1 ? kBase64Alphabet[((b1 & 0x0f) << 2) | (b2 >> 6)] : '=';
  out[3] = have > 2 ? kBase64Alphabet[b2 & 0x3f] : '=';
}

// The two characters of every 12-bit value: a whole group is two lookups.
struct CPairTable {
  char pairs[4096][2];
  constexpr CPairTable() : pairs() {
    for (int v = 0; v < 4096; ++v) {
      pairs[v][0] = kBase64Alphabet[v >> 6];
      pairs[v][1] = kBase64Alphabet[v & 0x3f];
    }
  }
};
constexpr CPairTable kPairs;

inline void EncodeWholeGroup(const std::uint8_t* in, char* out) {
  const std::uint32_t bits = static_cast<std::uint32_t>(in[0]) << 16 | static_cast<std::uint32_t>(in[1]) << 8 | in[2];
  std::memcpy(out, kPairs.pairs[bits >> 12], 2);
  std::memcpy(out + 2, kPairs.pairs[bits & 0xfff], 2);
}

}  // namespace

std::string Base64EncodeBytes(const void* data, std::size_t length) {
  const auto* in = static_cast<const std::uint8_t*>(data);
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  char group[4];
  for (std::size_t i = 0; i < length; i += 3) {
    const std::size_t left = length - i;
    EncodeGroup(in + i, left >= 3 ? 3 : static_cast<int>(left), group);
    out.append(group, 4);
  }
  return out;
}

namespace {

// Encodes `input` from its position to its end, 72 characters a line, each
// line ended by `lineEnd`, handing the text to `emit` a read's worth at a
// time. The characters written, each line end counted as one.
template <typename Emit>
std::uint32_t EncodeStream(CStdioFile& input, std::string_view lineEnd, Emit emit) {
  // Read whole lines' worth of groups at a time; a short read only happens at
  // the end of the input, so groups never straddle two reads except there.
  constexpr std::size_t kInChunk = 3 * kGroupsPerLine * 256;
  std::vector<std::uint8_t> in(kInChunk);
  std::vector<char> out;
  std::uint32_t written = 0;
  int groupsOnLine = 0;
  std::size_t have = 0;  // bytes carried over into `in`
  for (;;) {
    const std::size_t got = input.Read(in.data() + have, kInChunk - have);
    have += got;
    const bool atEnd = got == 0 || have < kInChunk;
    std::size_t pos = 0;
    // Room for every group of this chunk and its line ends, written in place.
    out.resize((have / 3 + 1) * 4 + (have / (3 * kGroupsPerLine) + 2) * lineEnd.size());
    char* to = out.data();
    std::uint32_t lines = 0;
    while (have - pos >= 3 || (atEnd && pos < have)) {
      const std::size_t left = have - pos;
      if (left >= 3) {
        EncodeWholeGroup(in.data() + pos, to);
      } else {
        EncodeGroup(in.data() + pos, static_cast<int>(left), to);
      }
      pos += left >= 3 ? 3 : left;
      to += 4;
      if (++groupsOnLine == kGroupsPerLine) {
        to = std::copy(lineEnd.begin(), lineEnd.end(), to);
        ++lines;
        groupsOnLine = 0;
      }
    }
    // Keep a partial group for the next read.
    const std::size_t rest = have - pos;
    for (std::size_t i = 0; i < rest; ++i) in[i] = in[pos + i];
    have = rest;
    if (atEnd && groupsOnLine > 0) {
      to = std::copy(lineEnd.begin(), lineEnd.end(), to);
      ++lines;
      groupsOnLine = 0;
    }
    const auto length = static_cast<std::size_t>(to - out.data());
    written += static_cast<std::uint32_t>(length - lines * (lineEnd.size() - 1));
    if (length > 0) emit(out.data(), length);
    if (atEnd && have == 0) break;
    if (got == 0) break;
  }
  return written;
}

}  // namespace

std::uint32_t Base64EncodeStream(CStdioFile& input, CStdioFile& output) {
  return EncodeStream(input, "\n", [&](const char* data, std::size_t length) { output.Write(data, length); });
}

std::uint32_t Base64EncodeAppend(CStdioFile& input, std::string_view lineEnd, std::string& out) {
  return EncodeStream(input, lineEnd, [&](const char* data, std::size_t length) { out.append(data, length); });
}
