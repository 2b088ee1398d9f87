// mime/TextEncoding.h: text made fit for a mail that any receiver takes over a
// plain (7-bit) SMTP session: line ends as CR LF, lines of at most 998 octets,
// and 8-bit text either quoted-printable with its charset (bodies, RFC 2045)
// or as encoded words (header texts, RFC 2047) and extended parameter values
// (file names, RFC 2231).
//
// The charset is told from the bytes: "utf-8" when they are valid UTF-8,
// else "iso-8859-1" (the fax server writes its code page's text, and every
// byte is a character of Latin-1).
//
// Plain classes and functions over byte strings; an object belongs to one
// thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

constexpr std::size_t kMaxLineOctets = 998;  // RFC 5322 2.1.1, without the CR LF

// True when every byte is printable ASCII, a space or a tab.
bool IsPlainAscii(std::string_view text);
// "utf-8" or "iso-8859-1", see above ("us-ascii" for plain ASCII).
const char* CharsetOf(std::string_view text);

// Looks at a text given in pieces: whether it can go out as it stands.
class CTextScan {
 public:
  void Add(std::string_view bytes);
  // 8-bit bytes, a NUL, or a line longer than kMaxLineOctets.
  bool NeedsEncoding() const { return m_EightBit || m_Nul || m_LongLine; }
  const char* Charset() const;

 private:
  bool m_EightBit = false;
  bool m_Nul = false;
  bool m_LongLine = false;
  bool m_Utf8 = true;
  int m_Continuations = 0;  // UTF-8 continuation bytes still expected
  std::size_t m_LineLength = 0;
};

// A text body given in pieces, written out with every line end as CR LF (a
// bare LF or a bare CR becomes one) and, when asked, quoted-printable (lines
// of at most 76 characters, soft line breaks, "=" and 8-bit bytes as =XX,
// spaces and tabs before a line end kept visible). A CR at the end of a piece
// waits for the next piece to tell whether an LF follows.
class CTextBodyEncoder {
 public:
  explicit CTextBodyEncoder(bool quotedPrintable) : m_QuotedPrintable(quotedPrintable) {}
  void Add(std::string_view bytes, std::string& out);
  // Ends the text: what is held back goes out, and the output ends at a line
  // start (a delimiter or the end of the data may follow).
  void Finish(std::string& out);

 private:
  void LineEnd(std::string& out);
  void Byte(unsigned char c, std::string& out);
  void Emit(std::string_view token, std::string& out);

  bool m_QuotedPrintable;
  bool m_PendingCr = false;
  std::string m_Blanks;  // spaces and tabs not yet known to stand before a line end
  std::size_t m_Column = 0;
  bool m_AtLineStart = true;
};

// "=?charset?B?...?=" words for `text`, each at most 75 characters, joined by
// `fold` (a line end and a space: a folded header line). Multi-byte UTF-8
// characters are not split.
std::string EncodedWords(std::string_view text, const char* charset, std::string_view fold = "\r\n ");
// `text` as a quoted-string: in double quotes, with '"' and '\' escaped.
std::string QuotedString(std::string_view text);
// An RFC 2231 value: charset, "''", and the text with every byte that is not
// a plain token character as %XX.
std::string ExtendedParameterValue(std::string_view text, const char* charset);
