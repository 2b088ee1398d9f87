// tests/unit/smtp_dialogue_test.cpp: the SMTP client against scripted servers:
// the envelope sender rules, the DATA content as the receiver gets it, and
// which dialogues count as delivered. The receiver domain is 127.0.0.1 (the
// fixture's dead name server: OutboundTestSupport.h).
#include <gtest/gtest.h>

#include <chrono>

#include "OutboundTestSupport.h"
#include "ScriptedSmtpServer.h"

namespace {

constexpr int kShortReplyTimeoutMs = 300;  // stands for the 35 seconds of the product
constexpr const char kReceiver[] = "TO: <USER@127.0.0.1>";
constexpr const char kMail[] = "TO: <USER@127.0.0.1>\r\nSUBJECT: x\r\n\r\nbody\r\n.\r\n";

struct Client {
  DWORD rfcMode = 0;
  const char* mailFrom = nullptr;  // null: not set
  DWORD setMailFrom = 0;
};

class SmtpDialogueTest : public OutboundTest {
 protected:
  // A deliverer for `port` with the given settings.
  void Start(int port, const Client& client) {
    m_Box.SetNumber("RFCMode", client.rfcMode);
    if (client.mailFrom != nullptr) m_Box.SetText("MailFrom", client.mailFrom);
    m_Box.SetNumber("SetMailFrom", client.setMailFrom);
    MakeDeliverer(port);
    m_Out->SetReplyTimeout(kShortReplyTimeoutMs);
  }
  std::uint32_t Send(const std::string& mailBytes) {
    const std::string path = m_Box.In() + "3.zqx";
    WriteWholeFile(path, mailBytes);
    CFile mail = CFile::Open(path, FileAccess::kReadWrite, FileShare::kNone, FileCreation::kOpenExisting);
    char work[kWorkBufferSize];
    std::snprintf(work, sizeof work, "%s", kReceiver);
    return m_Out->SendOutboundMsg(mail, "USER@127.0.0.1", work, kWorkBufferSize);
  }
  static std::vector<std::string> LinesStartingWith(const std::string& session, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : SpoolSandbox::Lines(session)) {
      if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
  }
};

TEST_F(SmtpDialogueTest, EnvelopeSenderFollowsTheSettingsAndTheServer) {
  const CSmtpScript plain, postfix{.greeting = "220 mx.test ESMTP Postfix\r\n"};
  CSmtpScript postfixAfterHelo = postfix;  // the greeting arrives among the HELO replies
  postfixAfterHelo.greetAfterFirstLine = true;
  const std::string kDomain = "Mail from:<fax.example.com>\r", kValue = "Mail from:<gw@fax.example.com>\r";
  const struct {
    const char* what;
    CSmtpScript script;
    Client client;
    std::vector<std::string> mailCommands;
  } cases[] = {
      {"domain name", plain, {}, {kDomain}},
      {"registry value", plain, {0, "gw@fax.example.com", 1}, {kValue}},
      {"MailFrom without SetMailFrom", plain, {0, "gw@fax.example.com", 0}, {kDomain}},
      {"Postfix: receiver", postfixAfterHelo, {}, {"Mail from:<USER@127.0.0.1>\r"}},
      {"Postfix in RFC mode: registry value", postfix, {1, "gw@fax.example.com", 1}, {kValue}},
      {"no reply to the first", {.answerFirstMail = false}, {}, {kDomain, "Mail from:<USER@127.0.0.1>\r"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CScriptedSmtpServer server(c.script, 1);
    Start(server.Port(), c.client);
    EXPECT_EQ(Send(kMail), 0u);
    server.Join();
    ASSERT_EQ(server.Sessions().size(), 1u);
    const std::string session = server.Sessions()[0];
    EXPECT_EQ(LinesStartingWith(session, "HELO"), std::vector<std::string>{"HELO fax.example.com\r"});
    EXPECT_EQ(LinesStartingWith(session, "Mail from:"), c.mailCommands);
    EXPECT_EQ(LinesStartingWith(session, "RCPT"), std::vector<std::string>{"RCPT to:<USER@127.0.0.1>\r"});
  }
}

// The receiver must get the mail as composed: a line that begins with "." is
// not cut, a lone "." does not end it early, and the end comes once.
TEST_F(SmtpDialogueTest, DataIsDotStuffedAcrossBlocksAndEndedOnce) {
  CScriptedSmtpServer server(CSmtpScript{}, 1);
  Start(server.Port(), {});
  // Every reply comes; the short wait of the other tests could run out while a
  // loaded machine (or wine) moves the 32 KiB.
  m_Out->SetReplyTimeout(10000);
  // The filler puts the ".x" line exactly at the start of the sender's second
  // block of 16 KiB, and a "TO:<<" across the end of that block.
  const std::string head = "TO:<<USER@127.0.0.1>>\r\nSUBJECT: x\r\n\r\n.leading dot\r\n.\r\n..two\r\n";
  const std::string filler = std::string(16384 - head.size() - 2, 'f') + "\r\n";
  const std::string second = ".x\r\n" + std::string(16384 - 4 - 2, 'g') + "TO:<<a>\r\nlast\r\n";
  ASSERT_EQ(Send(head + filler + second + ".\r\n"), 0u);
  server.Join();
  const std::string session = server.Sessions().at(0);
  const std::string data = session.substr(session.find("DATA\r\n") + 6);
  EXPECT_EQ(data.substr(0, data.find("QUIT")),
            "TO:<USER@127.0.0.1>>\r\nSUBJECT: x\r\n\r\n..leading dot\r\n..\r\n...two\r\n" + filler + "." +
                second.substr(0, second.size() - 15) + "TO:<a>\r\nlast\r\n.\r\n");
}

// Delivered is what the receiver's 250 to the end of the data says, and the
// accepted hook (where the message is settled) runs then, before QUIT is
// answered: a crash while QUIT waits must not leave the message to be sent again.
TEST_F(SmtpDialogueTest, OnlyACompletedDataPhaseCountsAsDelivered) {
  const struct {
    const char* what;
    CSmtpScript script;
    std::uint32_t expected;
  } cases[] = {
      {"no reply to QUIT after the mail was taken", CSmtpScript{.answerQuit = false}, 0},
      {"QUIT answered too late", CSmtpScript{.quitDelayMs = 3 * kShortReplyTimeoutMs}, 0},
      // Read a block at a time, the lines must still come apart.
      {"the 250 on the third line of a reply sent in one piece",
       CSmtpScript{.rcptReply = "299-first\r\n299-second\r\n250 third\r\n"}, 0},
  };
  using Clock = std::chrono::steady_clock;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CScriptedSmtpServer server(c.script, 1);
    Start(server.Port(), {});
    int accepted = 0;
    Clock::time_point acceptedAt;
    m_Out->SetAcceptedHook([&] {
      ++accepted;
      acceptedAt = Clock::now();
    });
    EXPECT_EQ(Send(kMail), c.expected);
    const auto end = Clock::now();
    EXPECT_EQ(accepted, c.expected == 0 ? 1 : 0);
    // With QUIT's reply late, the wait for it came after the hook.
    if (c.script.quitDelayMs > 0) {
      EXPECT_GE(end - acceptedAt, std::chrono::milliseconds(kShortReplyTimeoutMs / 2));
    }
  }
}

}  // namespace
