// The inbound SMTP session through the connection's transport seam (state
// table, help text, end of data and dots, bounds). The time limit and refused
// mails: test_hostile_input.py and test_full_disk.py.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "BufferSession.h"
#include "SpoolTestSupport.h"
#include "platform/System.h"
#include "smtpin/SMTPIn.h"
#include "smtpin/SpoolWriter.h"
#include "spool/CFileMan.h"
#include "spool/SpoolRecord.h"

namespace {

using namespace std::string_literals;

const std::string kGreeting = "220 fax.example.com Service Ready\r\n";
const std::string kHelo = "HELO client.example.com\r\n",
                  kHeloOk = "250 fax.example.com client.example.com\r\n";
const std::string kBad = "503 Bad Sequence Of Commands.\r\n",
                  kUnknown = "500 Syntax Error, Command Unknown.\r\n";
const std::string kNoop = "250 Requested mail action ok, completed\r\n", kTooLong = "500 Line too long.\r\n";
const std::string kStartData = "354 Start mail input, end with <CRLF>.<CRLF>\r\n";
const std::string kReceived = "250 Mail Received OK\r\n";
const std::string kHelp =
    "214- SMTP Fax Gateway Service \r\n214- ================================================ \r\n"
    "214- Commands Accepted: \r\n214-    HELO   MAIL   RCPT   DATA   HELP   QUIT \r\n214-    NOOP   RSET  "
    "\r\n"
    "214- Normal Communication Sequence: \r\n214-    HELO example.com \r\n"
    "214-    MAIL From:<sender@example.com> \r\n214-    RCPT To:<recipient@example.net> \r\n"
    "214-    DATA \r\n214-          << send email message here>> \r\n214-\t\tQUIT \r\n"
    "214  ================================================ \r\n";

std::string Ok(const std::string& argument) { return "250 OK  " + argument + " \r\n"; }
std::string Trace(const std::string& helo) { return "Received: from " + helo + " by fax.example.com ; \r\n"; }
// MAIL, RCPT and DATA for one mail, and their replies.
const std::string kOpen = "MAIL FROM:<a@example.com>\r\nRCPT TO:<1@fax.example.com>\r\nDATA\r\n";
const std::string kOpened = Ok("FROM:<a@example.com>") + Ok("TO:<1@fax.example.com>") + kStartData;

// Spool files by name: "<recipients>|<mail as stored>" when acknowledged.
using Files = std::map<std::string, std::string>;

struct Case {
  const char* what;
  std::string input;    // run in receives of every size
  std::string replies;  // all of them, byte for byte
  Files stored;
  std::function<void(SpoolSandbox&)> setup = nullptr;
  bool requireTls = false;
};

// Where one receive ends must change nothing: not the replies, not the mails
// stored (with dots, bare line ends and lines longer than a read piece).
TEST(SessionTest, RepliesAndStoredMailsWhateverTheReceivePieces) {
  const std::string kL(250, 'L'), kA(100, 'a'), kB(99, 'b'), kC(99, 'c'), kDots(200, '.');
  // Data lines as sent and as stored after the trace line, one mail each. Bare
  // LF, lone CR and a NUL beside the dot never make an end line (what follows
  // would run as commands); nor does a dot at the start of a later 100-byte
  // read piece of one long line.
  const std::pair<std::string, std::string> kData[] = {
      {".abc\r\n..def\r\n", "abc\r\n.def\r\n"},
      {".\nMAIL FROM:<x>\r\n", "\nMAIL FROM:<x>\r\n"},
      {"x\n.\r\nRCPT TO:<y>\r\n", "x\n\r\nRCPT TO:<y>\r\n"},
      {"a\r.\r\n", "a\r.\r\n"},
      {"b\r\n.\rDATA\r\n", "b\r\n\rDATA\r\n"},
      {"c\r\n\0.\r\nQUIT\r\n"s, "c\r\n\0.\r\nQUIT\r\n"s},
      {"d\r\n.\0\r\nQUIT\r\n"s, "d\r\n\0\r\nQUIT\r\n"s},
      {kA + ".\r\n", kA + ".\r\n"},
      {"." + kL + "\r\n" + kL + "\n\r\n", kL + "\r\n" + kL + "\n\r\n"},
      {kB + "\r\n." + kDots + "\r\n", kB + "\r\n" + kDots + "\r\n"},
      {kC + "\r\n", kC + "\r\n"}};
  Case data{"one mail per data case", kHelo, kGreeting + kHeloOk, {}};
  for (const auto& [sent, stored] : kData) {
    data.input += kOpen + sent + ".\r\n";
    data.replies += kOpened + kReceived;
    data.stored[std::to_string(7 + data.stored.size()) + ".zqx"] =
        "TO:<1@fax.example.com>|" + Trace("client.example.com") + stored;
  }
  // 100 recipients and a mail exactly at MaxMessageSize; past it the rest of
  // the data is read to its end, then refused whole.
  Case bounds{"bounds",
              kHelo + "MAIL FROM:<a@example.com>\r\n",
              kGreeting + kHeloOk + Ok("FROM:<a@example.com>"),
              {}};
  std::string recipients;
  for (int i = 0; i <= 100; ++i) {
    const std::string to = "TO:<" + std::to_string(i) + "@fax.example.com>";
    bounds.input += "RCPT " + to + "\r\n";
    bounds.replies += i < 100 ? Ok(to) : "452 Too many recipients\r\n";
    if (i < 100) recipients += (i > 0 ? "," : "") + to;
  }
  bounds.input += "DATA\r\n" + std::string(996, 'z') + "\r\n.\r\n" + kOpen + std::string(600, 'x') + "\r\n" +
                  std::string(600, 'y') + "\r\n.\r\n";
  bounds.replies +=
      kStartData + kReceived + kOpened + "552 Requested mail action aborted: exceeded storage allocation\r\n";
  bounds.stored["7.zqx"] = recipients + "|" + Trace("client.example.com") + std::string(996, 'z') + "\r\n";
  bounds.setup = [](SpoolSandbox& box) { box.SetNumber("MaxMessageSize", 1000); };

  const Case cases[] = {
      {"state table",
       "NOOP\r\nEXPN x\r\nHEL\r\nMAIL FROM:<a>\r\nHELP\r\nHELOX\r\nHELO again\r\nRCPT TO:<b>\r\nVRFY x\r\n"
       // Arguments keep their prefix and tabs; DATA without a recipient stays
       // in RCPT; RSET keeps the state and the recipients.
       "MAIL    FROM:<x>\r\nDATA\r\nnoop\r\nRCPT \tTO:<y>\r\nRSET\r\nMAIL FROM:<c>\r\nDATA\r\n"
       "..one\r\nbare\n.\nlone\r.\r\n" +
           kL + "\r\n.\r\n" +
           // The next mail needs MAIL again and drops the old recipients. A
           // command line that does not fit is refused whole with one reply: none
           // of it runs (98 characters and CR LF is the longest line taken).
           "RCPT TO:<z>\r\nMAIL FROM:<b@example.com>\r\nNOOP" + std::string(96, ' ') +
           "MAIL FROM:<hidden@example.com>\r\n" + std::string(98, 'N') + "\r\n" + std::string(99, 'N') +
           "\r\n" + std::string(130, 'x') +
           "\r\nRCPT TO:<2@fax.example.com>\r\nDATA\r\ntwo\r\n.\r\nQUIT\r\nNOOP\r\n",
       kGreeting + kNoop + kUnknown + kUnknown + kBad + kHelp + "250 fax.example.com X\r\n" + kBad + kBad +
           kUnknown + Ok("FROM:<x>") + kBad + kNoop + Ok("\tTO:<y>") + "250 Ok\r\n" + kBad + kStartData +
           kReceived + kBad + Ok("FROM:<b@example.com>") + kTooLong + kUnknown + kTooLong + kTooLong +
           Ok("TO:<2@fax.example.com>") + kStartData + kReceived + "221 Goodbye\r\n",
       {{"7.zqx", "\tTO:<y>|" + Trace("X") + ".one\r\nbare\n\nlone\r.\r\n" + kL + "\r\n"},
        {"8.zqx", "TO:<2@fax.example.com>|" + Trace("X") + "two\r\n"}}},
      // Without a certificate: no STARTTLS offered, and none started; with
      // RequireTls no mail either. SIZE is MaxMessageSize.
      {"EHLO without TLS",
       "EHLO client\r\nSTARTTLS x\r\nSTARTTLS\r\nstarttlsx\r\nMAIL FROM:<a>\r\nHELO again\r\nQUIT\r\n",
       kGreeting + "250-fax.example.com\r\n250-SIZE 1000\r\n250 8BITMIME\r\n" +
           "501 Syntax error (no parameters allowed)\r\n454 TLS not available\r\n" + kUnknown +
           "530 Must issue a STARTTLS command first\r\n" + kBad + "221 Goodbye\r\n",
       {},
       [](SpoolSandbox& box) { box.SetNumber("MaxMessageSize", 1000); },
       true},
      {"an empty line ends the session without a word", kHelo + "\r\nNOOP\r\n", kGreeting + kHeloOk, {}},
      data,
      bounds,
  };
  for (const Case& c : cases) {
    for (const std::size_t piece : {std::size_t{1} << 30, std::size_t{1}, std::size_t{2}, std::size_t{3},
                                    std::size_t{99}, std::size_t{100}, std::size_t{101}}) {
      SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(piece));
      SpoolSandbox box;
      box.WithProgramPath();
      box.SetText("DomainName", "fax.example.com");
      box.SetNumber("TmpIndex", 7);
      if (c.setup) c.setup(box);
      CFileMan files;
      SMTPIn server;
      server.SetFileMan(&files);
      server.SetTls(nullptr, c.requireTls);
      server.HandOffs().Stop(0);  // acknowledged mails stay in their spool files
      CBufferSession session(c.input, piece);
      session.m_Server = &server;
      session.Run();
      Files stored;
      for (const auto& entry : std::filesystem::directory_iterator(box.Out())) {
        const std::string name = entry.path().filename().string();
        CSpoolRecord record;
        std::string why, recipients;
        CFileIdentity identity;
        if (name[0] == '~') continue;  // staged envelopes
        if (ReadSpoolFile(entry.path().string(), true, record, why, identity) !=
            SpoolFileState::kAcknowledged) {
          stored[name] = "not acknowledged: " + why;
          continue;
        }
        for (const std::string& r : record.recipients) recipients += (recipients.empty() ? "" : ",") + r;
        stored[name] = recipients + "|" + ReadWholeFile(entry.path().string()).substr(0, record.dataLength);
      }
      EXPECT_EQ(session.Replies(), c.replies);
      EXPECT_EQ(stored, c.stored);
    }
  }
}

}  // namespace
