// The attachment encoder: content type detection, the part it writes, and
// identifiers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "TempDir.h"
#include "mime/MimeEncoder.h"
#include "platform/File.h"
#include "platform/Process.h"

namespace {

TEST(MimeEncoder, DetectsTypeFromLeadingBytesAndRewinds) {
  CTempDir dir;
  for (const auto& [bytes, type] : {std::pair{std::string("\x00\x00\x01\xB3rest", 8), "video/mpeg"},
                                    {std::string("\x00\x00\x01", 3), "application/octet-stream"},  // too short
                                    {std::string(), "application/octet-stream"}}) {
    WriteWholeFile(dir.File("probe"), bytes);
    CStdioFile in = CStdioFile::Open(dir.File("probe"), "rb");
    EXPECT_STREQ(DetectContentType(in), type) << bytes;
    std::string first(bytes.size(), '\0');
    EXPECT_EQ(in.Read(first.data(), first.size()), bytes.size());  // back at the start
    EXPECT_EQ(first, bytes);
  }
}

TEST(MimeEncoder, EncodeFileWritesOnePartInCrLfOrReportsItsOutput) {
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

  CStdioFile again = CStdioFile::Open(dir.File("fax.gif"), "rb");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(EncodeFile(again, "in", dir.File("no/such/dir/part").c_str(), "x"), 1);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("no/such/dir/part: "), std::string::npos);

  // A part cut short by a full disk is no part.
  CStdioFile third = CStdioFile::Open(dir.File("fax.gif"), "rb");
  if (!CStdioFile::Open("/dev/full", "w").IsOpen()) GTEST_SKIP() << "no /dev/full";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(EncodeFile(third, "in", "/dev/full", "x"), 1);
  ::testing::internal::GetCapturedStderr();
}

TEST(MimeEncoder, IdentifierIsSecondsAtHost) {
  char id[64];
  SetEnvironmentValue("HOSTNAME", "faxhost");
  const std::int32_t n = os_genid(id, sizeof id);
  ASSERT_GT(n, 0);
  EXPECT_EQ(static_cast<std::size_t>(n), std::strlen(id));
  EXPECT_EQ(std::string(id).substr(std::string(id).find('@')), "@faxhost");
  EXPECT_GT(std::strtoul(id, nullptr, 10), 1600000000ul);
  EXPECT_LT(os_genid(id, 5), 0);  // does not fit
}

}  // namespace
