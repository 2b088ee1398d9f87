// Fax recipients and the header summary: address forms, envelope
// confirmation, fax numbers, the override switch, sorting and repeats, encoded
// words, and the envelope staying one line per field.
#include <gtest/gtest.h>

#include <string>

#include "MimeTestSupport.h"
#include "mime/Address.h"
#include "mime/HeaderSummary.h"
#include "spool/CFileMan.h"

namespace {

TEST(Address, BareAddressAndUser) {
  const struct {
    const char* text;
    const char* bare;
    const char* user;
  } kCases[] = {
      {"Jane Doe <jane@example.com>", "jane@example.com", "jane"},
      {"  <+1-555-0100@fax.example>  ", "+1-555-0100@fax.example", "+1-555-0100"},
      {"jane@example.com", "jane@example.com", "jane"},
      {"\"a <b>\" <c@d>", "c@d", "c"},
      {"<<x@y>>", "x@y", "x"},
      {"\"quoted\"@host", "\"@host", "\""},
      {"@host", "@host", "@host"},
      {"open <x@y", "x@y", "x"},
      {"", "", ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(BareAddress(c.text), c.bare) << c.text;
    EXPECT_EQ(AddressUser(c.text), c.user) << c.text;
  }
}

TEST(Address, FormatAddress) {
  EXPECT_EQ(FormatAddress("Jane Doe <jane@example.com>", 1), "\"Jane Doe\" <jane@example.com>");
  EXPECT_EQ(FormatAddress("Jane Doe <jane@example.com>", 0), "<jane@example.com>");
  EXPECT_EQ(FormatAddress(" 5550100@fax.example ", 1), "\"5550100\" <5550100@fax.example>");
  EXPECT_EQ(FormatAddress("Jane<jane@example.com>", 1),
            "\"Jan\" <jane@example.com>");  // loses its last character
  EXPECT_EQ(FormatAddress("<jane@example.com>", 1), "\"jane\" <jane@example.com>");
  EXPECT_EQ(FormatAddress("\"@\" <jane@example.com>", 1), "\"jane\" <jane@example.com>");
  EXPECT_EQ(FormatAddress("Jane\r\n\tDoe <j@e>", 1), "\"Jane   Doe\" <j@e>");
  EXPECT_EQ(FormatAddress("", 0), "<>");
}

TEST(Address, FaxNumbers) {
  EXPECT_EQ(IsFaxNumberAddress("+1-555-0100@fax.example"), 1);
  EXPECT_EQ(IsFaxNumberAddress("\"Sales\" <5550100@fax>"), 1);
  EXPECT_EQ(IsFaxNumberAddress("@fax"), 0);  // no user part: "@fax" itself
  EXPECT_EQ(IsFaxNumberAddress("555x0100@fax"), 0);
  EXPECT_EQ(IsFaxNumberAddress("+-@fax"), 1);  // nothing left counts as a number
}

class RecipientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (GetOverrideAddressCheck() != 0)
      GTEST_SKIP() << "OverrideAddressCheck was switched on in this process";
  }
  static CFaxRecipients Extract(const std::string& range, const CRecipientList& envelope) {
    CFaxRecipients r;
    ExtractRecipients(range.data(), range.data() + range.size(), envelope, r);
    return r;
  }
};

TEST_F(RecipientTest, EnvelopeConfirmsHeaderAddresses) {
  const CRecipientList envelope = {"TO:<Jane@Example.com>", "TO: <fax@corp.example>"};
  EXPECT_EQ(Extract(" Jane Doe <jane@example.COM>, Bob <bob@example.com>\n", envelope),
            CFaxRecipients{"\"Jane Doe\" <jane@example.COM>"});
  EXPECT_EQ(Extract(" fax@corp.example", envelope), CFaxRecipients{"\"fax\" <fax@corp.example>"});
  // Addresses only in the envelope never become recipients.
  EXPECT_TRUE(Extract(" other@example.com", envelope).empty());
  // A fax number must still be confirmed while there is an envelope.
  EXPECT_TRUE(Extract(" 5550100@fax.example", envelope).empty());
}

TEST_F(RecipientTest, WithoutEnvelopeFaxNumbersAreAccepted) {
  EXPECT_EQ(Extract(" +1-555-0100@fax.example, sales@fax.example,,", {}),
            CFaxRecipients{"\"+1-555-0100\" <+1-555-0100@fax.example>"});
  // An envelope entry without an address asks the fax-number test.
  EXPECT_EQ(Extract(" 5550100@fax", {"TO:"}).size(), 1u);
  EXPECT_TRUE(Extract(" name@fax", {"TO:  "}).empty());
}

TEST_F(RecipientTest, OverlongEntriesAreRefusedNotCut) {
  const std::string longName(300, 'n');
  EXPECT_TRUE(Extract(" " + longName + " <+15550100@fax>", {}).empty());
  EXPECT_EQ(Extract(" " + longName + ", +15550100@fax", {}).size(), 1u);
}

TEST(RecipientOverride, EveryAddressIsAcceptedWhenOn) {
  EXPECT_EXIT(
      {
        bool ok = false;
        {
          DecoderSandbox box;
          box.SetText("OverrideAddressCheck", "yes");
          CFileMan settings;
          CFaxRecipients r;
          const std::string range = " someone@example.com, Other <other@example.com>";
          ExtractRecipients(range.data(), range.data() + range.size(), {"TO:<x@y>"}, r);
          ok = GetOverrideAddressCheck() == 1 && r.size() == 2;
        }
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(EncodedWord, DecodesTheFirstWord) {
  const struct {
    const char* in;
    const char* out;
  } kCases[] = {
      {"=?iso-8859-1?Q?Caf=E9_au_lait?=", "Caf\xE9 au lait"},
      {"Re: =?utf-8?q?a=3Db?= tail", "Re: a=b tail"},
      {"=?utf-8?B?SGVsbG8=?=", "Hello"},
      {"=?utf-8?b?SGk?=", "Hi"},
      {"=?utf-8?Q?=C3=A9t=C3=A9?=", "\xC3\xA9t\xC3\xA9"},  // a Q text that begins with "="
      {"=?x?Q?one?= =?x?Q?two?=", "one =?x?Q?two?="},      // only the first word
      {"=?x?Q?bad=ZZhex?=", "badZZhex"},
      {"=?x?Q?cut=4?=", "cut"},
      {"plain text", "plain text"},
      {"=?x?X?unknown?=", "=?x?X?unknown?="},
      {"  =?x?Q?lead?=", "lead"},
      {"=?x?Q?\?= suffix", "=?x?Q?\?="},
      {"=?x?Q?no end", "no end"},
  };
  for (const auto& c : kCases) {
    std::string text = c.in;
    DecodeEncodedWord(text);
    EXPECT_EQ(text, c.out) << c.in;
  }
}

class SummaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (GetOverrideAddressCheck() != 0)
      GTEST_SKIP() << "OverrideAddressCheck was switched on in this process";
  }
  DecoderSandbox m_Box;
};

TEST_F(SummaryTest, LinesSortedWithoutRepeats) {
  m_Box.Decode(
      "From: Sender Name <sender@example.com>\n"
      "To: b@x.example, A@x.example\n"
      "Cc: b@x.example, a@x.example\n"
      "Subject: =?us-ascii?Q?Quarterly_report?=\n\nbody\n",
      {"TO:<a@x.example>", "TO:<b@x.example>"});
  EXPECT_EQ(m_Box.Envelope(),
            "FROM: <sender@example.com>\n"
            "TO: \"A\" <A@x.example>\n"
            "TO: \"a\" <a@x.example>\n"
            "TO: \"b\" <b@x.example>\n"
            "SUBJECT: Quarterly report\n");
  // The envelope is in CR LF on disk.
  EXPECT_NE(SpoolSandbox::ReadWhole(m_Box.EnvelopePath()).find("SUBJECT: Quarterly report\r\n"),
            std::string::npos);
}

TEST_F(SummaryTest, ToWithColonInItsFirstLineIsKeptOpenUntilTheNextPickedHeader) {
  m_Box.Decode("To: \"Fax: Sales\" <5550100@fax>,\n 5550101@fax\nX-Other: y\nSubject: s\n\n", {});
  // The open range runs over the unpicked X-Other line into the second entry.
  EXPECT_EQ(
      m_Box.Envelope(),
      "FROM: <>\nTO: \"5550101\" <5550101@fax X-Other: y>\nTO: \"Fax: Sales\" <5550100@fax>\nSUBJECT: s\n");
}

TEST_F(SummaryTest, NoSummaryWithoutSenderOrRecipient) {
  m_Box.Decode("Subject: only a subject\nTo: nobody@example.com\n\nbody\n", {"TO:<x@y>"});
  EXPECT_EQ(m_Box.Envelope(), "");
}

TEST_F(SummaryTest, EncodedLineBreaksCannotAddEnvelopeLines) {
  m_Box.Decode(
      "From: =?us-ascii?Q?evil=0D=0ATO:_+15550199@fax?= <s@example.com>\n"
      "To: =?us-ascii?Q?x=0ATO:_+15550198@fax?= <5550100@fax>\n"
      "Subject: =?us-ascii?Q?x=0ATO:_+15550100@fax?=\n\n",
      {});
  const std::string envelope = m_Box.Envelope();
  std::size_t toLines = 0;
  for (const std::string& line : SpoolSandbox::Lines(envelope)) {
    if (line.rfind("TO:", 0) == 0) ++toLines;
    for (const char c : line) EXPECT_GE(static_cast<unsigned char>(c), 0x20u) << line;
  }
  EXPECT_EQ(toLines, 1u) << envelope;
  EXPECT_NE(envelope.find("SUBJECT: x TO: +15550100@fax\n"), std::string::npos) << envelope;
  EXPECT_EQ(SpoolSandbox::Lines(envelope).size(), 3u) << envelope;
}

TEST_F(SummaryTest, EnclosedMessageAddsItsOwnGroup) {
  m_Box.Decode(
      "From: outer@example.com\nSubject: fwd\nContent-Type: message/rfc822\n\n"
      "From: inner@example.com\nTo: 5550100@fax\nSubject: original\n\ntext\n",
      {});
  EXPECT_EQ(m_Box.Envelope(),
            "FROM: <outer@example.com>\nSUBJECT: fwd\n"
            "FROM: <inner@example.com>\nTO: \"5550100\" <5550100@fax>\nSUBJECT: original\n");
  EXPECT_EQ(m_Box.Body(), "text\n");
}

}  // namespace
