// The submission hand-off: no job from an unusable message, and what becomes of
// the received mail after the hand-off.
#include "smtpin/Decode.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "MimeTestSupport.h"
#include "spool/FileNaming.h"

namespace {

class DecodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Box.WithProgramPath();
    m_Box.SetNumber("OUTIndex", 7);
    m_Spool = m_Box.Out() + "41.zqx";
  }
  std::vector<std::string> OutFiles() const { return DirectoryNames(m_Box.Out()); }

  SpoolSandbox m_Box;
  std::string m_Spool;
};

TEST_F(DecodeTest, UnusableMessageOrSpoolFileMakesNoJob) {
  std::filesystem::create_directory(m_Box.Out() + "Msgcnt.imp");
  WriteWholeFile(m_Spool, AsStored("Subject: s\n\nbody\n"));
  EXPECT_EQ(DecodeSpoolFile({}, m_Spool.c_str()), 1);
  EXPECT_EQ(m_Box.Number("OUTIndex"), 7u);  // stopped before an envelope was drawn
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"41.zqx", "Msgcnt.imp"}));
  EXPECT_EQ(DecodeSpoolFile({}, (m_Box.Out() + "missing.zqx").c_str()), 1);
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"41.zqx", "Msgcnt.imp"}));
}

TEST_F(DecodeTest, SpoolFileAfterTheHandOff) {
  WriteWholeFile(m_Spool, "x");
  FinishSpoolFile(m_Spool.c_str(), 0);  // logs off: deleted
  EXPECT_TRUE(OutFiles().empty());
  for (const char* text : {"first", "second"}) {
    WriteWholeFile(m_Spool, text);
    FinishSpoolFile(m_Spool.c_str(), 1);
  }
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"41-1.err", "41.err"}));
  EXPECT_EQ(SpoolSandbox::ReadWhole(m_Box.Out() + "41.err"), "first");
  EXPECT_EQ(SpoolSandbox::ReadWhole(m_Box.Out() + "41-1.err"), "second");
}

}  // namespace
