// tests/unit/platform/file_test.cpp: CFile share modes, reads and writes, whole-file
// operations and the directory count (with the wildcard rule). (Full disks against
// the real binary: test_full_disk.py.)
#include "platform/File.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/FaultInjection.h"
#include "platform/Process.h"

namespace {
class FileTest : public ::testing::Test {
 protected:
  void ExpectLastError(long code) { EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(code)); }
  CTempDir m_Dir;
};

// A read takes all the file holds up to the count, a write all it is given;
// a write that fails, fails whole.
TEST_F(FileTest, ReadsAndWritesMoveEverythingOrFail) {
  const std::string path = m_Dir.File("data");
  std::string data(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 % 251);
  const auto size = static_cast<std::int64_t>(data.size());
  {
    CFile file = CFile::Open(path, FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateNew);
    ASSERT_TRUE(file.IsValid());
    ASSERT_EQ(file.Write(data.data(), data.size()), size);
    ASSERT_EQ(file.Seek(1, FileSeek::kBegin), 1);
    std::string back(data.size() + 100, 'x');
    EXPECT_EQ(file.Read(back.data(), back.size()), size - 1);  // up to the end, not the count
    EXPECT_TRUE(back.compare(0, data.size() - 1, data, 1) == 0);
    EXPECT_EQ(file.Read(back.data(), 1), 0);  // at the end
  }
  EXPECT_TRUE(ReadWholeFile(path) == data);

  {
    CFile file = CFile::Open(path, FileAccess::kWrite, FileShare::kNone, FileCreation::kOpenExisting);
    ASSERT_TRUE(file.IsValid());
    ArmFault(FaultOp::kWrite, path, 1, ENOSPC);
    EXPECT_EQ(file.Write("abc", 3), -1);
    ExpectLastError(ERROR_DISK_FULL);
    ClearFaults();
  }
  EXPECT_EQ(FileSizeByName(path), size);
}

// A file once closed is not written, synced or closed again: its descriptor
// may be another file's by then.
TEST_F(FileTest, AClosedFileFailsEveryCall) {
  CFile file =
      CFile::Open(m_Dir.File("small"), FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateNew);
  ASSERT_TRUE(file.Close());
  EXPECT_EQ(file.Write("x", 1), -1);
  EXPECT_FALSE(file.Sync());  // never reported durable
  EXPECT_FALSE(file.Close());
  ExpectLastError(ERROR_INVALID_HANDLE);
  EXPECT_FALSE(file.IsValid());
}

// A move never replaces a file: it would lose a mail.
TEST_F(FileTest, MoveNeverReplacesButMoveReplaceDoesAndSyncReportsMissingFiles) {
  const std::string a = m_Dir.File("a"), b = m_Dir.File("b");
  WriteWholeFile(a, "first");
  WriteWholeFile(b, "second");
  EXPECT_FALSE(FileMove(a, b));
  ExpectLastError(ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadWholeFile(b), "second");
  EXPECT_TRUE(FileMoveReplace(a, b));
  EXPECT_EQ(ReadWholeFile(b), "first");
  EXPECT_TRUE(FilesSync({b}));
  EXPECT_FALSE(FilesSync({b, a}));
  ExpectLastError(ERROR_FILE_NOT_FOUND);
}

// The count may come from names kept by watching the directory: after any
// change made past it (as another process makes them), it must agree with a
// fresh search.
TEST_F(FileTest, CountMatchingEntriesAgreesWithASearchAfterEveryChange) {
  namespace fs = std::filesystem;
  const std::string dir = m_Dir.File("out");
  // With `expected`, the counts of the three patterns too (the wildcard rule: any case, "x.*" takes "x").
  auto agree = [&](const char* step, std::vector<std::size_t> expected = {}) {
    const char* patterns[] = {"~ATTC005.*", "*.tmp", "x.*"};
    for (std::size_t i = 0; i < std::size(patterns); ++i) {
      std::vector<std::string> names;
      FindFiles(dir, patterns[i], names);
      std::size_t count = 99;
      ASSERT_EQ(CountMatchingEntries(dir, patterns[i], 1000, count), ERROR_SUCCESS) << step << " " << i;
      EXPECT_EQ(count, names.size()) << step << " " << patterns[i];
      if (!expected.empty()) {
        EXPECT_EQ(count, expected[i]) << step << " " << patterns[i];
      }
    }
  };
  for (const char* step : {"first", "replaced"}) {  // a directory put in the place of the one counted before
    fs::remove_all(dir);
    ASSERT_TRUE(DirectoryCreate(dir));
    agree(step);
    for (const char* name :
         {"~ATTC005.imp", "~attc005.TXT", "~ATTC005", "~ATTC0050.imp", "ENV1", "x", "a.TMP.x"})
      WriteWholeFile(dir + kPathSeparatorText + name, "");
    agree(step, {3, 0, 1});
  }
  const std::string in = dir + kPathSeparatorText;
  fs::rename(in + "ENV1", in + "ENV1.tmp");
  fs::rename(in + "~ATTC005", m_Dir.File("moved-out"));
  fs::remove(in + "~ATTC005.imp");
  fs::create_directory(in + "x.d");
  agree("renamed and removed");
  std::size_t count = 0;
  ASSERT_EQ(CountMatchingEntries(dir, "*", 2, count), ERROR_SUCCESS);
  EXPECT_EQ(count, 2u);  // the limit
  fs::remove_all(dir);
  EXPECT_EQ(CountMatchingEntries(dir, "*", 10, count), ERROR_PATH_NOT_FOUND);
}

// The spool directory may vanish and come back as another directory (made
// again, or another mount): a sync then goes by its path, never through the
// handle of the old one, which would sync nothing that matters and succeed.
TEST_F(FileTest, VolumeSyncFollowsItsDirectorysPath) {
  namespace fs = std::filesystem;
  const std::string dir = m_Dir.File("OUT");
  ASSERT_TRUE(DirectoryCreate(dir));
  CVolumeSync sync(dir);
  const std::vector<std::string> files = {dir + "/1.zqx", dir + "/2.zqx"};
  for (const std::string& f : files) WriteWholeFile(f, "mail");
  EXPECT_TRUE(sync.Sync(files));
  fs::rename(dir, m_Dir.File("OUT.away"));
  EXPECT_FALSE(sync.Sync(files));  // gone: nothing of it can be on disk
  ASSERT_TRUE(DirectoryCreate(dir));
  EXPECT_FALSE(sync.Sync(files));  // another directory, without the files
  for (const std::string& f : files) WriteWholeFile(f, "mail");
  EXPECT_TRUE(sync.Sync(files));
  fs::remove_all(dir);
  fs::rename(m_Dir.File("OUT.away"), dir);  // the first one back
  EXPECT_TRUE(sync.Sync(files));
}

}  // namespace
