// FileRetire and FileKeepSpares: a retired file is gone from its name at once,
// and the next creation in its directory reuses it empty, with the outcome of
// a plain creation; files that are not ours alone are simply deleted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "TempDir.h"
#include "platform/File.h"

namespace {

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class RetiredFileTest : public ::testing::Test {
 protected:
  std::string Dir() const { return m_Dir.Path() + "/"; }
  // Writes `name`, retires it and returns the inode it had.
  ino_t Retire(const std::string& name, bool forOverwrite) {
    WriteWholeFile(Dir() + name, "an earlier mail that nobody may read again\r\n");
    const ino_t inode = InodeOf(Dir() + name);
    EXPECT_TRUE(forOverwrite ? FileRetireForOverwrite(Dir() + name) : FileRetire(Dir() + name));
    EXPECT_FALSE(FileExists(Dir() + name));
    return inode;
  }
  // Spare files: retired ones in ".spare", newly made ones below it.
  std::size_t SpareCount() const {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(Dir() + ".spare", ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      n += it->is_regular_file();
    return n;
  }
  CFile CreateNew(const std::string& name, FileCreation creation = FileCreation::kCreateNew) {
    return CFile::Open(Dir() + name, FileAccess::kReadWrite, FileShare::kNone, creation);
  }
  CTempDir m_Dir;
};

TEST_F(RetiredFileTest, NextCreationReusesTheFileEmptyWithCreationSemantics) {
  const ino_t inode = Retire("1.zqx", false);
  EXPECT_EQ(SpareCount(), 1u);
  struct stat spareDir {};
  ASSERT_EQ(::lstat((Dir() + ".spare").c_str(), &spareDir), 0);
  EXPECT_EQ(spareDir.st_mode & 0777, 0700u);

  // A create-new over an existing name still fails and leaves the spare.
  WriteWholeFile(Dir() + "taken", "keep");
  EXPECT_FALSE(CreateNew("taken").IsValid());
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(ReadWholeFile(Dir() + "taken"), "keep");
  EXPECT_EQ(SpareCount(), 1u);

  // The next new file is the retired one, emptied, with a fresh time.
  CFile created = CreateNew("2.zqx");
  ASSERT_TRUE(created.IsValid());
  EXPECT_EQ(InodeOf(Dir() + "2.zqx"), inode);
  EXPECT_EQ(FileSizeByName(Dir() + "2.zqx"), 0);
  EXPECT_LE(FileAgeSeconds(Dir() + "2.zqx"), 1);
  EXPECT_EQ(SpareCount(), 0u);
  ASSERT_EQ(created.Write("new", 3), 3);
  created.Close();
  EXPECT_EQ(ReadWholeFile(Dir() + "2.zqx"), "new");

  // Stream opens create from spares too; an existing file is opened, not replaced.
  ASSERT_TRUE(FileRetire(Dir() + "2.zqx"));
  ASSERT_TRUE(CStdioFile::Open(Dir() + "ENV1", "a+").IsOpen());
  EXPECT_EQ(InodeOf(Dir() + "ENV1"), inode);
  WriteWholeFile(Dir() + "ENV2", "old");
  ASSERT_TRUE(CStdioFile::Open(Dir() + "ENV2", "a+").IsOpen());
  EXPECT_EQ(ReadWholeFile(Dir() + "ENV2"), "old");
}

TEST_F(RetiredFileTest, RetiredForOverwriteKeepsItsBytesOnlyForOverwritingCreations) {
  const ino_t inode = Retire("1.zqx", true);
  // A plain creation never sees those bytes.
  ASSERT_TRUE(CStdioFile::Open(Dir() + "ENV1", "w").IsOpen());
  EXPECT_NE(InodeOf(Dir() + "ENV1"), inode);
  EXPECT_EQ(FileSizeByName(Dir() + "ENV1"), 0);
  ASSERT_TRUE(CreateNew("2.zqx").IsValid());
  EXPECT_NE(InodeOf(Dir() + "2.zqx"), inode);

  // An overwriting one gets it, written from its start and ended where the new content ends.
  CFile reused = CreateNew("3.zqx", FileCreation::kCreateNewOverwrite);
  ASSERT_TRUE(reused.IsValid());
  EXPECT_EQ(InodeOf(Dir() + "3.zqx"), inode);
  ASSERT_EQ(reused.Write("short", 5), 5);
  ASSERT_TRUE(reused.SetEndOfFile());
  reused.Close();
  EXPECT_EQ(ReadWholeFile(Dir() + "3.zqx"), "short");
}

TEST_F(RetiredFileTest, FilesNotOursAloneAreDeletedNotEmptied) {
  // A second name: emptying would destroy what that name shows.
  WriteWholeFile(Dir() + "linked", "data");
  ASSERT_EQ(::link((Dir() + "linked").c_str(), (Dir() + "other").c_str()), 0);
  ASSERT_TRUE(FileRetire(Dir() + "linked"));
  EXPECT_FALSE(FileExists(Dir() + "linked"));
  EXPECT_EQ(ReadWholeFile(Dir() + "other"), "data");
  // A link: only the link goes; its target is untouched.
  WriteWholeFile(Dir() + "target", "target data");
  ASSERT_EQ(::symlink((Dir() + "target").c_str(), (Dir() + "link").c_str()), 0);
  ASSERT_TRUE(FileRetire(Dir() + "link"));
  EXPECT_EQ(ReadWholeFile(Dir() + "target"), "target data");
  EXPECT_EQ(SpareCount(), 0u);
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
  Retire("a", false);
  EXPECT_EQ(SpareCount(), 0u);
  FileKeepSpares(Dir(), 4);
  EXPECT_EQ(SpareCount(), 0u);
}

TEST_F(RetiredFileTest, KeptSparesAreBoundedAndLeftoversOfAnotherRunRemoved) {
  for (const char* dir : {".spare", ".spare/new"}) ASSERT_EQ(::mkdir((Dir() + dir).c_str(), 0700), 0);
  WriteWholeFile(Dir() + ".spare/999-1", "left by a run that was killed");
  WriteWholeFile(Dir() + ".spare/new/999-2", "");
  FileKeepSpares(Dir(), 3);
  EXPECT_EQ(SpareCount(), 3u);
  EXPECT_FALSE(FileExists(Dir() + ".spare/999-1"));
  EXPECT_FALSE(FileExists(Dir() + ".spare/new/999-2"));
  FileKeepSpares(Dir(), 1000);  // capped
  const std::size_t capped = SpareCount();
  EXPECT_GT(capped, 3u);
  EXPECT_LT(capped, 100u);
  for (const auto& e : std::filesystem::recursive_directory_iterator(Dir() + ".spare"))
    EXPECT_TRUE(!e.is_regular_file() || std::filesystem::file_size(e.path()) == 0) << e.path();
  ASSERT_TRUE(CStdioFile::Open(Dir() + "Msgcnt.imp", "w").IsOpen());
  EXPECT_EQ(SpareCount(), capped - 1);  // each creation takes one
}

}  // namespace
