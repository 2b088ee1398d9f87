// mime/TextEncoding.cpp: charsets, the text body encoder, encoded words and
// extended parameter values. Threading: see TextEncoding.h.
#include "mime/TextEncoding.h"

#include <algorithm>
#include <cstring>

#include "mime/Base64.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kQuotedPrintableLine = 75;  // characters before a soft break's "="
constexpr std::size_t kEncodedWordMax = 75;       // RFC 2047 2

void AppendHex(unsigned char c, std::string& out) {
  out += '%';
  out += kHexDigits[c >> 4];
  out += kHexDigits[c & 0x0F];
}

}  // namespace

bool IsPlainAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 0x20 && b < 0x7F) || b == '\t';
  });
}

const char* CharsetOf(std::string_view text) {
  CTextScan scan;
  scan.Add(text);
  return scan.Charset();
}

void CTextScan::Add(std::string_view bytes) {
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r' || c == '\n') {
      m_LineLength = 0;
    } else if (++m_LineLength > kMaxLineOctets) {
      m_LongLine = true;
    }
    if (c == 0) m_Nul = true;
    if (m_Continuations > 0) {
      if ((c & 0xC0) == 0x80) {
        --m_Continuations;
        continue;
      }
      m_Utf8 = false;
      m_Continuations = 0;
    }
    if (c < 0x80) continue;
    m_EightBit = true;
    if (c >= 0xC2 && c <= 0xDF) {
      m_Continuations = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      m_Continuations = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
      m_Continuations = 3;
    } else {
      m_Utf8 = false;
    }
  }
}

const char* CTextScan::Charset() const {
  if (!m_EightBit) return "us-ascii";
  return m_Utf8 && m_Continuations == 0 ? "utf-8" : "iso-8859-1";
}

void CTextBodyEncoder::Add(std::string_view bytes, std::string& out) {
  for (const char ch : bytes) {
    if (m_PendingCr) {
      m_PendingCr = false;
      LineEnd(out);
      if (ch == '\n') continue;  // the LF of that CR LF
    }
    if (ch == '\r') {
      m_PendingCr = true;
    } else if (ch == '\n') {
      LineEnd(out);
    } else {
      Byte(static_cast<unsigned char>(ch), out);
    }
  }
}

void CTextBodyEncoder::Finish(std::string& out) {
  if (m_PendingCr) {
    m_PendingCr = false;
    LineEnd(out);
  }
  if (!m_Blanks.empty() || !m_AtLineStart) LineEnd(out);
}

void CTextBodyEncoder::Emit(std::string_view token, std::string& out) {
  if (m_Column + token.size() > kQuotedPrintableLine) {
    out += "=\r\n";
    m_Column = 0;
  }
  out += token;
  m_Column += token.size();
  m_AtLineStart = false;
}

void CTextBodyEncoder::LineEnd(std::string& out) {
  // Blanks at a line end would be taken off by some receivers: shown encoded.
  for (const char blank : m_Blanks) {
    const char token[4] = {'=', kHexDigits[static_cast<unsigned char>(blank) >> 4],
                           kHexDigits[static_cast<unsigned char>(blank) & 0x0F], '\0'};
    Emit(token, out);
  }
  m_Blanks.clear();
  out += "\r\n";
  m_Column = 0;
  m_AtLineStart = true;
}

void CTextBodyEncoder::Byte(unsigned char c, std::string& out) {
  if (!m_QuotedPrintable) {
    out += static_cast<char>(c);
    m_AtLineStart = false;
    return;
  }
  if (c == ' ' || c == '\t') {
    m_Blanks += static_cast<char>(c);
    return;
  }
  for (const char blank : m_Blanks) Emit(std::string_view(&blank, 1), out);
  m_Blanks.clear();
  if (c == '=' || c < 0x20 || c > 0x7E) {
    const char token[4] = {'=', kHexDigits[c >> 4], kHexDigits[c & 0x0F], '\0'};
    Emit(token, out);
  } else {
    const char token = static_cast<char>(c);
    Emit(std::string_view(&token, 1), out);
  }
}

std::string EncodedWords(std::string_view text, const char* charset, std::string_view fold) {
  const std::string head = std::string("=?") + charset + "?B?";
  // Bytes per word: what its base64 (4 characters per 3 bytes) leaves room for.
  const std::size_t room = kEncodedWordMax - head.size() - 2;
  const std::size_t chunk = std::max<std::size_t>(3, room / 4 * 3);
  const bool utf8 = std::strcmp(charset, "utf-8") == 0;
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t take = std::min(chunk, text.size() - at);
    // A UTF-8 character stays whole in one word.
    while (utf8 && take > 1 && at + take < text.size() &&
           (static_cast<unsigned char>(text[at + take]) & 0xC0) == 0x80)
      --take;
    if (!out.empty()) out += fold;
    out += head + Base64EncodeBytes(text.data() + at, take) + "?=";
    at += take;
  }
  return out;
}

std::string QuotedString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string ExtendedParameterValue(std::string_view text, const char* charset) {
  std::string out = std::string(charset) + "''";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       std::strchr("!#$&+-.^_`|~", c) != nullptr;
    if (plain && c != 0) {
      out += static_cast<char>(c);
    } else {
      AppendHex(c, out);
    }
  }
  return out;
}
