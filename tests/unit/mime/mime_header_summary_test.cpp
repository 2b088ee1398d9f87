// Fax recipients and the header summary: address forms, envelope
// confirmation, fax numbers, sorting, repeats and encoded words. (One line per
// envelope field, whatever the header: fuzz/header_summary_fuzz.cpp; the
// override switch taking header numbers the envelope did not name:
// test_access_control.py.)
#include <gtest/gtest.h>

#include <string>

#include "MimeTestSupport.h"
#include "mime/Address.h"
#include "mime/HeaderSummary.h"

namespace {

CFaxRecipients Extract(const std::string& range, const CRecipientList& envelope) {
  CFaxRecipients r;
  ExtractRecipients(range.data(), range.data() + range.size(), envelope, r);
  return r;
}

class SummaryTest : public ::testing::Test {
 protected:
  DecoderSandbox m_Box;
};

TEST_F(SummaryTest, RecipientsAreConfirmedByTheEnvelopeOrAreFaxNumbers) {
  const CRecipientList envelope = {"TO:<Jane@Example.com>", "TO: <fax@corp.example>"};
  EXPECT_EQ(Extract(" Jane Doe <jane@example.COM>, Bob <bob@example.com>\n", envelope),
            CFaxRecipients{"\"Jane Doe\" <jane@example.COM>"});
  // A fax number must still be confirmed while there is an envelope.
  EXPECT_TRUE(Extract(" 5550100@fax.example", envelope).empty());
  EXPECT_EQ(Extract(" +1-555-0100@fax.example, sales@fax.example,,", {}),
            CFaxRecipients{"\"+1-555-0100\" <+1-555-0100@fax.example>"});
  // An envelope entry without an address asks the fax-number test.
  EXPECT_EQ(Extract(" 5550100@fax", {"TO:"}).size(), 1u);
  EXPECT_TRUE(Extract(" name@fax", {"TO:  "}).empty());
  EXPECT_EQ(IsFaxNumberAddress("@fax"), 0);    // no user part: "@fax" itself
  EXPECT_EQ(IsFaxNumberAddress("+-@fax"), 1);  // nothing left counts as a number
  // Entries over 249 characters are refused, not cut.
  const std::string longName(300, 'n');
  EXPECT_TRUE(Extract(" " + longName + " <+15550100@fax>", {}).empty());
  EXPECT_EQ(Extract(" " + longName + ", +15550100@fax", {}).size(), 1u);
}

TEST_F(SummaryTest, LinesSortedWithoutRepeatsAndAGroupPerEnclosedMessage) {
  m_Box.Decode(
      "From: Sender Name <sender@example.com>\nTo: b@x.example, A@x.example\nCc: b@x.example, a@x.example\n"
      "Subject: =?us-ascii?Q?Quarterly_report?=\nContent-Type: message/rfc822\n\n"
      "From: inner@example.com\nTo: 5550100@fax\nSubject: original\n\ntext\n",
      {"TO:<a@x.example>", "TO:<b@x.example>"});
  EXPECT_EQ(
      m_Box.Envelope(),
      "FROM: <sender@example.com>\nTO: \"A\" <A@x.example>\nTO: \"a\" <a@x.example>\n"
      "TO: \"b\" <b@x.example>\nSUBJECT: Quarterly report\nFROM: <inner@example.com>\nSUBJECT: original\n");
  EXPECT_NE(ReadWholeFile(m_Box.EnvelopePath()).find("SUBJECT: Quarterly report\r\n"), std::string::npos);

  // Without a sender or a recipient there is no summary.
  WriteWholeFile(m_Box.EnvelopePath(), "");
  m_Box.Decode("Subject: only a subject\nTo: nobody@example.com\n\nbody\n", {"TO:<x@y>"});
  EXPECT_EQ(m_Box.Envelope(), "");
}

}  // namespace
