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
    if (body) body->clear();
    for (int c = PartGetChar(*reader); body && c != -1; c = PartGetChar(*reader))
      body->push_back(static_cast<char>(c));
    return block;
  }

  CTempDir m_Dir;
};

TEST_F(HeaderParserTest, BlockStartsWithLfAndEndsBeforeTheBody) {
  const char* kCases[][3] = {
      // mail, header block, body
      {"Subject: hi\nX-A: 1\n  folded\n\nbody\n", "\nSubject: hi\nX-A: 1\n  folded\n", "body\n"},
      {"\nbody\n", "\n", "body\n"},
      {" indented first line\nA: b\n", "\n", " indented first line\nA: b\n"},
      {"A: b\nnot a header\nC: d\n", "\nA: b\n", "not a header\nC: d\n"},
      {"A: b\nSubject : spaced\n", "\nA: b\n", "Subject : spaced\n"},
      {"A: b", "\nA: b", ""},  // the part ends
  };
  for (const auto& c : kCases) {
    HeaderInfo info;
    std::string body;
    const HeaderBlock block = Read(c[0], info, &body);
    EXPECT_STREQ(block.begin(), c[1]) << c[0];
    EXPECT_EQ(block.length, std::strlen(c[1])) << c[0];
    EXPECT_EQ(body, c[2]) << c[0];
  }
}

TEST_F(HeaderParserTest, LongLinesAndLongBlocksAreKeptWhole) {
  HeaderInfo info;
  std::string mail = "X-Long: " + std::string(5000, 'v') + "\n";
  for (int i = 0; i < 2000; ++i) mail += "X-N" + std::to_string(i) + ": value\n";
  mail += "Content-Type: application/pdf\n\nbody";
  const HeaderBlock block = Read(mail, info);  // the picked fields point into it
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
  const HeaderBlock block = Read(
      "content-type: text/plain\nCONTENT-TYPE: (c) image/gif\ncontent-transfer-encoding: BASE64\n"
      "Content-Disposition: attachment; filename=a.gif\nContent-MD5: abc=\n\n",
      info);
  ASSERT_TRUE(info.contentType && info.disposition && info.contentMd5);
  EXPECT_EQ(std::string(info.contentType, 9), "image/gif");
  EXPECT_EQ(info.encoding, kEncodingBase64);
  EXPECT_EQ(std::string(info.disposition, 10), "attachment");
  EXPECT_EQ(std::string(info.contentMd5, 4), "abc=");
}

TEST(HeaderFields, TransferEncodings) {
  const struct {
    const char* text;
    TransferEncoding expected;
    bool warns;
  } kCases[] = {{" 8BIT\n", kEncodingNone, false},
                {" (comment) Base64 (x)\n", kEncodingBase64, false},
                {" Quoted-Printable\n", kEncodingQuotedPrintable, false},
                {" base64x\n", kEncodingNone, true},
                {" base64", kEncodingBase64, false}};
  for (const auto& c : kCases) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ParseTransferEncoding(c.text, c.text + std::strlen(c.text)), c.expected) << c.text;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              c.warns ? "dekant: warning: ignoring unknown content transfer encoding\n\n" : "")
        << c.text;
  }
}

TEST(HeaderFields, SkipBlanksAndComments) {
  // Each text, and what is left of it (nullptr: nothing).
  const std::pair<const char*, const char*> kCases[] = {{"  (a (nested) \\) comment) value", "value"},
                                                        {" \n\tvalue", "value"},
                                                        {"  \nNext: x", nullptr},
                                                        {" (never closed", nullptr},
                                                        {" (x\\", nullptr},
                                                        {"   ", nullptr}};
  for (const auto& [text, rest] : kCases) {
    const char* at = SkipBlanksAndComments(text, text + std::strlen(text));
    EXPECT_EQ(at ? std::string(at) : "<end>", rest ? rest : "<end>") << text;
  }
}

TEST(HeaderFields, ContentTypeParametersAndFilename) {
  const auto param = [](const std::string& value, const char* name) {
    ContentParams params;
    ParseContentType(value.data(), value.data() + value.size(), params);
    if (!name) return std::string(params.copy.get());
    const auto v = GetContentParam(&params, name);
    return v ? *v : std::string("<none>");
  };
  EXPECT_EQ(param("text / plain ; charset=us-ascii", nullptr), "text/plain");
  EXPECT_EQ(param("text/plain (comment)\nX-Next: y", nullptr), "text/plain");
  const char* kParams[][3] = {
      // Content-Type value, parameter, its value
      {"text/plain; CharSet = \"utf-8\" (c)", "charset", "utf-8"},
      {"text/plain; (only a comment)", "charset", "<none>"},
      {"application/pdf; name=\"a;b \\\"c\\\".pdf\"", "name", "a;b \"c\".pdf"},
      {"application/pdf; filename=x; namex=x; name=y", "name", "y"},
      {"application/pdf; name=\"unterminated", "name", "<none>"},
      {"multipart/mixed;\n\tboundary=\"=_x\"; (c) charset=a", "boundary", "=_x"},
  };
  for (const auto& c : kParams) EXPECT_EQ(param(c[0], c[1]), c[2]) << c[0];
  EXPECT_EQ(param("multipart/mixed; boundary=\"" + std::string(300, 'b') + "\"", "boundary"),
            std::string(300, 'b'));

  const char* kFilenames[][2] = {
      // Content-Disposition value, file name
      {"attachment; FILENAME = \"a b.pdf\"\n", "a b.pdf"},
      {"attachment; filename=x(comment).pdf\n", "x"},
      {"attachment; x=\";filename=no\"; filename=yes\n", "yes"},
      {"attachment; filename=\"open\n", "<none>"},
      {"inline\nContent-Type: text/plain; filename=later.txt\n", "later.txt"},  // runs on through the block
  };
  for (const auto& c : kFilenames) {
    const auto v = GetDispositionFilename(c[0], c[0] + std::strlen(c[0]));
    EXPECT_EQ(v ? *v : "<none>", c[1]) << c[0];
  }
}

TEST(HeaderFields, HeaderTextJoinsTabContinuationsOnly) {
  const char* v = "first\n\tsecond\n third\nNext: x";
  EXPECT_EQ(GetHeaderText(v, v + std::strlen(v)), "firstsecond");
  EXPECT_EQ(GetHeaderText(v, v + 5), "first");
}

}  // namespace
