// tests/unit/spool/file_naming_test.cpp: counters, names and flags, and free attachment list names.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "SpoolTestSupport.h"
#include "platform/Process.h"
#include "spool/FileNaming.h"

namespace {

class FileNaming : public ::testing::Test {
 protected:
  void SetUp() override { m_Box.WithProgramPath(); }
  std::string Unique(const std::string& directory) {
    char name[100] = {};
    EXPECT_EQ(CreateUniqueFile("ATTC", "imp", directory.c_str(), name, sizeof(name)), 0);
    return name;
  }
  SpoolSandbox m_Box;
};

// Without flushes a drawer keeps the hive's lock while its draws are pending,
// and the other waits; with a flush every third draw the two take turns.
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

TEST_F(FileNaming, EnvelopeNameItsFlagAndPathsTooLongForTheirBuffers) {
  char name[80] = "old";
  EXPECT_NE(MakeEnvFileName(), ERROR_SUCCESS);  // no OUTIndex: nothing changes
  EXPECT_EQ(IsFileNameInUse(), 0);
  m_Box.SetNumber("OUTIndex", 41);
  m_Box.SetText("ProgramPath", m_Box.ProgramPath().substr(0, m_Box.ProgramPath().size() - 1));
  ASSERT_EQ(MakeEnvFileName(), ERROR_SUCCESS);  // the missing separator is added
  GetFileName(name);
  EXPECT_EQ(std::string(name), m_Box.Out() + "ENV41");
  EXPECT_EQ(IsFileNameInUse(), 1);
  ReleaseFileName();
  EXPECT_EQ(IsFileNameInUse(), 0);
  // 251 characters: readable into 260 bytes, but not with "OUT/Msgcnt.imp" after it.
  m_Box.SetText("ProgramPath", m_Box.ProgramPath() + std::string(250 - m_Box.ProgramPath().size(), 'p') +
                                   kPathSeparatorText);
  EXPECT_EQ(MakeEnvFileName(), ERROR_FILENAME_EXCED_RANGE);  // FileName is read back through 80 bytes
  EXPECT_EQ(IsFileNameInUse(), 0);
  EXPECT_EQ(m_Box.Number("OUTIndex"), 42u);  // a refused drawing changes nothing at all
  char path[260] = "x";
  GetMsgCountFileName(path);
  EXPECT_STREQ(path, "");
}

TEST_F(FileNaming, UniqueFilesCountUpAndSkipStemsWithAnyExtension) {
  EXPECT_EQ(Unique(m_Box.Out()), "~ATTC000.imp");
  EXPECT_EQ(Unique(m_Box.Out()), "~ATTC001.imp");
  // "stem.*" takes any extension, and the bare stem too.
  for (const char* name : {"~ATTC002.imp", "~ATTC003.imp", "~ATTC004.imp", "~ATTC005.txt", "~ATTC006"})
    SpoolSandbox::Touch(m_Box.Out() + name);
  EXPECT_EQ(Unique(m_Box.Out()), "~ATTC007.imp");
  // Only the chosen name was left behind; the taken stems keep just their own files.
  EXPECT_FALSE(std::filesystem::exists(m_Box.Out() + "~ATTC005.imp"));
  EXPECT_EQ(ReadWholeFile(m_Box.Out() + "~ATTC005.txt"), "x");
}

}  // namespace
