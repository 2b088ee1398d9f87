// tests/unit/smtpout/compose_test.cpp: outbound message files made into mails (golden
// files in data/compose), the send decision, the receiver, refused attachment
// lines, and what is mended for strict receivers. (Line lengths, 7-bit text and
// work files left behind, on any message: fuzz/compose_fuzz.cpp; 8-bit bodies,
// display names and attachment names as a strict receiver reads them back:
// test_outbound_receivers.py.)
#include "smtpout/Compose.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string_view>

#include "OutboundTestSupport.h"

namespace {

// From the build, not __FILE__: a compiler cache may make that relative.
const std::filesystem::path kData = std::filesystem::path(CVSMTPGW_UNIT_TEST_DATA) / "compose";

std::int32_t FixedIdentifier(char* buffer, std::size_t size) {
  return std::snprintf(buffer, size, "%s", "1700000000@test-host");
}
std::string FixedDate() { return "Tue, 14 Nov 2023 22:13:20 +0000"; }
std::string FixedMessageId(std::string_view host) {
  return "<1700000000.000.1.00000000feedf00d@" + std::string(host) + ">";
}

struct Settings {
  DWORD includeTIFF = 1, subjectLine = 0, notifyOnSuccess = 1, notifyOnFailure = 1;
  const char* mailFrom = "";
};

class ComposeTest : public OutboundTest {
 protected:
  void Start(const Settings& settings) {
    m_Box.SetNumber("AdvancedOptions", 1);
    m_Box.SetNumber("IncludeTIFF", settings.includeTIFF);
    m_Box.SetNumber("SubjectLine", settings.subjectLine);
    m_Box.SetNumber("NotifyOnSuccess", settings.notifyOnSuccess);
    m_Box.SetNumber("NotifyOnFailure", settings.notifyOnFailure);
    m_Box.SetText("MailFrom", settings.mailFrom);
    MakeDeliverer();
    m_Out->SetIdentifierSource(FixedIdentifier);
    m_Out->SetDateSource(FixedDate);
    m_Out->SetMessageIdSource(FixedMessageId);
  }

  struct Composed {
    int result;
    std::string mail;
    std::vector<std::string> paths;
  };
  Composed Compose(const std::string& message) {
    WriteWholeFile(m_Box.In() + "msg.tmp", message);
    CFile in =
        CFile::Open(m_Box.In() + "msg.tmp", FileAccess::kRead, FileShare::kNone, FileCreation::kOpenExisting);
    CFile mail =
        CFile::Open(MailPath(), FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateAlways);
    Composed out{};
    out.result = ComposeMessage(in, mail, *m_Out, out.paths);
    EXPECT_EQ(in.Seek(0, FileSeek::kCurrent), 0);  // both files back at their start
    EXPECT_EQ(mail.Seek(0, FileSeek::kCurrent), 0);
    mail.Close();
    out.mail = ReadWholeFile(MailPath());
    return out;
  }
  std::string MailPath() const { return m_Box.In() + "9.zqx"; }
  std::string InFile(const std::string& name) const { return m_Box.In() + name; }
};

TEST_F(ComposeTest, MessagesBecomeTheExpectedMails) {
  const struct {
    const char* name;
    Settings settings;
    std::vector<std::string> attachments;
    int result = kComposeToBeSent;
  } cases[] = {
      // Multipart although IncludeTIFF is 0; FROM: lines of header and body replaced.
      {"received_fax", {0, 1, 0, 0, "fax-gateway@fax.example.com"}, {"F0001.tif", "F0001.pdf"}},
      // SubjectLine with a short "Subject : " text; no END ATTACH, the mail is closed anyway.
      {"report_short_subject", {1, 1, 1, 1, ""}, {"F0002.gif"}},
      // text/plain: the attachment is named but not encoded; a long "Subject : " text is cut.
      {"report_long_subject_plain", {0, 1, 1, 1, ""}, {"F0001.tif"}},
      // The header never ends: nothing tells header from body, so it is not sent.
      {"begin_body_without_empty_line", {}, {}, kComposeNoHeaderEnd},
      // The body runs to the end; a multipart mail without parts ends right after its text.
      {"end_body_without_empty_line", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(m_Box.In());
    std::filesystem::create_directories(m_Box.In());
    for (const char* source : {"F0001.tif", "F0001.pdf", "F0002.gif"}) {
      std::filesystem::copy_file(kData / source, InFile(source));
    }
    Start(c.settings);
    const Composed got = Compose(ReadWholeFile((kData / (std::string(c.name) + ".msg")).string()));
    EXPECT_EQ(got.result, c.result);
    EXPECT_EQ(got.mail, ReadWholeFile((kData / (std::string(c.name) + ".mail")).string()));
    std::vector<std::string> expected;
    for (const std::string& a : c.attachments) expected.push_back(InFile(a));
    EXPECT_EQ(got.paths, expected);
  }
}

TEST_F(ComposeTest, LastSubjectLineDecidesWhetherTheMailIsSent) {
  const struct {
    std::string headers;
    DWORD notifyOnSuccess, notifyOnFailure;
    int expected;
  } cases[] = {
      {"SUBJECT: Fax sent OK\r\n", 0, 1, kComposeNotToBeSent},
      {"SUBJECT: Fax to 123 rejected\r\n", 1, 0, kComposeNotToBeSent},
      {"SUBJECT: Fax received from 123, sent OK, rejected\r\n", 0, 0, kComposeToBeSent},
      {"SUBJECT: Fax sent OK\r\nSUBJECT: Reminder\r\n", 0, 0, kComposeToBeSent},
      {"FROM: nobody\r\n", 1, 1, kComposeNotToBeSent},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headers);
    Start({1, 0, c.notifyOnSuccess, c.notifyOnFailure, ""});
    EXPECT_EQ(Compose("TO: <a@b.example>\r\n" + c.headers + "\r\nBEGIN BODY\r\n\r\nx\r\n\r\nEND BODY\r\n\r\n")
                  .result,
              c.expected);
  }
}

TEST_F(ComposeTest, AttachmentLinesThatOverrunOrLeaveTheSpoolAreLeftOut) {
  Start({});
  std::filesystem::copy_file(kData / "F0002.gif", InFile("F0002.gif"));
  WriteWholeFile(InFile("17.tmp"), "TO: <c@d.example>\r\n");  // another fax's message
  const Composed got = Compose(
      "TO: <a@b.example>\r\nSUBJECT: Fax sent OK\r\n\r\nBEGIN BODY\r\n\r\nx\r\n\r\nEND BODY\r\n\r\nBEGIN "
      "ATTACH\r\n"
      "<<escape:../F0002.gif>>\r\n"
      "<<long:abcdefghijklmnopqrstuv.gif>>\r\n"  // a file name of 26 characters
      "<<nameless>>\r\n"
      "<<gone:missing.gif>>\r\n"
      "<<fax:17.tmp>>\r\n"   // deleted with this message, the other fax's mail would be lost
      "<<self:9.ZQX. >>\r\n"  // the mail being written (Windows drops the trailing dot and blank)
      + std::string("<<nul:9.zqx\0.gif>>\r\n", 20) +  // opened, the name would end at the NUL
      "<<logo:F0002.gif>>\r\n"
      "END ATTACH\r\n");
  EXPECT_EQ(got.result, kComposeToBeSent);
  // Only plain names in IN that are not the gateway's own count; a missing
  // file is named (for its deletion) but not attached.
  EXPECT_EQ(got.paths, (std::vector<std::string>{InFile("missing.gif"), InFile("F0002.gif")}));
  EXPECT_EQ(got.mail.find("name=\"escape\""), std::string::npos);
  EXPECT_EQ(got.mail.find("name=\"gone\""), std::string::npos);
  EXPECT_NE(got.mail.find("Content-Type: image/gif;\r\n        name=\"logo\"\r\n"), std::string::npos);
}

// A MailFrom of the longest length the settings take replaces FROM: cut to its line.
TEST_F(ComposeTest, ALongMailFromIsCutToItsLine) {
  const std::string longFrom(259, 'f');
  Start({0, 0, 1, 1, longFrom.c_str()});
  const Composed got = Compose("FROM: x\r\nTO: <a@b.example>\r\nSUBJECT: Fax sent OK\r\n\r\nBEGIN BODY\r\n\r\n"
                               "x\r\n\r\nEND BODY\r\n\r\n");
  EXPECT_EQ(got.mail.substr(0, 5 + 251 + 7), "FROM:" + longFrom.substr(0, 251) + "\r\nTO: <");
}

TEST_F(ComposeTest, AFailedWriteIsNeverAMailToSend) {
  Start({});
  WriteWholeFile(m_Box.In() + "msg.tmp", "TO: <a@b.example>\r\nSUBJECT: Fax sent OK\r\n");
  WriteWholeFile(MailPath(), "");
  CFile in =
      CFile::Open(m_Box.In() + "msg.tmp", FileAccess::kRead, FileShare::kNone, FileCreation::kOpenExisting);
  CFile readOnly = CFile::Open(MailPath(), FileAccess::kRead, FileShare::kNone, FileCreation::kOpenExisting);
  std::vector<std::string> paths;
  EXPECT_EQ(ComposeMessage(in, readOnly, *m_Out, paths), kComposeFailed);
}

TEST_F(ComposeTest, RecipientIsTheHeadersFirstToFieldInCapitals) {
  Start({});
  const std::string tooLong = "TO: <" + std::string(190, 'a') + "@b.example>\r\n\r\n";
  const struct {
    std::string mail;
    const char* receiver;  // null: none
  } cases[] = {
      {"Return-Receipt-To:\r\nTO: Jane <Jane.Doe@Example.COM>\r\n\r\n", "TO: <JANE.DOE@EXAMPLE.COM>"},
      {"From: x\r\nto:<<a@b.example>>\r\nTO: <second@b.example>\r\n\r\n", "TO: <A@B.EXAMPLE>"},
      {"TO: Jane\r\n <jane@b.example>\r\n\r\n", "TO: <JANE@B.EXAMPLE>"},  // a folded field
      {"TO: <>\r\nTO: c@d.example\r\n\r\n", nullptr},                    // the first one decides
      {"SUBJECT: x\r\n\r\nTo: someone@else.example\r\n", nullptr},       // the body is never searched
      {tooLong, nullptr},                                                  // never cut to fit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mail.substr(0, 60));
    WriteWholeFile(MailPath(), c.mail);
    CFile mail = CFile::Open(MailPath(), FileAccess::kRead, FileShare::kNone, FileCreation::kOpenExisting);
    char receiver[kWorkBufferSize] = "unchanged";
    const int rc = FindRecipient(mail, receiver, sizeof receiver);
    EXPECT_EQ(rc, c.receiver != nullptr ? 0 : 1);
    if (c.receiver != nullptr) {
      EXPECT_STREQ(receiver, c.receiver);
    }
    EXPECT_EQ(mail.Seek(0, FileSeek::kCurrent), 0);
  }
}

// A message's own date is kept, never doubled (added where missing: the goldens).
TEST_F(ComposeTest, AMessagesOwnDateIsKept) {
  Start({});
  const std::string mail =
      Compose("TO: <a@b.example>\r\nDATE: Mon, 1 Jan 2024 10:00:00 +0100\r\nSUBJECT: x\r\n\r\nBEGIN BODY"
              "\r\n\r\nx\r\n\r\nEND BODY\r\n\r\n").mail;
  EXPECT_EQ(mail.find("Date: "), std::string::npos);
  EXPECT_EQ(mail.find("DATE: "), mail.rfind("DATE: "));
  EXPECT_NE(mail.find("DATE: Mon, 1 Jan 2024"), std::string::npos);
}

}  // namespace
