// The submission hand-off: the file set and envelope format it leaves in
// OUT, and what happens to the received mail when a hand-off cannot complete.
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
    m_Box.SetNumber("OUTIndexAtt", 3);
    m_Spool = m_Box.Out() + "41.zqx";
  }

  int HandOff(const std::string& lfMail, const CRecipientList& envelope = {}) {
    WriteWholeFile(m_Spool, AsStored(lfMail));
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int result = DecodeSpoolFile(envelope, m_Spool.c_str());
    ::testing::internal::GetCapturedStdout();
    m_Stderr = ::testing::internal::GetCapturedStderr();
    return result;
  }

  std::string Out(const std::string& name) const { return SpoolSandbox::ReadWhole(m_Box.Out() + name); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(m_Box.Out() + name); }
  std::vector<std::string> OutFiles() const { return DirectoryNames(m_Box.Out()); }

  SpoolSandbox m_Box;
  std::string m_Spool;
  std::string m_Stderr;
};

TEST_F(DecodeTest, AFileThatCannotBeCreatedWithdrawsTheWholeSubmission) {
  std::filesystem::create_directory(m_Box.Out() + "ATT4.gif");  // blocks the second attachment
  EXPECT_EQ(HandOff("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/pdf; "
                    "name=a.pdf\n\n%PDF\n"
                    "--b\nContent-Type: image/gif; name=b.gif\n\nGIF\n--b--\n"),
            1);
  // No job for the fax server, no half of one, no work files.
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"41.zqx", "ATT4.gif"}));
  EXPECT_EQ(IsFileNameInUse(), 0);
  EXPECT_EQ(IsFileNameAttInUse(), 0);

  FinishSpoolFile(m_Spool.c_str(), 1);
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"41.err", "ATT4.gif"}));
  EXPECT_EQ(Out("41.err").substr(0, 12), "Content-Type");
}

TEST_F(DecodeTest, UnusableMessageOrSpoolFileMakesNoJob) {
  std::filesystem::create_directory(m_Box.Out() + "Msgcnt.imp");
  EXPECT_EQ(HandOff("Subject: s\n\nbody\n"), 1);
  EXPECT_EQ(m_Box.Number("OUTIndex"), 7u);  // stopped before an envelope was drawn
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"41.zqx", "Msgcnt.imp"}));
  EXPECT_EQ(DecodeSpoolFile({}, (m_Box.Out() + "missing.zqx").c_str()), 1);
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"41.zqx", "Msgcnt.imp"}));
}

TEST_F(DecodeTest, SpoolFileAfterTheHandOff) {
  WriteWholeFile(m_Spool, "x");
  FinishSpoolFile(m_Spool.c_str(), 0);  // logs off: deleted
  EXPECT_FALSE(Exists("41.zqx"));
  for (const char* text : {"first", "second"}) {
    WriteWholeFile(m_Spool, text);
    FinishSpoolFile(m_Spool.c_str(), 1);
  }
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"41-1.err", "41.err"}));
  EXPECT_EQ(Out("41.err"), "first");
  EXPECT_EQ(Out("41-1.err"), "second");
}

}  // namespace
