// Base64: known answers, the stream encoder's line layout and the decoder's
// handling of padding, broken lines, stray bytes and truncation.
#include "mime/Base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "MimeTestSupport.h"
#include "TempDir.h"
#include "mime/TransferDecoders.h"

namespace {

class Base64Test : public ::testing::Test {
 protected:
  // Encodes `bytes` with Base64EncodeStream into a binary file, so raw LFs show.
  std::string Encode(const std::string& bytes) {
    WriteWholeFile(m_Dir.File("in"), bytes);
    CStdioFile in = CStdioFile::Open(m_Dir.File("in"), "rb");
    CStdioFile out = CStdioFile::Open(m_Dir.File("out"), "wb");
    Base64EncodeStream(in, out);
    out.Close();
    return ReadWholeFile(m_Dir.File("out"));
  }
  // Decodes the part text (LF line ends) into a binary file.
  std::string Decode(const std::string& part) {
    auto reader = ReaderOver(m_Dir.File("part"), part);
    CStdioFile out = CStdioFile::Open(m_Dir.File("decoded"), "wb");
    DecodeBase64(*reader, out, nullptr, 0);
    out.Close();
    PartClose(reader);
    return ReadWholeFile(m_Dir.File("decoded"));
  }

  CTempDir m_Dir;
};

TEST_F(Base64Test, RoundTripsAcrossChunkAndReaderBufferBoundaries) {
  std::string bytes;
  for (int i = 0; i < 200000; ++i) bytes.push_back(static_cast<char>((i * 7919) >> 3));
  EXPECT_EQ(Decode(Encode(bytes)), bytes);
  // One line far longer than the reader's buffer.
  EXPECT_EQ(Decode(Base64EncodeBytes(bytes.data(), bytes.size()) + "\n"), bytes);
}

TEST_F(Base64Test, PaddingBlanksStrayBytesAndTruncation) {
  EXPECT_EQ(Decode("QQ==QUJD\nQUJD\n"), "A");  // everything after padding is ignored
  EXPECT_EQ(Decode("QUJD=QUJD\n"), "ABC");     // "=" as first of a group ends the data
  EXPECT_EQ(Decode("S G V s b\tG 8 s\nI\nH~dv\x01"
                   "cmxkIQ = =\n"),
            "Hello, world!");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Decode("QUJDQUJ\n"), "ABC");  // a truncated group writes nothing
  ::testing::internal::GetCapturedStderr();
}

}  // namespace
