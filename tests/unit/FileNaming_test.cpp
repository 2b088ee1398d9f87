// tests/unit/FileNaming_test.cpp: counters, last names and flags, and the free
// name search for attachment list files.
#include "spool/FileNaming.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "SpoolTestSupport.h"

namespace {

class FileNaming : public ::testing::Test {
 protected:
  void SetUp() override { m_Box.WithProgramPath(); }
  std::string Unique(const std::string& directory, int* rc = nullptr) {
    char name[100] = {};
    const int result = CreateUniqueFile("ATTC", "imp", directory.c_str(), name, sizeof(name));
    if (rc != nullptr) *rc = result;
    return name;
  }
  SpoolSandbox m_Box;
};

TEST_F(FileNaming, CounterWrapsFrom65534ToZero) {
  m_Box.SetNumber("OUTIndexAtt", 65534);
  long value = -1;
  ASSERT_EQ(DrawCounter("OUTIndexAtt", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 65534);
  EXPECT_EQ(m_Box.Number("OUTIndexAtt"), 0u);
  ASSERT_EQ(DrawCounter("OUTIndexAtt", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0);
  // A missing counter starts at 0.
  ASSERT_EQ(DrawCounter("TmpIndex", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(m_Box.Number("TmpIndex"), 1u);
}

#ifdef CVSMTPGW_TEST_HELPER
TEST_F(FileNaming, TwoProcessesNeverDrawTheSameNumber) {
  m_Box.SetNumber("TmpIndex", 500);  // the helpers read ProgramPath from the same hive
  const std::string helper = std::string("'") + CVSMTPGW_TEST_HELPER + "' tmp-names 1000 > '";
  const std::string a = m_Box.Root() + "a.txt";
  const std::string b = m_Box.Root() + "b.txt";
  ASSERT_EQ(m_Box.RunShell(helper + a + "' & " + helper + b + "' & wait"), 0);

  std::set<long> seen;
  std::size_t total = 0;
  for (const std::string& file : {a, b}) {
    std::ifstream in(file);
    for (long n; in >> n; ++total) {
      EXPECT_TRUE(seen.insert(n).second) << "drawn twice: " << n;
    }
  }
  EXPECT_EQ(total, 2000u);
  EXPECT_EQ(seen.size(), 2000u);
  EXPECT_EQ(*seen.begin(), 500);
  EXPECT_EQ(*seen.rbegin(), 2499);
  EXPECT_EQ(m_Box.Number("TmpIndex"), 2500u);
}
#endif

TEST_F(FileNaming, EnvelopeNameNeedsItsCounterAndSetsTheFlag) {
  char name[80] = "old";
  EXPECT_NE(MakeEnvFileName(), ERROR_SUCCESS);  // no OUTIndex yet
  EXPECT_EQ(m_Box.Text("FileName"), "<absent>");
  EXPECT_EQ(IsFileNameInUse(), 0);
  GetFileName(name);
  EXPECT_STREQ(name, "");

  m_Box.SetNumber("OUTIndex", 41);
  // A program path without its final separator gets one.
  std::string path = m_Box.ProgramPath();
  path.pop_back();
  m_Box.SetText("ProgramPath", path);
  ASSERT_EQ(MakeEnvFileName(), ERROR_SUCCESS);
  GetFileName(name);
  EXPECT_EQ(std::string(name), m_Box.Out() + "ENV41");
  EXPECT_EQ(IsFileNameInUse(), 1);
  EXPECT_EQ(m_Box.Number("OUTIndex"), 42u);
  ReleaseFileName();
  EXPECT_EQ(IsFileNameInUse(), 0);
}

TEST_F(FileNaming, EnvelopeNameTooLongForItsReadIsRefused) {
  m_Box.EnableLogs();
  m_Box.SetNumber("OUTIndex", 1);
  m_Box.SetText("ProgramPath", m_Box.ProgramPath() + std::string(100, 'p') + kPathSeparatorText);
  EXPECT_NE(MakeEnvFileName(), ERROR_SUCCESS);
  EXPECT_EQ(IsFileNameInUse(), 0);
  EXPECT_NE(m_Box.PrimaryLog().find("MakeEnvFileName Error: envelope path too long: "), std::string::npos);
  char programPath[80] = "x";
  GetProgramPath(programPath);  // longer than its 80-byte read: empty
  EXPECT_STREQ(programPath, "");
}

TEST_F(FileNaming, AttachmentNamesAndTheirFlag) {
  m_Box.SetNumber("OUTIndexAtt", 17);
  ASSERT_EQ(MakeAttFileName("pdf"), ERROR_SUCCESS);
  char name[80];
  GetFileNameAtt(name);
  EXPECT_STREQ(name, "ATT17.pdf");
  EXPECT_EQ(IsFileNameAttInUse(), 1);
  ReleaseFileNameAtt();
  EXPECT_EQ(IsFileNameAttInUse(), 0);
  ASSERT_EQ(MakeAttFileName(""), ERROR_SUCCESS);
  GetFileNameAtt(name);
  EXPECT_STREQ(name, "ATT18.");
}

TEST_F(FileNaming, FixedNamesUnderTheProgramPath) {
  char path[260];
  GetMsgCountFileName(path);
  EXPECT_EQ(std::string(path), m_Box.Out() + "Msgcnt.imp");
  char programPath[80];
  GetProgramPath(programPath);
  EXPECT_EQ(std::string(programPath), m_Box.ProgramPath());

  m_Box.EnableLogs();
  m_Box.SetText("ProgramPath", std::string(250, 'p') + kPathSeparatorText);
  GetMsgCountFileName(path);
  EXPECT_STREQ(path, "");
  EXPECT_NE(m_Box.PrimaryLog().find("GetMsgCountFileName Error: path too long: "), std::string::npos);
}

TEST_F(FileNaming, UniqueFilesCountUpFromZero) {
  EXPECT_EQ(Unique(m_Box.Out()), "~ATTC000.imp");
  EXPECT_EQ(Unique(m_Box.Out()), "~ATTC001.imp");
  EXPECT_TRUE(std::filesystem::exists(m_Box.Out() + "~ATTC000.imp"));
  EXPECT_TRUE(std::filesystem::exists(m_Box.Out() + "~ATTC001.imp"));
}

TEST_F(FileNaming, AStemWithAnyExtensionIsTaken) {
  for (int i = 0; i < 5; ++i) SpoolSandbox::Touch(m_Box.Out() + "~ATTC00" + std::to_string(i) + ".imp");
  SpoolSandbox::Touch(m_Box.Out() + "~ATTC005.txt");
  EXPECT_EQ(Unique(m_Box.Out()), "~ATTC006.imp");
}

TEST_F(FileNaming, AfterTheSequentialRangeComesADecimalNumberFrom040To999) {
  for (int i = 0; i <= 39; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "~ATTC%03d.imp", i);
    SpoolSandbox::Touch(m_Box.Out() + name);
  }
  const std::string name = Unique(m_Box.Out());
  ASSERT_EQ(name.size(), 12u) << name;
  const std::string digits = name.substr(5, 3);
  ASSERT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << name;
  const int n = std::stoi(digits);
  EXPECT_GE(n, 40);
  EXPECT_LE(n, 999);
}

TEST_F(FileNaming, WithEveryDecimalNameTakenTheSearchGoesToRadix36) {
  for (int i = 0; i <= 999; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "~ATTC%03d.x", i);
    SpoolSandbox::Touch(m_Box.Out() + name);
  }
  const std::string name = Unique(m_Box.Out());
  ASSERT_EQ(name.size(), 12u) << name;
  const std::string digits = name.substr(5, 3);
  EXPECT_EQ(digits.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << name;
  EXPECT_NE(digits.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << name;
}

TEST_F(FileNaming, UniqueFileRefusals) {
  int rc = 0;
  std::string noSeparator = m_Box.Out();
  noSeparator.pop_back();
  EXPECT_EQ(Unique(noSeparator, &rc), "");
  EXPECT_EQ(rc, 5);
  Unique(m_Box.Root() + "missing" + kPathSeparatorText, &rc);
  EXPECT_EQ(rc, 3);
  char name[100];
  EXPECT_EQ(CreateUniqueFile("ATT", "imp", m_Box.Out().c_str(), name, sizeof(name)), 1);
  EXPECT_EQ(CreateUniqueFile("ATTC", "imps", m_Box.Out().c_str(), name, sizeof(name)), 1);
  EXPECT_EQ(CreateUniqueFile("AT*C", "imp", m_Box.Out().c_str(), name, sizeof(name)), 1);
  EXPECT_EQ(CreateUniqueFile("ATTC", "imp", (std::string(257, 'd') + kPathSeparatorText).c_str(), name, 100), 1);
  EXPECT_EQ(CreateUniqueFile("ATTC", "imp", m_Box.Out().c_str(), name, 12), 1);  // no room for the name
}

TEST_F(FileNaming, AutoFileInAMissingDirectoryLeavesTheBareDirectory) {
  m_Box.EnableLogs();
  std::filesystem::remove_all(m_Box.Out());
  char path[260];
  CreateAutoFile(path);
  EXPECT_EQ(std::string(path), m_Box.Out());
  EXPECT_NE(m_Box.SecondaryLog().find("SMTPIn- CreateAutoFile failed, invalid path: 3 "), std::string::npos)
      << m_Box.SecondaryLog();

  std::filesystem::create_directory(m_Box.Out());
  CreateAutoFile(path);
  EXPECT_EQ(std::string(path), m_Box.Out() + "~ATTC000.imp");
}

TEST(FileNamingPath, TrailingSeparatorIsAddedOnlyWhenMissingAndRoomy) {
  char path[8] = "abc";
  AddTrailingBackslash(path, sizeof(path));
  EXPECT_EQ(std::string(path), std::string("abc") + kPathSeparatorText);
  AddTrailingBackslash(path, sizeof(path));
  EXPECT_EQ(std::string(path), std::string("abc") + kPathSeparatorText);
  char empty[4] = "";
  AddTrailingBackslash(empty, sizeof(empty));
  EXPECT_STREQ(empty, "");
  char full[4] = "abc";
  AddTrailingBackslash(full, sizeof(full));
  EXPECT_STREQ(full, "abc");
}

}  // namespace
