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
namespace fs = std::filesystem;

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class RetiredFileTest : public ::testing::Test {
 protected:
  // Writes `name`, retires it and returns the inode it had.
  ino_t Retire(const std::string& name, bool forOverwrite) {
    WriteWholeFile(m_D + name, "an earlier mail that nobody may read again\r\n");
    const ino_t inode = InodeOf(m_D + name);
    EXPECT_TRUE(forOverwrite ? FileRetireForOverwrite(m_D + name) : FileRetire(m_D + name));
    EXPECT_FALSE(FileExists(m_D + name));
    return inode;
  }
  // Spare files: retired ones in ".spare", newly made ones below it.
  std::size_t SpareCount() const {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = fs::recursive_directory_iterator(m_D + ".spare", ec); !ec && it != fs::end(it); it.increment(ec))
      n += it->is_regular_file();
    return n;
  }
  CFile CreateNew(const std::string& name, FileCreation creation = FileCreation::kCreateNew) {
    return CFile::Open(m_D + name, FileAccess::kReadWrite, FileShare::kNone, creation);
  }
  CTempDir m_Dir;
  const std::string m_D = m_Dir.Path() + "/";
};

TEST_F(RetiredFileTest, NextCreationReusesTheFileEmptyWithCreationSemantics) {
  const ino_t inode = Retire("1.zqx", false);
  EXPECT_EQ(SpareCount(), 1u);
  // A create-new over an existing name still fails and leaves the spare.
  WriteWholeFile(m_D + "taken", "keep");
  EXPECT_FALSE(CreateNew("taken").IsValid());
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(ReadWholeFile(m_D + "taken"), "keep");
  EXPECT_EQ(SpareCount(), 1u);
  // The next new file is the retired one, emptied.
  ASSERT_TRUE(CreateNew("2.zqx").IsValid());
  EXPECT_EQ(InodeOf(m_D + "2.zqx"), inode);
  EXPECT_EQ(FileSizeByName(m_D + "2.zqx"), 0);
  EXPECT_EQ(SpareCount(), 0u);
  // Stream opens create from spares too; an existing file is opened, not replaced.
  ASSERT_TRUE(FileRetire(m_D + "2.zqx"));
  ASSERT_TRUE(CStdioFile::Open(m_D + "ENV1", "a+").IsOpen());
  EXPECT_EQ(InodeOf(m_D + "ENV1"), inode);
  WriteWholeFile(m_D + "ENV2", "old");
  ASSERT_TRUE(CStdioFile::Open(m_D + "ENV2", "a+").IsOpen());
  EXPECT_EQ(ReadWholeFile(m_D + "ENV2"), "old");
}

TEST_F(RetiredFileTest, RetiredForOverwriteKeepsItsBytesOnlyForOverwritingCreations) {
  const ino_t inode = Retire("1.zqx", true);
  ASSERT_TRUE(CStdioFile::Open(m_D + "ENV1", "w").IsOpen());  // a plain creation never sees those bytes
  EXPECT_NE(InodeOf(m_D + "ENV1"), inode);
  CFile reused = CreateNew("3.zqx", FileCreation::kCreateNewOverwrite);
  ASSERT_TRUE(reused.IsValid());
  EXPECT_EQ(InodeOf(m_D + "3.zqx"), inode);
  ASSERT_EQ(reused.Write("short", 5), 5);
  ASSERT_TRUE(reused.SetEndOfFile());
  reused.Close();
  EXPECT_EQ(ReadWholeFile(m_D + "3.zqx"), "short");
}

TEST_F(RetiredFileTest, FilesNotOursAloneAreDeletedNotEmptied) {
  WriteWholeFile(m_D + "linked", "data");  // a second name: emptying would destroy what it shows
  ASSERT_EQ(::link((m_D + "linked").c_str(), (m_D + "other").c_str()), 0);
  ASSERT_TRUE(FileRetire(m_D + "linked"));
  EXPECT_FALSE(FileExists(m_D + "linked"));
  EXPECT_EQ(ReadWholeFile(m_D + "other"), "data");
  WriteWholeFile(m_D + "target", "target data");  // a link: only the link goes
  ASSERT_EQ(::symlink((m_D + "target").c_str(), (m_D + "link").c_str()), 0);
  ASSERT_TRUE(FileRetire(m_D + "link"));
  EXPECT_EQ(ReadWholeFile(m_D + "target"), "target data");
  EXPECT_EQ(SpareCount(), 0u);
  fs::create_directory(m_D + "sub");
  EXPECT_FALSE(FileRetire(m_D + "sub"));
  EXPECT_TRUE(fs::is_directory(m_D + "sub"));
}

TEST_F(RetiredFileTest, KeptSparesAreBoundedAndLeftoversOfAnotherRunRemoved) {
  for (const char* dir : {".spare", ".spare/new"}) ASSERT_EQ(::mkdir((m_D + dir).c_str(), 0700), 0);
  WriteWholeFile(m_D + ".spare/999-1", "left by a run that was killed");
  WriteWholeFile(m_D + ".spare/new/999-2", "");
  FileKeepSpares(m_D, 3);
  EXPECT_EQ(SpareCount(), 3u);
  EXPECT_FALSE(FileExists(m_D + ".spare/999-1"));
  EXPECT_FALSE(FileExists(m_D + ".spare/new/999-2"));
  FileKeepSpares(m_D, 1000);  // capped
  const std::size_t capped = SpareCount();
  EXPECT_GT(capped, 3u);
  EXPECT_LT(capped, 100u);
  ASSERT_TRUE(CStdioFile::Open(m_D + "Msgcnt.imp", "w").IsOpen());
  EXPECT_EQ(SpareCount(), capped - 1);  // each creation takes one
}

TEST_F(RetiredFileTest, ForeignSpareDirectoryIsNeverUsed) {
  fs::create_directory(m_D + ".spare");
  ::chmod((m_D + ".spare").c_str(), 0777);
  Retire("a", false);  // falls back to deleting
  FileKeepSpares(m_D, 4);
  EXPECT_EQ(SpareCount(), 0u);
}

}  // namespace
