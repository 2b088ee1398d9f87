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
  // Reads the header block of `mail` into m_Info (whose fields point into the block); m_Body gets the rest.
  HeaderBlock Read(const std::string& mail) {
    auto reader = ReaderOver(m_Dir.File("mail"), mail);
    HeaderBlock block = ReadHeaders(*reader, m_Info, {});
    m_Body.clear();
    for (int c = PartGetChar(*reader); c != -1; c = PartGetChar(*reader))
      m_Body.push_back(static_cast<char>(c));
    return block;
  }
  CTempDir m_Dir;
  HeaderInfo m_Info;
  std::string m_Body;
};

TEST_F(HeaderParserTest, BlockStartsWithLfAndEndsBeforeTheBody) {
  const char* kCases[][3] = {
      // mail, header block, body
      {"Subject: hi\nX-A: 1\n  folded\n\nbody\n", "\nSubject: hi\nX-A: 1\n  folded\n", "body\n"},
      {" indented first line\nA: b\n", "\n", " indented first line\nA: b\n"},
      {"A: b\nSubject : spaced\n", "\nA: b\n", "Subject : spaced\n"},
      {"A: b", "\nA: b", ""},  // the part ends
  };
  for (const auto& c : kCases) {
    const HeaderBlock block = Read(c[0]);
    EXPECT_STREQ(block.begin(), c[1]) << c[0];
    EXPECT_EQ(block.length, std::strlen(c[1])) << c[0];
    EXPECT_EQ(m_Body, c[2]) << c[0];
  }
}

TEST_F(HeaderParserTest, LongBlocksAreKeptWholeUpToTheCapAndTheLastFieldWins) {
  std::string mail = "content-type: text/plain\nX-Long: " + std::string(5000, 'v') + "\n";
  for (int i = 0; i < 2000; ++i) mail += "X-N" + std::to_string(i) + ": value\n";
  const HeaderBlock block =
      Read(mail + "CONTENT-TYPE: (c) image/gif\ncontent-transfer-encoding: BASE64\n\nbody");
  EXPECT_EQ(std::string(block.begin()),
            "\n" + mail + "CONTENT-TYPE: (c) image/gif\ncontent-transfer-encoding: BASE64\n");
  ASSERT_NE(m_Info.contentType, nullptr);
  EXPECT_EQ(std::string(m_Info.contentType, 9), "image/gif");
  EXPECT_EQ(m_Info.encoding, kEncodingBase64);

  mail.erase(0, mail.find('\n') + 1);  // a header block without an end, its only Content-Type past the cap
  while (mail.size() < kMaxHeaderBlock + 200000) mail += "X-Filler: " + std::string(90, 'f') + "\n";
  ::testing::internal::CaptureStderr();
  const HeaderBlock capped = Read(mail + "Content-Type: text/html\n");
  ::testing::internal::GetCapturedStderr();
  EXPECT_LE(capped.length, kMaxHeaderBlock);
  EXPECT_EQ(m_Info.contentType, nullptr);  // dropped with the rest
}

TEST(HeaderFields, ContentTypeParametersAndFilename) {
  const auto param = [](const std::string& value, const char* name) {
    ContentParams params;
    ParseContentType(value.data(), value.data() + value.size(), params);
    if (!name) return std::string(params.copy.get());
    const auto v = GetContentParam(&params, name);
    return v ? *v : std::string("<none>");
  };
  EXPECT_EQ(param("text / plain (comment)\nX-Next: y", nullptr), "text/plain");
  const char* kParams[][3] = {
      // Content-Type value, parameter, its value
      {"text/plain; CharSet = \"utf-8\" (c)", "charset", "utf-8"},
      {"application/pdf; name=\"a;b \\\"c\\\".pdf\"", "name", "a;b \"c\".pdf"},
      {"application/pdf; filename=x; namex=x; name=y", "name", "y"},
      {"application/pdf; name=\"x", "name", "<none>"},
  };
  for (const auto& c : kParams) EXPECT_EQ(param(c[0], c[1]), c[2]) << c[0];
  EXPECT_EQ(param("multipart/mixed; boundary=\"" + std::string(300, 'b') + "\"", "boundary"),
            std::string(300, 'b'));

  const char* kFilenames[][2] = {
      // Content-Disposition value, file name
      {"attachment; FILENAME = \"a b.pdf\"\n", "a b.pdf"},
      {"attachment; x=\";filename=no\"; filename=yes\n", "yes"},
      {"attachment; filename=\"open\n", "<none>"},
      {"inline\nContent-Type: text/plain; filename=later.txt\n", "later.txt"},  // runs on through the block
  };
  for (const auto& c : kFilenames) {
    const auto v = GetDispositionFilename(c[0], c[0] + std::strlen(c[0]));
    EXPECT_EQ(v ? *v : "<none>", c[1]) << c[0];
  }
}

}  // namespace
