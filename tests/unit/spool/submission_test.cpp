// A submission owns exactly the files it makes: it never writes over another
// job's file or envelope, even one that arrives while it is staged.
#include "spool/Submission.h"

#include <gtest/gtest.h>

#include "MimeTestSupport.h"

namespace {

class SubmissionTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteWholeFile(Out() + "~4~ENV", ""); }
  std::string Out() const { return m_Box.Out(); }
  std::vector<std::string> Names() const { return DirectoryNames(Out()); }
  void Make(CSubmission& s, const std::string& name, const std::string& text) {
    CStdioFile f = s.CreateFile(name, "wbx");
    ASSERT_TRUE(f.IsOpen()) << name;
    ASSERT_EQ(f.Write(text.data(), text.size()), text.size());
    ASSERT_TRUE(f.Close());
  }

  SpoolSandbox m_Box;
};

TEST_F(SubmissionTest, NamesInUseAreNeverTaken) {
  WriteWholeFile(Out() + "ATT1.pdf", "another job's");
  CSubmission s(Out(), "4");
  EXPECT_FALSE(s.IsNameFree("ATT1.pdf"));
  EXPECT_TRUE(s.IsNameFree("ATT2.pdf"));
  Make(s, "ATT2.pdf", "mine");
  EXPECT_FALSE(s.IsNameFree("ATT2.pdf"));  // staged counts too
  EXPECT_FALSE(s.CreateFile("ATT2.pdf", "wbx").IsOpen());
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  // A name taken by the time the parts get their final names is not written over.
  Make(s, "ATT3.pdf", "mine too");
  WriteWholeFile(Out() + "ATT3.pdf", "arrived meanwhile");
  EXPECT_FALSE(s.LinkParts());
  EXPECT_EQ(ReadWholeFile(Out() + "ATT3.pdf"), "arrived meanwhile");
  s.Withdraw();
  EXPECT_EQ(Names(), (std::vector<std::string>{"ATT1.pdf", "ATT3.pdf", "~4~ENV"}));
  EXPECT_EQ(ReadWholeFile(Out() + "ATT1.pdf"), "another job's");
}

TEST_F(SubmissionTest, TheEnvelopeIsRenamedLastAndACompleteJobStays) {
  WriteWholeFile(Out() + "ENV9.tmp", "taken");
  int actions = 0;
  {
    CSubmission s(Out(), "4");
    s.SetEnvelopeName("ENV9");
    s.OnCommit([&] { ++actions; });
    Make(s, "ATT5.pdf", "pdf");
    EXPECT_EQ(s.FilesToSync(), (std::vector<std::string>{Out() + "~4~ENV", Out() + "~4~ATT5.pdf"}));
    ASSERT_TRUE(s.LinkParts());
    EXPECT_FALSE(s.RenameEnvelope());  // never over another envelope
    std::filesystem::remove(Out() + "ENV9.tmp");
    ASSERT_TRUE(s.RenameEnvelope());
    s.Committed();
  }
  EXPECT_EQ(actions, 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"ATT5.pdf", "ENV9.tmp"}));
}

}  // namespace
