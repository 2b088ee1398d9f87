// The decoder end to end over mail text: dispatch by type, text bodies and
// attachments, names and extensions, digests, nesting limits, hostile and
// broken input, and every mail of the corpus.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "MimeTestSupport.h"
#include "mime/Base64.h"
#include "mime/BodyOutput.h"
#include "mime/Md5.h"
#include "spool/CFileMan.h"

namespace {

class DecoderTest : public ::testing::Test {
 protected:
  // Decodes and returns what went to standard error.
  std::string Run(const std::string& mail) {
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    m_Box.Decode(mail);
    m_Stdout = ::testing::internal::GetCapturedStdout();
    return ::testing::internal::GetCapturedStderr();
  }

  static std::string B64(const std::string& bytes) {
    std::string text = Base64EncodeBytes(bytes.data(), bytes.size());
    std::string lines;
    for (std::size_t i = 0; i < text.size(); i += 76) lines += text.substr(i, 76) + "\n";
    return lines;
  }

  DecoderSandbox m_Box;
  std::string m_Stdout;
};

TEST_F(DecoderTest, PlainMailGoesToTheMessageContent) {
  EXPECT_EQ(Run("Subject: s\n\nline one\nline two\n"), "");
  EXPECT_EQ(m_Box.Body(), "line one\nline two\n");
  EXPECT_TRUE(m_Box.Attachments().empty());
  EXPECT_EQ(m_Stdout, "headers len : 12\n");
}

TEST_F(DecoderTest, MultipartPartsEndWithoutTheirLastLineEnd) {
  Run("Content-Type: multipart/mixed; boundary=\"b\"\n\npreamble\n--b\n\nfirst\n--b\n"
      "Content-Type: text/plain; charset=us-ascii\n\nsecond\n--b--\nepilogue\n");
  EXPECT_EQ(m_Box.Body(), "firstsecond");
}

TEST_F(DecoderTest, MessageTypesOtherThanRfc822AreDropped) {
  Run("Content-Type: multipart/report; boundary=r\n\n--r\n\nreport text\n--r\n"
      "Content-Type: message/delivery-status\n\nStatus: 5.0.0\n--r\n"
      "Content-Type: message/external-body; access-type=URL\n\nx\n--r--\n");
  EXPECT_EQ(m_Box.Body(), "report text");
  EXPECT_TRUE(m_Box.Attachments().empty());
}

TEST_F(DecoderTest, TextWithANameIsAnAttachment) {
  Run("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain; name=notes.txt\n\nnotes\n"
      "--b\nContent-Type: text/plain\nContent-Disposition: attachment; "
      "filename=\"report.final.pdf\"\n\nr\n--b\n"
      "Content-Type: text/plain; charset=x\nContent-Disposition: inline\n\nbody\n--b--\n");
  EXPECT_EQ(m_Box.Body(), "body");
  EXPECT_EQ(m_Box.Attachments(), (std::vector<std::string>{"ATT0.txt", "ATT1.fin"}));
  EXPECT_EQ(m_Box.List(), "<<notes.txt:ATT0.txt>>\n<<report.final.pdf:ATT1.fin>>\n");
  EXPECT_EQ(m_Box.Attachment("ATT0.txt"), "notes");  // text mode: no line end here
}

TEST_F(DecoderTest, QuotedPrintableCases) {
  Run("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Transfer-Encoding: quoted-printable\n\n"
      "a=3Db soft=\nbreak=0D=0Aend=\n--b\nContent-Type: application/octet-stream; name=q.bin\n"
      "Content-Transfer-Encoding: Quoted-Printable\n\n=00=FF=zz=\n--b--\n");
  EXPECT_EQ(m_Box.Body(), "a=b softbreak\nend");
  EXPECT_EQ(m_Box.Attachment("ATT0.bin"), std::string("\x00\xFF\xFF", 3));  // "=zz" counts 127 per digit
}

TEST_F(DecoderTest, ContentMd5IsChecked) {
  const std::string data = "attachment data\n";
  CMd5 md5;
  md5.Update("attachment data\r\n", 17);  // the identity copy digests LF as CR LF
  const std::string good = md5.FinalText();
  const std::string mail =
      "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/x-a; name=a.dat\n"
      "Content-MD5: " +
      good + "\n\n" + data +
      "\n--b\nContent-Type: application/x-b; name=b.dat\n"
      "Content-MD5: AAAAAAAAAAAAAAAAAAAAAA==\n\n" +
      data + "\n--b--\n";
  const std::string err = Run(mail);
  EXPECT_EQ(err.find("ATT0.dat was corrupted"), std::string::npos) << err;
  EXPECT_NE(err.find("ATT1.dat was corrupted in transit"), std::string::npos) << err;
  EXPECT_EQ(m_Box.Attachments().size(), 2u);  // kept either way
}

TEST_F(DecoderTest, DigestAndRfc822) {
  Run("Content-Type: multipart/digest; boundary=d\n\n--d\n\nFrom: a@x\nSubject: one\n\nfirst\n"
      "--d\nContent-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\nSubject: "
      "two\n\nsecond\n--d--\n");
  EXPECT_EQ(m_Box.Body(), "firstsecond");
  EXPECT_NE(m_Box.Envelope().find("SUBJECT: one"), std::string::npos);
}

TEST_F(DecoderTest, Rfc822WithEncodingWarnsAndIsParsed) {
  const std::string err =
      Run("Content-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\nSubject: in\n\ntext\n");
  EXPECT_EQ(err, "dekant: warning: ignoring invalid content encoding on message/rfc822\n");
  EXPECT_EQ(m_Box.Body(), "text\n");
}

TEST_F(DecoderTest, AppleDoubleTextIsAnAttachment) {
  Run("Content-Type: multipart/appledouble; boundary=a\n\n--a\nContent-Type: application/applefile\n\nrsrc\n"
      "--a\nContent-Type: text/plain\n\ndata fork\n--a--\n");
  EXPECT_EQ(m_Box.Body(), "");
  EXPECT_EQ(m_Box.Attachments(), (std::vector<std::string>{"ATT0.bin", "ATT1.txt"}));
  EXPECT_EQ(m_Box.List(), "<<attachment.bin:ATT0.bin>>\n<<attachment.txt:ATT1.txt>>\n");
}

TEST_F(DecoderTest, NamelessAttachmentsGetAGeneratedName) {
  Run("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/pdf\n\n%PDF\n"
      "--b\nContent-Type: image/gif\nContent-Disposition: attachment\n\nGIF\n--b\nContent-Type: text/plain; "
      "name=\"\"\n\nt\n--b--\n");
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
    EXPECT_EQ(line.substr(line.size() - 2), ">>");
    EXPECT_EQ(line.find(':'), line.rfind(':')) << line;  // one colon: the separator
    EXPECT_EQ(line.find(">>"), line.size() - 2) << line;
  }
  // Extensions keep letters and digits only; the files all lie directly in OUT.
  EXPECT_EQ(m_Box.Attachments(), (std::vector<std::string>{"ATT0.", "ATT1.", "ATT2.", "ATT3."}));
  EXPECT_EQ(AttachmentExtension("a/../b"), "b");
  EXPECT_EQ(AttachmentExtension("x.../etc"), "");
  EXPECT_EQ(AttachmentExtension("archive.tar.gz"), "tar");
  EXPECT_EQ(AttachmentExtension("x.p.d"), "pd");
  for (const auto& e : std::filesystem::recursive_directory_iterator(m_Box.Root())) {
    EXPECT_EQ(e.path().string().find(".."), std::string::npos) << e.path();
  }
}

TEST_F(DecoderTest, LongNamesAreCutInTheList) {
  const std::string name(5000, 'n');
  Run("Content-Type: application/pdf; name=\"" + name + ".pdf\"\n\nx\n");
  const std::string list = m_Box.List();
  EXPECT_EQ(list, "<<" + std::string(kMaxListedName, 'n') + ":ATT0.pdf>>\n");
}

TEST_F(DecoderTest, MissingBoundaryParameterWarnsAndUsesAnyDashLine) {
  const std::string err = Run("Content-Type: multipart/mixed\n\npre\n--x\n\none\n--y\n\ntwo\n");
  EXPECT_EQ(err, "dekant: warning: multipart message has no boundary parameter\n");
  EXPECT_EQ(m_Box.Body(), "onetwo\n");
}

TEST_F(DecoderTest, DeepNestingIsCutOffWithoutExhaustingTheStack) {
  // Thousands of multipart levels, then thousands of enclosed messages.
  std::string mail;
  constexpr int kLevels = 5000;
  for (int i = 0; i < kLevels; ++i)
    mail += "Content-Type: multipart/mixed; boundary=\"l" + std::to_string(i) + "\"\n\n--l" +
            std::to_string(i) + "\n";
  mail += "\ndeep text\n";
  std::string err = Run(mail);
  EXPECT_NE(err.find("message nested too deeply"), std::string::npos);
  EXPECT_EQ(m_Box.Body(), "");

  std::string messages;
  for (int i = 0; i < kLevels; ++i)
    messages += "From: f" + std::to_string(i) + "@x\nContent-Type: message/rfc822\n\n";
  messages += "inner\n";
  err = Run(messages);
  EXPECT_NE(err.find("message nested too deeply"), std::string::npos);
  // One summary per level up to the limit, not one per enclosed message.
  EXPECT_LE(SpoolSandbox::Lines(m_Box.Envelope()).size(), static_cast<std::size_t>(2 * kMaxNestingDepth));
}

TEST_F(DecoderTest, UnwritableAttachmentIsReportedAndNotListed) {
  std::filesystem::remove_all(m_Box.Out());  // nothing can be created in OUT
  Run("Content-Type: application/pdf; name=a.pdf\n\ndata\n");
  EXPECT_GT(OutputFailures(), 0);
}

class CorpusTest : public DecoderTest {};

TEST_F(CorpusTest, EveryMailDecodesAndWritesOnlyIntoOut) {
  std::string corpus = CVSMTPGW_CORPUS;
  if (const char* env = std::getenv("CVSMTPGW_CORPUS")) corpus = env;
  if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  // Fragments of split mails go to the store below TMP: keep it in the sandbox.
  const std::filesystem::path tmp = std::filesystem::path(m_Box.Root()) / "tmp";
  std::filesystem::create_directory(tmp);
  const char* oldTmp = std::getenv("TMP");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  ::setenv("TMP", tmp.c_str(), 1);
  int mails = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    const std::string bytes = SpoolSandbox::ReadWhole(entry.path().string());
    std::string lf;  // the sandbox stores it with CR LF again
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
      lf.push_back(bytes[i]);
    }
    SCOPED_TRACE(entry.path().filename().string());
    Run(lf);
    ++mails;
  }
  if (oldTmp) {
    ::setenv("TMP", savedTmp.c_str(), 1);
  } else {
    ::unsetenv("TMP");
  }
  EXPECT_GT(mails, 50);
  EXPECT_GT(m_Box.Attachments().size(), 10u);
  // Every file written lies directly in OUT (or in the fragment store).
  const std::filesystem::path out = std::filesystem::path(m_Box.Out()).parent_path();
  for (const auto& e : std::filesystem::recursive_directory_iterator(m_Box.Root())) {
    if (e.is_directory()) continue;
    const auto parent = e.path().parent_path();
    const bool top = parent == std::filesystem::path(m_Box.Root()).parent_path();
    const bool spool = parent == out;
    const bool fragments = e.path().string().rfind(tmp.string(), 0) == 0;
    EXPECT_TRUE(top || spool || fragments) << e.path();
  }
}

}  // namespace
