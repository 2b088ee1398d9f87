// The attachment encoder's failures: an output it cannot write is no part.
// (The parts it writes, and the types it detects: the compose goldens.)
#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "mime/MimeEncoder.h"
#include "platform/File.h"

namespace {

TEST(MimeEncoder, EncodeFileReportsAnOutputItCannotWrite) {
  CTempDir dir;
  WriteWholeFile(dir.File("fax.gif"), "GIF8");
  CStdioFile in = CStdioFile::Open(dir.File("fax.gif"), "rb");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(EncodeFile(in, "in", dir.File("no/such/dir/part").c_str(), "x"), 1);
  ::testing::internal::GetCapturedStderr();

  // A part cut short by a full disk is no part.
  CStdioFile third = CStdioFile::Open(dir.File("fax.gif"), "rb");
  if (!CStdioFile::Open("/dev/full", "w").IsOpen()) GTEST_SKIP() << "no /dev/full";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(EncodeFile(third, "in", "/dev/full", "x"), 1);
  ::testing::internal::GetCapturedStderr();
}

}  // namespace
