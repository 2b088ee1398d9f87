// Base64: the stream encoder's line layout and the decoder's handling of
// padding, broken lines, stray bytes, truncation and CR suppression.
#include "mime/Base64.h"

#include <gtest/gtest.h>

#include <string>

#include "MimeTestSupport.h"
#include "TempDir.h"
#include "mime/Md5.h"
#include "mime/TransferDecoders.h"

namespace {

class Base64Test : public ::testing::Test {
 protected:
  // Encodes `bytes` with Base64EncodeStream; the output file is binary so the
  // raw characters and LFs can be checked.
  std::string Encode(const std::string& bytes, std::uint32_t* written = nullptr) {
    WriteWholeFile(m_Dir.File("in"), bytes);
    CStdioFile in = CStdioFile::Open(m_Dir.File("in"), "rb");
    CStdioFile out = CStdioFile::Open(m_Dir.File("out"), "wb");
    const std::uint32_t n = Base64EncodeStream(in, out);
    if (written) *written = n;
    out.Close();
    return ReadWholeFile(m_Dir.File("out"));
  }

  // Decodes the part text (LF line ends) into a binary file.
  std::string Decode(const std::string& part, int suppressCR = 0, std::string* digest = nullptr) {
    auto reader = ReaderOver(m_Dir.File("part"), part);
    CStdioFile out = CStdioFile::Open(m_Dir.File("decoded"), "wb");
    DecodeBase64(*reader, out, digest, suppressCR);
    out.Close();
    PartClose(reader);
    return ReadWholeFile(m_Dir.File("decoded"));
  }

  CTempDir m_Dir;
};

TEST_F(Base64Test, EncoderLineLayout) {
  std::uint32_t n = 0;
  const std::string hundred = Encode(std::string(100, 'x'), &n);
  ASSERT_EQ(hundred.size(), 72u + 1 + 64 + 1);
  EXPECT_EQ(hundred[72], '\n');
  EXPECT_EQ(hundred.substr(73 + 62, 3), "==\n");
  EXPECT_EQ(n, hundred.size());  // line ends count one each

  const std::string fiftyFour = Encode(std::string(54, 'y'));
  EXPECT_EQ(fiftyFour.size(), 73u);  // one full line, no second one
  EXPECT_EQ(fiftyFour.back(), '\n');

  EXPECT_EQ(Encode("a"), "YQ==\n");
  EXPECT_EQ(Encode("ab"), "YWI=\n");
  EXPECT_EQ(Encode(""), "");
}

TEST_F(Base64Test, EncoderRoundTripsEveryByteAcrossChunkBoundaries) {
  std::string bytes;
  for (int i = 0; i < 200000; ++i) bytes.push_back(static_cast<char>((i * 7919) >> 3));
  const std::string encoded = Encode(bytes);
  EXPECT_EQ(Decode(encoded), bytes);
  EXPECT_EQ(Base64EncodeBytes("\xff\xfe\x00", 3), "//4A");
}

TEST_F(Base64Test, PaddingAndTheRestOfThePart) {
  EXPECT_EQ(Decode("QUJD\n"), "ABC");
  EXPECT_EQ(Decode("QUI=\n"), "AB");
  EXPECT_EQ(Decode("QQ==\n"), "A");
  EXPECT_EQ(Decode("QQ==QUJD\nQUJD\n"), "A");  // everything after padding is ignored
  EXPECT_EQ(Decode("QUJD=QUJD\n"), "ABC");     // "=" as first of a group ends the data
}

TEST_F(Base64Test, LineBreaksBlanksAndStrayBytesDoNotMatter) {
  const std::string plain = "SGVsbG8sIHdvcmxkIQ==";  // Hello, world!
  EXPECT_EQ(Decode(plain), "Hello, world!");
  EXPECT_EQ(Decode("SGVs\nbG8s\nIHdv\ncmxk\nIQ==\n"), "Hello, world!");
  EXPECT_EQ(Decode("S G V s b\tG 8 s I H d v c m x k I Q = =\n"), "Hello, world!");
  EXPECT_EQ(Decode("SG\x01Vsb*G8sIH~dvcmxkIQ==\n"), "Hello, world!");
  EXPECT_EQ(Decode("S\nG\nV\ns\nb\nG\n8\ns\nIHdvcmxkIQ==\n"), "Hello, world!");
}

TEST_F(Base64Test, TruncatedGroupWritesNothingForIt) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Decode("QUJDQUJ\n"), "ABC");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "dekant: warning: Premature EOF\n");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Decode("QUJD\n"), "ABC");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(Base64Test, SuppressedCrStillCountsInTheDigest) {
  const std::string data = "line one\r\nline two\r\n";
  const std::string encoded = Base64EncodeBytes(data.data(), data.size());
  std::string digest;
  EXPECT_EQ(Decode(encoded, 1, &digest), "line one\nline two\n");
  CMd5 md5;
  md5.Update(data.data(), data.size());
  EXPECT_EQ(digest, md5.FinalText());
  EXPECT_EQ(Decode(encoded, 0), data);
}

TEST_F(Base64Test, DecodesAcrossReaderRefillsAndBigLines) {
  // One line far longer than the reader's buffer, plus padding in the middle of a buffer.
  std::string bytes;
  for (int i = 0; i < 100000; ++i) bytes.push_back(static_cast<char>(i * 31 + 7));
  const std::string oneLine = Base64EncodeBytes(bytes.data(), bytes.size());
  EXPECT_EQ(Decode(oneLine + "\n"), bytes);
}

}  // namespace
