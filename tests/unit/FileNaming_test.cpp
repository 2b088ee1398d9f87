// tests/unit/FileNaming_test.cpp: counters, last names and flags, and the free
// name search for attachment list files.
// GCC 12 reports a false maybe-uninitialized inside <regex> under -O2 with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "spool/FileNaming.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "SpoolTestSupport.h"
#include "platform/HiveFormat.h"
#include "platform/Process.h"

namespace {

class FileNaming : public ::testing::Test {
 protected:
  void SetUp() override { m_Box.WithProgramPath(); }
  std::string Unique(const std::string& directory, int expectedRc = 0) {
    char name[100] = {};
    EXPECT_EQ(CreateUniqueFile("ATTC", "imp", directory.c_str(), name, sizeof(name)), expectedRc);
    return name;
  }
  void TouchList(int from, int to, const char* extension) {
    for (int i = from; i <= to; ++i) {
      char name[32];
      std::snprintf(name, sizeof(name), "~ATTC%03d.%s", i, extension);
      SpoolSandbox::Touch(m_Box.Out() + name);
    }
  }
  bool Logged(const std::string& log, const char* text) const { return log.find(text) != std::string::npos; }
  SpoolSandbox m_Box;
};

// Without flushes every draw renames a new hive into place; with them, the
// draws of both processes alternate between the hive and its synced copy.
TEST_F(FileNaming, TwoProcessesNeverDrawTheSameNumber) {
  for (const char* flushEvery : {"0", "3"}) {
    SCOPED_TRACE(flushEvery);
    m_Box.SetNumber("TmpIndex", 500);
    CChildProcess a, b;
    ASSERT_TRUE(a.Start({CVSMTPGW_TEST_HELPER, "tmp-names", "1000", flushEvery}));
    ASSERT_TRUE(b.Start({CVSMTPGW_TEST_HELPER, "tmp-names", "1000", flushEvery}));
    std::multiset<long> seen;
    for (CChildProcess* child : {&a, &b}) {
      for (std::string line; child->ReadLine(line, 120000);) seen.insert(std::stol(line));
      EXPECT_EQ(child->Wait(60000), 0);
    }
    EXPECT_EQ(seen.size(), 2000u);
    EXPECT_EQ(std::set<long>(seen.begin(), seen.end()).size(), 2000u) << "a number was drawn twice";
    EXPECT_EQ(*seen.rbegin(), 2499);
    EXPECT_EQ(m_Box.Number("TmpIndex"), 2500u);
  }
}

// A drawer killed at any point, also while it rewrites the hive in place
// between flushes, leaves a whole hive that holds every step it reported.
TEST_F(FileNaming, KilledDrawerLeavesAWholeHive) {
  m_Box.SetNumber("TmpIndex", 0);
  CChildProcess child;
  ASSERT_TRUE(child.Start({CVSMTPGW_TEST_HELPER, "tmp-names", "1000000", "25"}));
  long lastSeen = -1;
  for (std::string line; lastSeen < 300 && child.ReadLine(line, 20000);) lastSeen = std::stol(line);
  ASSERT_GE(lastSeen, 300);
  child.Kill();
  child.Wait(10000);
  std::vector<CHiveProblem> problems;
  ASSERT_TRUE(CHive::Parse(SpoolSandbox::ReadWhole(m_Box.HivePath()), problems).Complete());
  const DWORD next = m_Box.Number("TmpIndex");
  EXPECT_GT(static_cast<long>(next), lastSeen);
  long drawn = -1;
  ASSERT_EQ(DrawCounter("TmpIndex", drawn), ERROR_SUCCESS);
  EXPECT_EQ(drawn, static_cast<long>(next));
}

TEST_F(FileNaming, EnvelopeAndAttachmentNamesWithTheirFlags) {
  char name[80] = "old";
  EXPECT_NE(MakeEnvFileName(), ERROR_SUCCESS);  // no OUTIndex: nothing changes
  EXPECT_EQ(IsFileNameInUse(), 0);
  GetFileName(name);
  EXPECT_STREQ(name, "");

  m_Box.SetNumber("OUTIndex", 41);
  m_Box.SetText("ProgramPath", m_Box.ProgramPath().substr(0, m_Box.ProgramPath().size() - 1));
  ASSERT_EQ(MakeEnvFileName(), ERROR_SUCCESS);  // the missing separator is added
  GetFileName(name);
  EXPECT_EQ(std::string(name), m_Box.Out() + "ENV41");
  EXPECT_EQ(IsFileNameInUse(), 1);
  ReleaseFileName();
  EXPECT_EQ(IsFileNameInUse(), 0);

  m_Box.SetNumber("OUTIndexAtt", 17);
  ASSERT_EQ(MakeAttFileName("pdf"), ERROR_SUCCESS);
  ASSERT_EQ(MakeAttFileName(""), ERROR_SUCCESS);
  GetFileNameAtt(name);
  EXPECT_STREQ(name, "ATT18.");
  EXPECT_EQ(IsFileNameAttInUse(), 1);
  ReleaseFileNameAtt();
  EXPECT_EQ(IsFileNameAttInUse(), 0);
}

TEST_F(FileNaming, PathsTooLongForTheirBuffersAreRefused) {
  m_Box.EnableLogs();
  m_Box.SetNumber("OUTIndex", 1);
  // 251 characters: readable into 260 bytes, but not with "OUT/Msgcnt.imp" after it.
  m_Box.SetText("ProgramPath", m_Box.ProgramPath() + std::string(250 - m_Box.ProgramPath().size(), 'p') +
                                   kPathSeparatorText);
  EXPECT_EQ(MakeEnvFileName(), ERROR_FILENAME_EXCED_RANGE);  // FileName is read back through 80 bytes
  EXPECT_EQ(IsFileNameInUse(), 0);
  EXPECT_EQ(m_Box.Number("OUTIndex"), 1u);  // a refused drawing changes nothing at all
  char path[260] = "x";
  GetMsgCountFileName(path);
  EXPECT_STREQ(path, "");
  EXPECT_TRUE(Logged(m_Box.PrimaryLog(), "MakeEnvFileName Error: envelope path too long: "));
  EXPECT_TRUE(Logged(m_Box.PrimaryLog(), "GetMsgCountFileName Error: path too long: "));
}

TEST_F(FileNaming, UniqueFilesCountUpAndSkipStemsWithAnyExtension) {
  EXPECT_EQ(Unique(m_Box.Out()), "~ATTC000.imp");
  EXPECT_EQ(Unique(m_Box.Out()), "~ATTC001.imp");
  TouchList(2, 4, "imp");
  TouchList(5, 5, "txt");
  SpoolSandbox::Touch(m_Box.Out() + "~ATTC006");  // "stem.*" takes the bare stem too
  EXPECT_EQ(Unique(m_Box.Out()), "~ATTC007.imp");
  // Only the chosen name was left behind; the taken stems keep just their own files.
  for (const char* name : {"~ATTC005.imp", "~ATTC006.imp"})
    EXPECT_FALSE(std::filesystem::exists(m_Box.Out() + name)) << name;
  EXPECT_EQ(SpoolSandbox::ReadWhole(m_Box.Out() + "~ATTC005.txt"), "x");
}

TEST_F(FileNaming, PhasesAfterTheSequentialRange) {
  TouchList(0, 39, "imp");
  std::smatch m;
  const std::string decimal = Unique(m_Box.Out());
  ASSERT_TRUE(std::regex_match(decimal, m, std::regex(R"(~ATTC(\d\d\d)\.imp)"))) << decimal;
  EXPECT_GE(std::stoi(m[1]), 40);
  TouchList(0, 999, "x");  // every decimal name: radix 36, with at least one letter
  EXPECT_TRUE(
      std::regex_match(Unique(m_Box.Out()), std::regex(R"(~ATTC(?=[0-9A-Z]*[A-Z])[0-9A-Z]{3}\.imp)")));
}

TEST_F(FileNaming, UniqueAndAutoFileRefusals) {
  m_Box.EnableLogs();
  EXPECT_EQ(Unique(m_Box.Out().substr(0, m_Box.Out().size() - 1), 5), "");  // no separator
  Unique(m_Box.Root() + "missing" + kPathSeparatorText, 3);
  char name[260];
  EXPECT_EQ(CreateUniqueFile("AT*C", "imp", m_Box.Out().c_str(), name, sizeof(name)), 1);

  // An auto file in a missing directory leaves just the directory.
  std::filesystem::remove_all(m_Box.Out());
  CreateAutoFile(name);
  EXPECT_EQ(std::string(name), m_Box.Out());
  EXPECT_TRUE(Logged(m_Box.SecondaryLog(), "SMTPIn- CreateAutoFile failed, invalid path: 3 "));
  std::filesystem::create_directory(m_Box.Out());
  CreateAutoFile(name);
  EXPECT_EQ(std::string(name), m_Box.Out() + "~ATTC000.imp");
}

}  // namespace
