// The decoder end to end over mail text: dispatch by type, attachments and
// their names, digests, nesting limits, hostile input, and every mail of the
// corpus. Plain layouts are cross-checked against Python by an integration test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "MimeTestSupport.h"
#include "mime/BodyOutput.h"
#include "mime/Md5.h"

namespace fs = std::filesystem;

namespace {

class DecoderTest : public ::testing::Test {
 protected:
  // Decodes and returns what went to standard error.
  std::string Run(const std::string& mail) {
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    m_Box.Decode(mail);
    ::testing::internal::GetCapturedStdout();
    return ::testing::internal::GetCapturedStderr();
  }

  DecoderSandbox m_Box;
};

TEST_F(DecoderTest, MessageTypesOtherThanRfc822AreDropped) {
  Run("Content-Type: multipart/report; boundary=r\n\n--r\n\nreport text\n--r\n"
      "Content-Type: message/delivery-status\n\nStatus: 5.0.0\n--r\n"
      "Content-Type: message/external-body; access-type=URL\n\nx\n--r--\n");
  EXPECT_EQ(m_Box.Body(), "report text");  // a part ends without its last line end
  EXPECT_TRUE(m_Box.Attachments().empty());
}

TEST_F(DecoderTest, QuotedPrintableCases) {
  Run("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Transfer-Encoding: quoted-printable\n\n"
      "a=3Db soft=\nbreak=0D=0Aend=\n--b\nContent-Type: application/octet-stream; name=q.bin\n"
      "Content-Transfer-Encoding: Quoted-Printable\n\n=00=FF=zz=\n--b--\n");
  EXPECT_EQ(m_Box.Body(), "a=b softbreak\nend");
  EXPECT_EQ(m_Box.Attachment("ATT0.bin"), std::string("\x00\xFF\xFF", 3));  // "=zz" counts 127 per digit
}

TEST_F(DecoderTest, ContentMd5OfAnUnencodedPartCountsLfAsCrLf) {
  CMd5 md5;
  md5.Update("data\r\n", 6);
  const std::string err =
      Run("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/x-a; name=a.dat\n"
          "Content-MD5: " +
          md5.FinalText() +
          "\n\ndata\n\n--b\nContent-Type: application/x-b; name=b.dat\n"
          "Content-MD5: AAAAAAAAAAAAAAAAAAAAAA==\n\ndata\n\n--b--\n");
  EXPECT_EQ(err.find("ATT0.dat was corrupted"), std::string::npos) << err;
  EXPECT_NE(err.find("ATT1.dat was corrupted in transit"), std::string::npos) << err;
  EXPECT_EQ(m_Box.Attachments().size(), 2u);  // kept either way
}

TEST_F(DecoderTest, DigestPartsAreMessagesAndTheirEncodingIsIgnored) {
  const std::string err =
      Run("Content-Type: multipart/digest; boundary=d\n\n--d\n\nFrom: a@x\nSubject: one\n\nfirst\n"
          "--d\nContent-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\nSubject: "
          "two\n\nsecond\n--d--\n");
  EXPECT_EQ(err, "dekant: warning: ignoring invalid content encoding on message/rfc822\n");
  EXPECT_EQ(m_Box.Body(), "firstsecond");
  EXPECT_NE(m_Box.Envelope().find("SUBJECT: one"), std::string::npos);
}

TEST_F(DecoderTest, NamelessAttachmentsGetAGeneratedName) {
  Run("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/pdf\n\n%PDF\n"
      "--b\nContent-Type: image/gif\nContent-Disposition: attachment\n\nGIF\n"
      "--b\nContent-Type: text/plain; name=\"\"\n\nt\n--b--\n");
  EXPECT_EQ(m_Box.List(),
            "<<attachment.pdf:ATT0.pdf>>\n<<attachment.gif:ATT1.gif>>\n<<attachment.txt:ATT2.txt>>\n");
  EXPECT_EQ(m_Box.Attachments().size(), 3u);
}

TEST_F(DecoderTest, HostileAttachmentNamesCannotFrameTheListOrReachAFile) {
  Run("Content-Type: multipart/mixed; boundary=b\n\n--b\n"
      "Content-Type: application/pdf; name=\"x>>\\n<<evil:../../etc/passwd>>.pdf\"\n\ndata\n"
      "--b\nContent-Type: application/pdf; name=\"..\\\\..\\\\win.i/i\"\n\nd2\n"
      "--b\nContent-Type: application/pdf; name=\"a.\"\n\nd3\n"
      "--b\nContent-Type: application/pdf; name=noext\n\nd4\n--b--\n");
  const std::vector<std::string> lines = SpoolSandbox::Lines(m_Box.List());
  ASSERT_EQ(lines.size(), 4u) << m_Box.List();
  for (const std::string& line : lines) {
    ASSERT_GE(line.size(), 4u);
    EXPECT_EQ(line.substr(0, 2), "<<");
    EXPECT_EQ(line.find(':'), line.rfind(':')) << line;  // one colon: the separator
    EXPECT_EQ(line.find(">>"), line.size() - 2) << line;
  }
  // Extensions keep letters and digits only; the files all lie directly in OUT.
  EXPECT_EQ(m_Box.Attachments(), (std::vector<std::string>{"ATT0.", "ATT1.", "ATT2.", "ATT3."}));
  EXPECT_EQ(AttachmentExtension("a/../b"), "b");
  EXPECT_EQ(AttachmentExtension("x.../etc"), "");
  EXPECT_EQ(AttachmentExtension("x.p.d"), "pd");
  EXPECT_EQ(AttachmentExtension("report.final.pdf"), "fin");
  for (const auto& e : fs::recursive_directory_iterator(m_Box.Root()))
    EXPECT_EQ(e.path().string().find(".."), std::string::npos) << e.path();

  // Long names are cut in the list.
  Run("Content-Type: application/pdf; name=\"" + std::string(5000, 'n') + ".pdf\"\n\nx\n");
  EXPECT_EQ(SpoolSandbox::Lines(m_Box.List()).back(),
            "<<" + std::string(kMaxListedName, 'n') + ":ATT4.pdf>>");
}

TEST_F(DecoderTest, MissingBoundaryParameterWarnsAndUsesAnyDashLine) {
  EXPECT_EQ(Run("Content-Type: multipart/mixed\n\npre\n--x\n\none\n--y\n\ntwo\n"),
            "dekant: warning: multipart message has no boundary parameter\n");
  EXPECT_EQ(m_Box.Body(), "onetwo\n");
}

TEST_F(DecoderTest, DeepNestingIsCutOffWithoutExhaustingTheStack) {
  // Thousands of multipart levels, then thousands of enclosed messages.
  constexpr int kLevels = 5000;
  std::string parts, messages;
  for (int i = 0; i < kLevels; ++i) {
    const std::string b = "l" + std::to_string(i);
    parts += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\n\n--" + b + "\n";
    messages += "From: f" + std::to_string(i) + "@x\nContent-Type: message/rfc822\n\n";
  }
  EXPECT_NE(Run(parts + "\ndeep text\n").find("message nested too deeply"), std::string::npos);
  EXPECT_EQ(m_Box.Body(), "");
  EXPECT_NE(Run(messages + "inner\n").find("message nested too deeply"), std::string::npos);
  // One summary per level up to the limit, not one per enclosed message.
  EXPECT_LE(SpoolSandbox::Lines(m_Box.Envelope()).size(), static_cast<std::size_t>(2 * kMaxNestingDepth));
}

TEST_F(DecoderTest, EveryCorpusMailDecodesAndWritesOnlyIntoOut) {
  std::string corpus = CVSMTPGW_CORPUS;
  if (const char* env = std::getenv("CVSMTPGW_CORPUS")) corpus = env;
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  // Fragments of split mails go to the store below TMP: keep it in the sandbox.
  const fs::path tmp = fs::path(m_Box.Root()) / "tmp";
  fs::create_directory(tmp);
  const char* oldTmp = std::getenv("TMP");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  ::setenv("TMP", tmp.c_str(), 1);
  int mails = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    SCOPED_TRACE(entry.path().filename().string());
    Run(WithLineEnds(ReadWholeFile(entry.path().string()), "\r\n", "\n"));  // stored with CR LF again
    ++mails;
  }
  oldTmp ? ::setenv("TMP", savedTmp.c_str(), 1) : ::unsetenv("TMP");
  EXPECT_GT(mails, 50);
  EXPECT_GT(m_Box.Attachments().size(), 10u);
  // Every file written lies in the sandbox's top, directly in OUT, or in the fragment store.
  for (const auto& e : fs::recursive_directory_iterator(m_Box.Root())) {
    if (e.is_directory()) continue;
    const fs::path parent = e.path().parent_path();
    EXPECT_TRUE(parent == fs::path(m_Box.Root()).parent_path() ||
                parent == fs::path(m_Box.Out()).parent_path() ||
                e.path().string().rfind(tmp.string(), 0) == 0)
        << e.path();
  }
}

}  // namespace
