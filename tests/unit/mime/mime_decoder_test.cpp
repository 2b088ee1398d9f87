// The decoder end to end over mail text: dispatch by type, attachments and
// their names, digests and hostile input. (The mail corpus seeds the decoder's
// fuzz target, whose rules are these tests' bounds.)
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "MimeTestSupport.h"
#include "mime/BodyOutput.h"

namespace fs = std::filesystem;

namespace {

class DecoderTest : public ::testing::Test {
 protected:
  // Decodes, its warnings kept off the test's output.
  void Run(const std::string& mail) {
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    m_Box.Decode(mail);
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
  }

  DecoderSandbox m_Box;
};

TEST_F(DecoderTest, DispatchOfMessageTypesDigestsAndMissingBoundaries) {
  Run("Content-Type: multipart/report; boundary=r\n\n--r\n\nreport text\n--r\n"
      "Content-Type: message/delivery-status\n\nStatus: 5.0.0\n--r\n"
      "Content-Type: message/external-body; access-type=URL\n\nx\n--r--\n");
  EXPECT_EQ(m_Box.Body(), "report text");  // a part ends without its last line end
  EXPECT_TRUE(m_Box.Attachments().empty());
  // Digest parts are messages; a transfer encoding on one is ignored.
  Run("Content-Type: multipart/digest; boundary=d\n\n--d\n\nSubject: one\n\nfirst\n--d\n"
      "Content-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\nSubject: two\n\nsecond\n--d--\n");
  EXPECT_EQ(m_Box.Body(), "report textfirstsecond");
  Run("Content-Type: multipart/mixed\n\npre\n--x\n\none\n--y\n\ntwo\n");  // no boundary parameter
  EXPECT_EQ(m_Box.Body(), "report textfirstsecondonetwo\n");  // any dash line delimits
}

TEST_F(DecoderTest, NamelessAttachmentsGetAGeneratedName) {
  Run("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/pdf\n\n%PDF\n"
      "--b\nContent-Type: image/gif\nContent-Disposition: attachment\n\nGIF\n"
      "--b\nContent-Type: text/plain; name=\"\"\n\nt\n--b--\n");
  EXPECT_EQ(m_Box.List(),
            "<<attachment.pdf:ATT0.pdf>>\n<<attachment.gif:ATT1.gif>>\n<<attachment.txt:ATT2.txt>>\n");
}

TEST_F(DecoderTest, HostileAttachmentNamesCannotFrameTheListOrReachAFile) {
  Run("Content-Type: multipart/mixed; boundary=b\n\n--b\n"
      "Content-Type: application/pdf; name=\"x>>\\n<<evil:../../etc/passwd>>.pdf\"\n\ndata\n"
      "--b\nContent-Type: application/pdf; name=\"..\\\\..\\\\win.i/i\"\n\nd2\n"
      "--b\nContent-Type: application/pdf; name=\"a.\"\n\nd3\n--b--\n");
  // Framing characters are replaced; the files all lie directly in OUT.
  EXPECT_EQ(m_Box.List(),
            "<<x__n__evil_../../etc/passwd__.pdf:ATT0.>>\n<<..\\..\\win.i/i:ATT1.>>\n<<a.:ATT2.>>\n");
  // By the names in the list (Windows keeps "ATT0." as "ATT0" and finds it by either).
  EXPECT_EQ(m_Box.Attachments().size(), 3u);
  for (const char* name : {"ATT0.", "ATT1.", "ATT2."}) EXPECT_TRUE(FileExists(m_Box.Out() + name)) << name;
  EXPECT_EQ(AttachmentExtension("a/../b"), "b");
  EXPECT_EQ(AttachmentExtension("x.../etc"), "");
  // Long names are cut in the list.
  Run("Content-Type: application/pdf; name=\"" + std::string(5000, 'n') + ".pdf\"\n\nx\n");
  EXPECT_EQ(SpoolSandbox::Lines(m_Box.List()).back(),
            "<<" + std::string(kMaxListedName, 'n') + ":ATT3.pdf>>");
}

}  // namespace
