// tests/unit/mime/text_encoding_test.cpp: bodies given in pieces come out with CR
// LF line ends and, when asked, quoted-printable that a strict decoder takes
// back to the same text; charsets told from the bytes; encoded words that
// keep characters whole.
#include "mime/TextEncoding.h"

#include <gtest/gtest.h>

namespace {

// The text given in pieces of `piece` bytes, as the composer gives it.
std::string Encoded(const std::string& text, bool quotedPrintable, std::size_t piece) {
  CTextBodyEncoder encoder(quotedPrintable);
  std::string out;
  for (std::size_t at = 0; at < text.size(); at += piece) encoder.Add(text.substr(at, piece), out);
  encoder.Finish(out);
  return out;
}

TEST(TextEncodingTest, BodiesComeOutWithCrLfAndQuotedPrintableWhenAsked) {
  const std::string longLine(100, 'a');
  const struct {
    const char* what;
    std::string text;
    bool quotedPrintable;
    std::string expected;
  } cases[] = {
      {"bare LF and CR become CR LF", "one\ntwo\rthree", false, "one\r\ntwo\r\nthree\r\n"},
      {"CR LF split between pieces is one line end", "ab\r\ncd\r\n", false, "ab\r\ncd\r\n"},
      {"8-bit and =", "a=b \xC3\xBC\r\n", true, "a=3Db =C3=BC\r\n"},
      {"blanks before a line end stay visible", "end \t\r\nnext\r\n", true, "end=20=09\r\nnext\r\n"},
      {"a long line gets soft breaks", longLine + "\r\n", true,
       std::string(75, 'a') + "=\r\n" + std::string(25, 'a') + "\r\n"},
      {"an escape is never split", std::string(74, 'a') + "\xFF\r\n", true,
       std::string(74, 'a') + "=\r\n=FF\r\n"},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, c.text.size()}) {
      SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
      EXPECT_EQ(Encoded(c.text, c.quotedPrintable, piece), c.expected);
    }
  }
}

TEST(TextEncodingTest, ScanTellsWhatNeedsEncodingAndItsCharset) {
  const struct {
    std::string text;
    bool needs;
    const char* charset;
  } cases[] = {
      {"plain\r\ntext\r\n", false, "us-ascii"},
      {std::string("nul\0here", 8), true, "us-ascii"},
      {"Gr\xC3\xBC\xC3\x9F", true, "utf-8"},
      {"Gr\xFC\xDF", true, "iso-8859-1"},
      {"cut \xC3", true, "iso-8859-1"},  // a character that never ends is no UTF-8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 20));
    CTextScan scan;
    for (const char ch : c.text) scan.Add(std::string_view(&ch, 1));  // across the smallest pieces
    EXPECT_EQ(scan.NeedsEncoding(), c.needs);
    EXPECT_STREQ(scan.Charset(), c.charset);
  }
}

TEST(TextEncodingTest, EncodedWordsAreShortAndKeepCharactersWhole) {
  const std::string text = "\xC3\xBC" + std::string(60, 'x') + "\xE2\x82\xAC\xE2\x82\xAC";  // ü, 60 x, two €
  const std::string words = EncodedWords(text, "utf-8");
  EXPECT_EQ(words,
            "=?utf-8?B?w7x4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4?=\r\n"
            " =?utf-8?B?eHh4eHh4eHh4eHh4eHh4eHjigqzigqw=?=");
}

}  // namespace
