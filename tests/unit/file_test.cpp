// tests/unit/file_test.cpp: CFile share modes, whole-file operations, the
// directory count and the wildcard rule.
#include "platform/File.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"

namespace {
class FileTest : public ::testing::Test {
 protected:
  void ExpectLastError(long code) { EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(code)); }
  CTempDir m_Dir;
};

TEST_F(FileTest, ShareModesWithinOneProcess) {
  const std::string path = m_Dir.File("a.zqx");
  CFile writer = CFile::Open(path, FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateAlways);
  ASSERT_TRUE(writer.IsValid());
  ExpectLastError(ERROR_SUCCESS);  // it did not exist
  ASSERT_EQ(writer.Write("hello", 5), 5);
  // CREATE_ALWAYS by someone else must neither open nor truncate a held file.
  EXPECT_FALSE(
      CFile::Open(path, FileAccess::kWrite, FileShare::kNone, FileCreation::kCreateAlways).IsValid());
  ExpectLastError(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(writer.Size(), 5);
  ASSERT_TRUE(writer.Close());
  EXPECT_FALSE(writer.Close());

  CFile r1 = CFile::Open(path, FileAccess::kRead, FileShare::kReadWrite, FileCreation::kOpenExisting);
  CFile r2 = CFile::Open(path, FileAccess::kRead, FileShare::kReadWrite, FileCreation::kOpenExisting);
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
  ExpectLastError(ERROR_ALREADY_EXISTS);
  EXPECT_EQ(again.Size(), 0);
}

TEST_F(FileTest, OpenFailuresGiveWindowsCodes) {
  WriteWholeFile(m_Dir.File("exists"), "x");
  const struct {
    std::string path;
    FileCreation creation;
    long code;
  } cases[] = {
      {m_Dir.File("missing"), FileCreation::kOpenExisting, ERROR_FILE_NOT_FOUND},
      {m_Dir.File("nodir/missing"), FileCreation::kOpenExisting, ERROR_PATH_NOT_FOUND},
      {m_Dir.File("nodir/new"), FileCreation::kCreateAlways, ERROR_PATH_NOT_FOUND},
      {m_Dir.File("exists"), FileCreation::kCreateNew, ERROR_FILE_EXISTS},
      {m_Dir.Path(), FileCreation::kOpenExisting, ERROR_ACCESS_DENIED},
      {m_Dir.File(std::string(300, 'n')), FileCreation::kCreateNew, ERROR_FILENAME_EXCED_RANGE},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(CFile::Open(c.path, FileAccess::kRead, FileShare::kNone, c.creation).IsValid()) << c.path;
    ExpectLastError(c.code);
  }
}

// A move never replaces a file: it would lose a mail.
TEST_F(FileTest, MoveNeverReplacesButMoveReplaceDoes) {
  const std::string a = m_Dir.File("a"), b = m_Dir.File("b"), c = m_Dir.File("c");
  WriteWholeFile(a, "first");
  WriteWholeFile(b, "second");
  EXPECT_FALSE(FileMove(a, b));
  ExpectLastError(ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadWholeFile(b), "second");
  EXPECT_TRUE(FileMove(a, c));
  EXPECT_FALSE(FileExists(a));
  EXPECT_FALSE(FileMove(a, m_Dir.File("d")));
  ExpectLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(FileMoveReplace(c, b));
  EXPECT_EQ(ReadWholeFile(b), "first");
  EXPECT_GE(FileAgeSeconds(b), 0);
  EXPECT_EQ(FileAgeSeconds(c), -1);
}

TEST_F(FileTest, FilesSyncSyncsEveryFileItCanOpenAndReportsTheOthers) {
  WriteWholeFile(m_Dir.File("a"), "a");
  WriteWholeFile(m_Dir.File("b"), "b");
  EXPECT_TRUE(FilesSync({m_Dir.File("a"), m_Dir.File("b")}));
  EXPECT_TRUE(FilesSync({}));
  EXPECT_FALSE(FilesSync({m_Dir.File("a"), m_Dir.File("gone"), m_Dir.File("b")}));
  ExpectLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadWholeFile(m_Dir.File("b")), "b");
}

// The count may come from names kept by watching the directory: after any
// change, by this process or another, it must agree with a fresh search.
TEST_F(FileTest, CountMatchingEntriesAgreesWithASearchAfterEveryChange) {
  namespace fs = std::filesystem;
  const std::string dir = m_Dir.File("out");
  ASSERT_TRUE(DirectoryCreate(dir));
  auto agree = [&](const char* step) {
    for (const char* pattern : {"~ATTC005.*", "~attc006.*", "*.tmp", "ENV1*", "x.*", "*"}) {
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

  fs::remove_all(dir);  // a directory put in the place of the one counted before
  ASSERT_TRUE(DirectoryCreate(dir));
  WriteWholeFile(dir + "/~ATTC005.new", "");
  agree("replaced");
  fs::remove_all(dir);
  EXPECT_EQ(CountMatchingEntries(dir, "*", 10, count), ERROR_PATH_NOT_FOUND);
}

TEST(WildcardTest, Table) {
  const struct {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
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
      {"", "", true},
      {"", "a", false},
      {"*a", "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}
}  // namespace
