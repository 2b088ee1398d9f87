// tests/unit/file_test.cpp: CFile share modes, whole-file operations, the
// directory search and its wildcard rule.
#include "platform/File.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"

namespace {
class FileTest : public ::testing::Test {
 protected:
  CTempDir m_Dir;
};

TEST_F(FileTest, ShareModesWithinOneProcess) {
  const std::string path = m_Dir.File("a.zqx");
  CFile writer = CFile::Open(path, FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateAlways);
  ASSERT_TRUE(writer.IsValid());
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_SUCCESS));  // it did not exist
  ASSERT_EQ(writer.Write("hello", 5), 5);
  // CREATE_ALWAYS by someone else must neither open nor truncate a held file.
  CFile second = CFile::Open(path, FileAccess::kWrite, FileShare::kNone, FileCreation::kCreateAlways);
  EXPECT_FALSE(second.IsValid());
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(writer.Size(), 5);
  ASSERT_TRUE(writer.Close());
  EXPECT_FALSE(writer.Close());

  CFile r1 = CFile::Open(path, FileAccess::kRead, FileShare::kReadWrite, FileCreation::kOpenExisting);
  CFile r2 = CFile::Open(path, FileAccess::kRead, FileShare::kReadWrite, FileCreation::kOpenExisting);
  EXPECT_TRUE(r1.IsValid());
  EXPECT_TRUE(r2.IsValid());
  char buf[16];
  EXPECT_EQ(r1.Read(buf, sizeof buf), 5);
  EXPECT_EQ(r1.Read(buf, sizeof buf), 0);
  CFile again = CFile::Open(path, FileAccess::kWrite, FileShare::kNone, FileCreation::kCreateAlways);
  EXPECT_FALSE(again.IsValid());  // readers hold it shared
  r1.Close();
  r2.Close();
  again = CFile::Open(path, FileAccess::kWrite, FileShare::kNone, FileCreation::kCreateAlways);
  ASSERT_TRUE(again.IsValid());
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(again.Size(), 0);
}

TEST_F(FileTest, OpenFailuresGiveWindowsCodes) {
  struct Case {
    std::string path;
    FileCreation creation;
    long code;
  };
  WriteWholeFile(m_Dir.File("exists"), "x");
  const Case cases[] = {
      {m_Dir.File("missing"), FileCreation::kOpenExisting, ERROR_FILE_NOT_FOUND},
      {m_Dir.File("nodir/missing"), FileCreation::kOpenExisting, ERROR_PATH_NOT_FOUND},
      {m_Dir.File("nodir/new"), FileCreation::kCreateAlways, ERROR_PATH_NOT_FOUND},
      {m_Dir.File("exists"), FileCreation::kCreateNew, ERROR_FILE_EXISTS},
      {m_Dir.Path(), FileCreation::kOpenExisting, ERROR_ACCESS_DENIED},
      {m_Dir.File(std::string(300, 'n')), FileCreation::kCreateNew, ERROR_FILENAME_EXCED_RANGE},
  };
  for (const Case& c : cases) {
    CFile file = CFile::Open(c.path, FileAccess::kRead, FileShare::kNone, c.creation);
    EXPECT_FALSE(file.IsValid()) << c.path;
    EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(c.code)) << c.path;
  }
}

TEST_F(FileTest, MoveNeverReplacesButMoveReplaceDoes) {
  WriteWholeFile(m_Dir.File("a"), "first");
  WriteWholeFile(m_Dir.File("b"), "second");
  EXPECT_FALSE(FileMove(m_Dir.File("a"), m_Dir.File("b")));
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadWholeFile(m_Dir.File("b")), "second");
  EXPECT_TRUE(FileExists(m_Dir.File("a")));

  EXPECT_TRUE(FileMove(m_Dir.File("a"), m_Dir.File("c")));
  EXPECT_FALSE(FileExists(m_Dir.File("a")));
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(FileMove(m_Dir.File("a"), m_Dir.File("d")));
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  EXPECT_TRUE(FileMoveReplace(m_Dir.File("c"), m_Dir.File("b")));
  EXPECT_EQ(ReadWholeFile(m_Dir.File("b")), "first");
}

TEST_F(FileTest, CopyKeepsTargetsItMustNotTouch) {
  WriteWholeFile(m_Dir.File("src"), std::string(200000, 's'));
  WriteWholeFile(m_Dir.File("dst"), "old");
  EXPECT_FALSE(FileCopy(m_Dir.File("src"), m_Dir.File("dst"), true));
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(ReadWholeFile(m_Dir.File("dst")), "old");
  EXPECT_TRUE(FileCopy(m_Dir.File("src"), m_Dir.File("dst"), false));
  EXPECT_EQ(ReadWholeFile(m_Dir.File("dst")), std::string(200000, 's'));
  EXPECT_EQ(FileSizeByName(m_Dir.File("dst")), 200000);
  // Onto itself (through another spelling): refused, not truncated.
  EXPECT_FALSE(FileCopy(m_Dir.File("src"), m_Dir.Path() + "/./src", false));
  EXPECT_EQ(FileSizeByName(m_Dir.File("src")), 200000);
  EXPECT_GE(FileAgeSeconds(m_Dir.File("src")), 0);
  EXPECT_EQ(FileAgeSeconds(m_Dir.File("none")), -1);
}

TEST_F(FileTest, FilesSyncSyncsEveryFileItCanOpenAndReportsTheOthers) {
  WriteWholeFile(m_Dir.File("a"), "a");
  WriteWholeFile(m_Dir.File("b"), "b");
  EXPECT_TRUE(FilesSync({m_Dir.File("a"), m_Dir.File("b")}));
  EXPECT_TRUE(FilesSync({}));
  EXPECT_FALSE(FilesSync({m_Dir.File("a"), m_Dir.File("gone"), m_Dir.File("b")}));
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ReadWholeFile(m_Dir.File("b")), "b");
}

// The count may come from names kept by watching the directory: after any
// change, by this process or another, it must agree with a fresh search.
TEST_F(FileTest, CountMatchingEntriesAgreesWithASearchAfterEveryChange) {
  namespace fs = std::filesystem;
  const std::string dir = m_Dir.File("out");
  ASSERT_TRUE(DirectoryCreate(dir));
  const char* const patterns[] = {"~ATTC005.*", "~attc006.*", "*.tmp", "ENV1*", "x.*", "*"};
  auto agree = [&](const char* step) {
    for (const char* pattern : patterns) {
      std::vector<std::string> names;
      const long found = FindFiles(dir, pattern, names);
      ASSERT_TRUE(found == ERROR_SUCCESS || found == ERROR_FILE_NOT_FOUND) << step;
      std::size_t count = 99;
      ASSERT_EQ(CountMatchingEntries(dir, pattern, 1000, count), ERROR_SUCCESS) << step << " " << pattern;
      EXPECT_EQ(count, names.size()) << step << " " << pattern;
    }
  };
  agree("empty");
  for (const char* name :
       {"~ATTC005.imp", "~attc005.TXT", "~ATTC005", "~ATTC0050.imp", "ENV1", "ENV12.tmp", "x"})
    WriteWholeFile(dir + "/" + name, "");
  agree("created");
  fs::rename(dir + "/ENV1", dir + "/ENV1.tmp");
  fs::rename(dir + "/~ATTC005", m_Dir.File("moved-out"));
  fs::rename(m_Dir.File("moved-out"), dir + "/~ATTC006.x");
  agree("renamed");
  fs::remove(dir + "/~ATTC005.imp");
  fs::create_directory(dir + "/x.d");
  agree("removed");
  ASSERT_EQ(std::system(("cd '" + dir + "' && touch ~ATTC006.imp y.tmp && rm -f x").c_str()), 0);
  agree("another process");
  std::size_t count = 0;
  ASSERT_EQ(CountMatchingEntries(dir, "*", 2, count), ERROR_SUCCESS);
  EXPECT_EQ(count, 2u);  // the limit

  // A directory put in the place of the one counted before.
  fs::remove_all(dir);
  ASSERT_TRUE(DirectoryCreate(dir));
  WriteWholeFile(dir + "/~ATTC005.new", "");
  agree("replaced");
  fs::remove_all(dir);
  EXPECT_EQ(CountMatchingEntries(dir, "*", 10, count), ERROR_PATH_NOT_FOUND);
}

TEST(WildcardTest, Table) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"*.tmp", "a.tmp", true},
      {"*.tmp", "A.TMP", true},
      {"*.tmp", "a.tmp.x", false},
      {"*.tmp", ".tmp", true},
      {"*.tmp", "atmp", false},
      {"?.tmp", "ab.tmp", false},
      {"??.tmp", "ab.tmp", true},
      {"*", "", true},
      {"*.*", "noext", true},
      {"x.*", "x", true},
      {"x.*", "xy", false},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYbZ", false},
      {"ENV*", "env17", true},
      {"", "", true},
      {"", "a", false},
      {"*a", "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}
}  // namespace
