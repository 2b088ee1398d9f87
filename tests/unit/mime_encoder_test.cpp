// The attachment encoder: content type detection, the part it writes, and
// identifiers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TempDir.h"
#include "mime/MimeEncoder.h"
#include "platform/File.h"

namespace {

const char* TypeOf(CTempDir& dir, const std::string& bytes) {
  WriteWholeFile(dir.File("probe"), bytes);
  CStdioFile in = CStdioFile::Open(dir.File("probe"), "rb");
  const char* type = DetectContentType(in);
  char first = 0;
  // The file is back at its start.
  if (!bytes.empty()) {
    EXPECT_EQ(in.Read(&first, 1), 1u);
    EXPECT_EQ(first, bytes[0]);
  }
  return type;
}

TEST(MimeEncoder, DetectsTypeFromLeadingBytes) {
  CTempDir dir;
  EXPECT_STREQ(TypeOf(dir, "GIF89a..."), "image/gif");
  EXPECT_STREQ(TypeOf(dir, "\xFF\xD8\xFF\xE0"), "image/jpeg");
  EXPECT_STREQ(TypeOf(dir, std::string("\x00\x00\x01\xB3rest", 8)), "video/mpeg");
  EXPECT_STREQ(TypeOf(dir, "%!PS-Adobe"), "application/postscript");
  EXPECT_STREQ(TypeOf(dir, "II*\x00"), "application/octet-stream");  // TIFF
  EXPECT_STREQ(TypeOf(dir, std::string("\x00\x00\x01", 3)),
               "application/octet-stream");  // too short for MPEG
  EXPECT_STREQ(TypeOf(dir, ""), "application/octet-stream");
}

TEST(MimeEncoder, EncodeFileWritesOnePartInCrLf) {
  CTempDir dir;
  WriteWholeFile(dir.File("fax.gif"), "GIF8");
  CStdioFile in = CStdioFile::Open(dir.File("fax.gif"), "rb");
  ASSERT_EQ(EncodeFile(in, dir.File("fax.gif").c_str(), dir.File("part").c_str(), "page1.gif"), 0);
  EXPECT_EQ(ReadWholeFile(dir.File("part")),
            "Content-Type: image/gif;\r\n        name=\"page1.gif\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment;\r\n        filename=\"page1.gif\"\r\n"
            "Content-Description: page1.gif\r\n\r\n"
            "R0lGOA==\r\n");
}

TEST(MimeEncoder, EncodeFileReportsAnOutputThatCannotBeCreated) {
  CTempDir dir;
  WriteWholeFile(dir.File("in"), "x");
  CStdioFile in = CStdioFile::Open(dir.File("in"), "rb");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(EncodeFile(in, "in", dir.File("no/such/dir/part").c_str(), "x"), 1);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("no/such/dir/part: "), std::string::npos);
}

TEST(MimeEncoder, IdentifierIsSecondsAtHost) {
  char id[64];
  ::setenv("HOSTNAME", "faxhost", 1);
  const std::int32_t n = os_genid(id, sizeof id);
  ASSERT_GT(n, 0);
  const std::string text(id);
  EXPECT_EQ(static_cast<std::size_t>(n), text.size());
  EXPECT_EQ(text.substr(text.find('@')), "@faxhost");
  EXPECT_GT(std::strtoul(id, nullptr, 10), 1600000000ul);
  ::unsetenv("HOSTNAME");
  ASSERT_GT(os_genid(id, sizeof id), 0);
  EXPECT_NE(std::string(id).find("@random-pc"), std::string::npos);
  EXPECT_LT(os_genid(id, 5), 0);  // does not fit
}

}  // namespace
