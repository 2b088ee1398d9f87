// FileRetire and FileKeepSpares: a retired file is gone from its name at once,
// and the next creation in its directory reuses it empty, with the outcome of
// a plain creation; files that are not ours alone are simply deleted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "TempDir.h"
#include "platform/File.h"

namespace {

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Spare files of `dir`: retired ones in ".spare", newly made ones below it.
std::size_t SpareCount(const std::string& dir) {
  std::error_code ec;
  std::size_t n = 0;
  for (auto it = std::filesystem::recursive_directory_iterator(dir + "/.spare", ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file()) ++n;
  return n;
}

class RetiredFileTest : public ::testing::Test {
 protected:
  std::string Dir() const { return m_Dir.Path() + "/"; }
  CTempDir m_Dir;
};

TEST_F(RetiredFileTest, NextCreationReusesTheFileEmptyWithCreationSemantics) {
  const std::string old = Dir() + "1.zqx";
  WriteText(old, "an earlier mail that nobody may read again\r\n");
  const ino_t inode = InodeOf(old);
  ASSERT_TRUE(FileRetire(old));
  EXPECT_FALSE(FileExists(old));
  EXPECT_EQ(SpareCount(m_Dir.Path()), 1u);
  struct stat spareDir {};
  ASSERT_EQ(::lstat((Dir() + ".spare").c_str(), &spareDir), 0);
  EXPECT_EQ(spareDir.st_mode & 0777, 0700u);

  // A create-new over an existing name still fails and leaves the spare.
  WriteText(Dir() + "taken", "keep");
  CFile clash =
      CFile::Open(Dir() + "taken", FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateNew);
  EXPECT_FALSE(clash.IsValid());
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(ReadText(Dir() + "taken"), "keep");
  EXPECT_EQ(SpareCount(m_Dir.Path()), 1u);

  // The next new file is the retired one, emptied, with a fresh time.
  const std::string next = Dir() + "2.zqx";
  CFile created = CFile::Open(next, FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateNew);
  ASSERT_TRUE(created.IsValid());
  EXPECT_EQ(InodeOf(next), inode);
  EXPECT_EQ(FileSizeByName(next), 0);
  EXPECT_LE(FileAgeSeconds(next), 1);
  EXPECT_EQ(SpareCount(m_Dir.Path()), 0u);
  ASSERT_EQ(created.Write("new", 3), 3);
  created.Close();
  EXPECT_EQ(ReadText(next), "new");

  // Stream opens: "w" and "a" create from spares too; an existing file is
  // opened, not replaced.
  ASSERT_TRUE(FileRetire(next));
  CStdioFile appended = CStdioFile::Open(Dir() + "ENV1", "a+");
  ASSERT_TRUE(appended.IsOpen());
  EXPECT_EQ(InodeOf(Dir() + "ENV1"), inode);
  appended.Close();
  WriteText(Dir() + "ENV2", "old");
  CStdioFile existing = CStdioFile::Open(Dir() + "ENV2", "a+");
  ASSERT_TRUE(existing.IsOpen());
  existing.Close();
  EXPECT_EQ(ReadText(Dir() + "ENV2"), "old");
}

TEST_F(RetiredFileTest, RetiredForOverwriteKeepsItsBytesOnlyForOverwritingCreations) {
  const std::string old = Dir() + "1.zqx";
  WriteText(old, "the whole of an earlier mail");
  const ino_t inode = InodeOf(old);
  ASSERT_TRUE(FileRetireForOverwrite(old));
  EXPECT_FALSE(FileExists(old));

  // A plain creation never sees those bytes.
  CStdioFile plain = CStdioFile::Open(Dir() + "ENV1", "w");
  ASSERT_TRUE(plain.IsOpen());
  plain.Close();
  EXPECT_NE(InodeOf(Dir() + "ENV1"), inode);
  EXPECT_EQ(FileSizeByName(Dir() + "ENV1"), 0);
  CFile fresh =
      CFile::Open(Dir() + "2.zqx", FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateNew);
  ASSERT_TRUE(fresh.IsValid());
  EXPECT_NE(InodeOf(Dir() + "2.zqx"), inode);

  // An overwriting one gets the file, written over from its start and ended
  // where the new content ends.
  CFile reused = CFile::Open(Dir() + "3.zqx", FileAccess::kReadWrite, FileShare::kNone,
                             FileCreation::kCreateNewOverwrite);
  ASSERT_TRUE(reused.IsValid());
  EXPECT_EQ(InodeOf(Dir() + "3.zqx"), inode);
  ASSERT_EQ(reused.Write("short", 5), 5);
  ASSERT_TRUE(reused.SetEndOfFile());
  reused.Close();
  EXPECT_EQ(ReadText(Dir() + "3.zqx"), "short");
}

TEST_F(RetiredFileTest, FilesNotOursAloneAreDeletedNotEmptied) {
  // A second name: emptying would destroy what that name shows.
  WriteText(Dir() + "linked", "data");
  ASSERT_EQ(::link((Dir() + "linked").c_str(), (Dir() + "other").c_str()), 0);
  ASSERT_TRUE(FileRetire(Dir() + "linked"));
  EXPECT_FALSE(FileExists(Dir() + "linked"));
  EXPECT_EQ(ReadText(Dir() + "other"), "data");

  // A link: only the link goes; its target is untouched.
  WriteText(Dir() + "target", "target data");
  ASSERT_EQ(::symlink((Dir() + "target").c_str(), (Dir() + "link").c_str()), 0);
  ASSERT_TRUE(FileRetire(Dir() + "link"));
  EXPECT_EQ(ReadText(Dir() + "target"), "target data");
  EXPECT_EQ(SpareCount(m_Dir.Path()), 0u);

  // Missing files and directories fail as a delete does.
  EXPECT_FALSE(FileRetire(Dir() + "missing"));
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  std::filesystem::create_directory(Dir() + "sub");
  EXPECT_FALSE(FileRetire(Dir() + "sub"));
  EXPECT_TRUE(std::filesystem::is_directory(Dir() + "sub"));
}

TEST_F(RetiredFileTest, ForeignSpareDirectoryIsNeverUsed) {
  // ".spare" open to others: retiring falls back to deleting.
  std::filesystem::create_directory(Dir() + ".spare");
  ::chmod((Dir() + ".spare").c_str(), 0777);
  WriteText(Dir() + "a", "x");
  ASSERT_TRUE(FileRetire(Dir() + "a"));
  EXPECT_FALSE(FileExists(Dir() + "a"));
  EXPECT_EQ(SpareCount(m_Dir.Path()), 0u);
  FileKeepSpares(Dir(), 4);
  EXPECT_EQ(SpareCount(m_Dir.Path()), 0u);
}

TEST_F(RetiredFileTest, KeptSparesAreBoundedAndLeftoversOfAnotherRunRemoved) {
  std::filesystem::create_directory(Dir() + ".spare");
  ::chmod((Dir() + ".spare").c_str(), 0700);
  WriteText(Dir() + ".spare/999-1", "left by a run that was killed");
  std::filesystem::create_directory(Dir() + ".spare/new");
  ::chmod((Dir() + ".spare/new").c_str(), 0700);
  WriteText(Dir() + ".spare/new/999-2", "");
  FileKeepSpares(Dir(), 3);
  EXPECT_EQ(SpareCount(m_Dir.Path()), 3u);
  EXPECT_FALSE(FileExists(Dir() + ".spare/999-1"));
  EXPECT_FALSE(FileExists(Dir() + ".spare/new/999-2"));
  FileKeepSpares(Dir(), 1000);  // capped
  const std::size_t capped = SpareCount(m_Dir.Path());
  EXPECT_GT(capped, 3u);
  EXPECT_LT(capped, 100u);
  for (const auto& e : std::filesystem::recursive_directory_iterator(Dir() + ".spare"))
    if (e.is_regular_file()) {
      EXPECT_EQ(std::filesystem::file_size(e.path()), 0u);
    }
  // Each creation takes one.
  CStdioFile f = CStdioFile::Open(Dir() + "Msgcnt.imp", "w");
  ASSERT_TRUE(f.IsOpen());
  EXPECT_EQ(SpareCount(m_Dir.Path()), capped - 1);
}

}  // namespace
