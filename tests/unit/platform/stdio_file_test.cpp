// tests/unit/platform/stdio_file_test.cpp: CStdioFile text-mode translation in both
// directions (CR at buffer edges, lone CRs), binary mode and errors.
#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "platform/File.h"

namespace {
class StdioFileTest : public ::testing::Test {
 protected:
  CTempDir m_Dir;
};

// CRs at the stream's 64 KiB buffer edges: a CR LF split across the edge, a
// lone CR last in a buffer, a CR CR LF, and a CR at the very end. Text reads
// of every size give CR LF as LF and keep any other CR; binary passes all.
TEST_F(StdioFileTest, TextReadTranslatesAcrossBufferEdgesBinaryPassesAll) {
  constexpr std::size_t kEdge = 64 * 1024;
  std::string raw;
  for (int i = 0; raw.size() < 3 * kEdge; ++i) raw += "line " + std::to_string(i) + "\r\n";
  raw[kEdge - 1] = '\r';
  raw[kEdge] = '\n';
  raw[2 * kEdge - 1] = '\r';
  raw[2 * kEdge] = 'x';
  raw.replace(100, 3, "\r\r\n");
  raw += "tail\r";
  std::string expected;
  for (std::size_t i = 0; i < raw.size(); ++i)
    if (raw[i] != '\r' || i + 1 == raw.size() || raw[i + 1] != '\n') expected.push_back(raw[i]);
  const std::string path = m_Dir.File("in");
  CStdioFile out = CStdioFile::Open(path, "wb");
  ASSERT_EQ(out.Write(raw.data(), raw.size()), raw.size());
  ASSERT_TRUE(out.Close());
  for (std::size_t chunk : {1, 7, 65536, 1000000}) {
    CStdioFile file = CStdioFile::Open(path, "r");
    std::string got, part(chunk, '\0');
    for (std::size_t n; (n = file.Read(part.data(), chunk)) > 0;) got.append(part, 0, n);
    EXPECT_EQ(got, expected) << "chunk " << chunk;
    EXPECT_FALSE(file.Error());
  }
  CStdioFile file = CStdioFile::Open(path, "rt");
  std::string got;
  for (int c; (c = file.GetChar()) >= 0;) got.push_back(static_cast<char>(c));
  EXPECT_EQ(got, expected) << "GetChar";
  ASSERT_TRUE(file.Rewind());
  got.clear();
  char line[50];
  while (file.GetLine(line, sizeof line) != nullptr) got += line;
  EXPECT_EQ(got, expected) << "GetLine";
  CStdioFile in = CStdioFile::Open(path, "rb");
  got.assign(raw.size() + 10, '\0');
  got.resize(in.Read(got.data(), got.size()));
  EXPECT_EQ(got, raw);
}

// The write is buffered, so a full disk must show at Close.
TEST_F(StdioFileTest, AFullDiskShowsAtClose) {
  CStdioFile full = CStdioFile::Open("/dev/full", "w");
  if (!full.IsOpen()) GTEST_SKIP() << "no /dev/full";
  full.WriteText("lost\n");
  EXPECT_FALSE(full.Close());
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
}
}  // namespace
