// Header blocks: which lines belong to the header, which fields are picked,
// and the parsing of Content-Type, parameters and Content-Disposition.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "MimeTestSupport.h"
#include "TempDir.h"
#include "mime/HeaderParser.h"

namespace {

class HeaderParserTest : public ::testing::Test {
 protected:
  // Reads the header block of `mail`; `body` gets what the reader delivers after it.
  HeaderBlock Read(const std::string& mail, HeaderInfo& info, std::string* body = nullptr) {
    auto reader = ReaderOver(m_Dir.File("mail"), mail);
    HeaderBlock block = ReadHeaders(*reader, info, {});
    if (body) {
      body->clear();
      for (int c = PartGetChar(*reader); c != -1; c = PartGetChar(*reader))
        body->push_back(static_cast<char>(c));
    }
    return block;
  }

  static std::string TypeOf(const char* value) {
    ContentParams params;
    ParseContentType(value, value + std::strlen(value), params);
    return params.copy.get();
  }

  static std::string Param(const char* value, const char* name) {
    ContentParams params;
    ParseContentType(value, value + std::strlen(value), params);
    auto v = GetContentParam(&params, name);
    return v ? *v : "<none>";
  }

  static std::string Filename(const char* disposition) {
    auto v = GetDispositionFilename(disposition, disposition + std::strlen(disposition));
    return v ? *v : "<none>";
  }

  CTempDir m_Dir;
};

TEST_F(HeaderParserTest, BlockStartsWithLfAndEndsBeforeTheBlankLine) {
  HeaderInfo info;
  std::string body;
  HeaderBlock block = Read("Subject: hi\nX-A: 1\n  folded\n\nbody\n", info, &body);
  EXPECT_STREQ(block.begin(), "\nSubject: hi\nX-A: 1\n  folded\n");
  EXPECT_EQ(block.length, std::strlen(block.begin()));
  EXPECT_EQ(body, "body\n");
}

TEST_F(HeaderParserTest, WhereTheHeaderEnds) {
  HeaderInfo info;
  std::string body;
  EXPECT_STREQ(Read("\nbody\n", info, &body).begin(), "\n");  // no header at all
  EXPECT_EQ(body, "body\n");
  EXPECT_STREQ(Read(" indented first line\nA: b\n", info, &body).begin(), "\n");
  EXPECT_EQ(body, " indented first line\nA: b\n");
  EXPECT_STREQ(Read("A: b\nnot a header\nC: d\n", info, &body).begin(), "\nA: b\n");
  EXPECT_EQ(body, "not a header\nC: d\n");
  EXPECT_STREQ(Read("A: b\n:no name\n", info, &body).begin(), "\nA: b\n");
  EXPECT_STREQ(Read("A: b\nSubject : spaced\n", info, &body).begin(), "\nA: b\n");
  EXPECT_STREQ(Read("A: b", info, &body).begin(), "\nA: b");  // the part ends
}

TEST_F(HeaderParserTest, LongLinesAndLongBlocksAreKeptWhole) {
  HeaderInfo info;
  const std::string longValue(5000, 'v');
  std::string mail = "X-Long: " + longValue + "\n";
  for (int i = 0; i < 2000; ++i) mail += "X-N" + std::to_string(i) + ": value\n";
  mail += "Content-Type: application/pdf\n\nbody";
  HeaderBlock block = Read(mail, info);
  EXPECT_EQ(std::string(block.begin()), "\n" + mail.substr(0, mail.size() - 5));
  ASSERT_NE(info.contentType, nullptr);
  EXPECT_EQ(std::string(info.contentType, 15), "application/pdf");
}

TEST_F(HeaderParserTest, HeaderWithoutEndIsBoundedInMemory) {
  HeaderInfo info;
  std::string mail;
  while (mail.size() < kMaxHeaderBlock + 200000) mail += "X-Filler: " + std::string(90, 'f') + "\n";
  mail += "Content-Type: text/html\n";
  ::testing::internal::CaptureStderr();
  HeaderBlock block = Read(mail, info);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("header block too long"), std::string::npos);
  EXPECT_LE(block.length, kMaxHeaderBlock);
  EXPECT_EQ(info.contentType, nullptr);  // dropped with the rest
}

TEST_F(HeaderParserTest, PicksFieldsCaseInsensitivelyLastOneWins) {
  HeaderInfo info;
  HeaderBlock block = Read(
      "content-type: text/plain\nCONTENT-TYPE: (c) image/gif\ncontent-transfer-encoding: BASE64\n"
      "Content-Disposition: attachment; filename=a.gif\nContent-MD5: abc=\n\n",
      info);
  ASSERT_NE(info.contentType, nullptr);
  EXPECT_EQ(std::string(info.contentType, 9), "image/gif");
  EXPECT_EQ(info.encoding, kEncodingBase64);
  ASSERT_NE(info.disposition, nullptr);
  EXPECT_EQ(std::string(info.disposition, 10), "attachment");
  ASSERT_NE(info.contentMd5, nullptr);
  EXPECT_EQ(std::string(info.contentMd5, 4), "abc=");
}

TEST_F(HeaderParserTest, TransferEncodings) {
  const struct {
    const char* text;
    TransferEncoding expected;
    bool warns;
  } kCases[] = {
      {" 7bit\n", kEncodingNone, false},
      {" 8BIT\n", kEncodingNone, false},
      {" binary\n", kEncodingNone, false},
      {" base64\n", kEncodingBase64, false},
      {" (comment) Base64 (x)\n", kEncodingBase64, false},
      {" Quoted-Printable\n", kEncodingQuotedPrintable, false},
      {" base64x\n", kEncodingNone, true},
      {" x-uuencode\n", kEncodingNone, true},
      {" \n", kEncodingNone, false},
      {" base64", kEncodingBase64, false},
  };
  for (const auto& c : kCases) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ParseTransferEncoding(c.text, c.text + std::strlen(c.text)), c.expected) << c.text;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.warns ? "dekant: warning: ignoring unknown content transfer encoding\n\n" : "")
        << c.text;
  }
}

TEST_F(HeaderParserTest, SkipBlanksAndComments) {
  const char* v = "  (a (nested) \\) comment) value";
  EXPECT_STREQ(SkipBlanksAndComments(v, v + std::strlen(v)), "value");
  const char* folded = " \n\tvalue";
  EXPECT_STREQ(SkipBlanksAndComments(folded, folded + std::strlen(folded)), "value");
  const char* ended = "  \nNext: x";
  EXPECT_EQ(SkipBlanksAndComments(ended, ended + std::strlen(ended)), nullptr);
  const char* open = " (never closed";
  EXPECT_EQ(SkipBlanksAndComments(open, open + std::strlen(open)), nullptr);
  const char* escapedEnd = " (x\\";
  EXPECT_EQ(SkipBlanksAndComments(escapedEnd, escapedEnd + std::strlen(escapedEnd)), nullptr);
  const char* blanks = "   ";
  EXPECT_EQ(SkipBlanksAndComments(blanks, blanks + 3), nullptr);
}

TEST_F(HeaderParserTest, ContentTypeIsCompacted) {
  EXPECT_EQ(TypeOf("text/plain (comment)\n"), "text/plain");
  EXPECT_EQ(TypeOf("text / plain ; charset=us-ascii"), "text/plain");
  EXPECT_EQ(TypeOf("multipart/mixed;\n boundary=x"), "multipart/mixed");
  EXPECT_EQ(TypeOf("text/plain\nX-Next: y"), "text/plain");
}

TEST_F(HeaderParserTest, Parameters) {
  EXPECT_EQ(Param("text/plain; charset=us-ascii", "charset"), "us-ascii");
  EXPECT_EQ(Param("text/plain; CharSet = \"utf-8\" (c)", "charset"), "utf-8");
  EXPECT_EQ(Param("text/plain;", "charset"), "<none>");  // semicolon and nothing else
  EXPECT_EQ(Param("text/plain; (only a comment)", "charset"), "<none>");
  EXPECT_EQ(Param("application/pdf; name=\"a;b \\\"c\\\".pdf\"", "name"), "a;b \"c\".pdf");
  EXPECT_EQ(Param("application/pdf; filename=x; name=y", "name"), "y");
  EXPECT_EQ(Param("application/pdf; namex=x; name=y", "name"), "y");
  EXPECT_EQ(Param("application/pdf; name=\"unterminated", "name"), "<none>");
  const std::string longType = "multipart/mixed; boundary=\"" + std::string(300, 'b') + "\"";
  EXPECT_EQ(Param(longType.c_str(), "boundary"), std::string(300, 'b'));
  EXPECT_EQ(Param("multipart/mixed;\n\tboundary=\"=_x\"; (c) charset=a", "boundary"), "=_x");
  EXPECT_EQ(Param("text/plain; name=(c)x", "name"), "x");  // the comment became blanks
}

TEST_F(HeaderParserTest, DispositionFilename) {
  EXPECT_EQ(Filename("attachment; filename=report.pdf\n"), "report.pdf");
  EXPECT_EQ(Filename("attachment; FILENAME = \"a b.pdf\"\n"), "a b.pdf");
  EXPECT_EQ(Filename("attachment; filename=x(comment).pdf\n"), "x");
  EXPECT_EQ(Filename("attachment; size=3; filename=\"q\\\"uote\"\n"), "q\"uote");
  EXPECT_EQ(Filename("attachment; x=\";filename=no\"; filename=yes\n"), "yes");
  EXPECT_EQ(Filename("attachment; filenames=no\n"), "<none>");
  EXPECT_EQ(Filename("attachment\n"), "<none>");
  EXPECT_EQ(Filename("attachment; filename=\"open\n"), "<none>");
  // The scan runs on through the rest of the header block.
  EXPECT_EQ(Filename("inline\nContent-Type: text/plain; filename=later.txt\n"), "later.txt");
}

TEST_F(HeaderParserTest, HeaderTextJoinsTabContinuationsOnly) {
  const char* v = "first\n\tsecond\n third\nNext: x";
  EXPECT_EQ(GetHeaderText(v, v + std::strlen(v)), "firstsecond");
  const char* last = "only";
  EXPECT_EQ(GetHeaderText(last, last + 4), "only");
}

}  // namespace
