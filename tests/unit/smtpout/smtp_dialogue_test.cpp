// tests/unit/smtpout/smtp_dialogue_test.cpp: the SMTP client against scripted servers:
// the envelope sender, the order of the dialogue, what each kind of reply
// means for the mail, the DATA content as the receiver gets it, and which
// dialogues count as delivered. The receiver domain is 127.0.0.1 (an address
// literal: no name server is asked).
#include <gtest/gtest.h>

#include <chrono>

#include "OutboundTestSupport.h"
#include "ScriptedSmtpServer.h"

namespace {

constexpr int kShortReplyTimeoutMs = 300;  // a wait a test lets run out
// For the replies that do come (every deliverer's reply wait): long enough for
// a loaded machine (or wine), so that only the wait a test is about can run out.
constexpr int kAmpleReplyTimeoutMs = 3000;
constexpr const char kReceiver[] = "TO: <USER@127.0.0.1>";
constexpr const char kSender[] = "fax@fax.example.com";
constexpr const char kMail[] = "TO: <USER@127.0.0.1>\r\nSUBJECT: x\r\n\r\nbody\r\n.\r\n";

struct Client {
  const char* mailFrom = nullptr;  // null: not set
  DWORD setMailFrom = 0;
};

class SmtpDialogueTest : public OutboundTest {
 protected:
  // A deliverer for `port` with the given settings.
  void Start(int port, const Client& client = {}) {
    if (client.mailFrom != nullptr) m_Box.SetText("MailFrom", client.mailFrom);
    m_Box.SetNumber("SetMailFrom", client.setMailFrom);
    MakeDeliverer(port);
    m_Out->SetReplyTimeout(kAmpleReplyTimeoutMs);
  }
  CFile MailFile(const std::string& mailBytes) {
    const std::string path = m_Box.In() + "3.zqx";
    WriteWholeFile(path, mailBytes);
    return CFile::Open(path, FileAccess::kReadWrite, FileShare::kNone, FileCreation::kOpenExisting);
  }
  std::uint32_t Send(const std::string& mailBytes) {
    CFile mail = MailFile(mailBytes);
    char work[kWorkBufferSize];
    std::snprintf(work, sizeof work, "%s", kReceiver);
    return m_Out->SendOutboundMsg(mail, kSender, "USER@127.0.0.1", work, kWorkBufferSize);
  }
};

// MailFrom when SetMailFrom says so, else the header's FROM: mailbox, else
// postmaster at the gateway's domain: always an address a strict receiver takes.
TEST_F(SmtpDialogueTest, EnvelopeSenderIsAMailboxFromTheSettingsOrTheHeader) {
  const struct {
    const char* what;
    Client client;
    std::string mail;
    const char* sender;
  } cases[] = {
      {"the header's FROM:", {}, "FROM: Fax Server <Fax@Fax.Example.com>\r\nTO: <a@b.example>\r\n\r\n",
       "Fax@Fax.Example.com"},
      {"MailFrom and SetMailFrom", {"Gateway <gw@fax.example.com>", 1},
       "FROM: Fax Server <fax@fax.example.com>\r\n\r\n", "gw@fax.example.com"},
      {"MailFrom alone", {"gw@fax.example.com", 0}, "FROM: fax@fax.example.com\r\n\r\n", "fax@fax.example.com"},
      {"a FROM: without a mailbox", {}, "FROM: Fax Server\r\nTO: <a@b.example>\r\n\r\n",
       "postmaster@fax.example.com"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Start(25, c.client);
    CFile mail = MailFile(c.mail);
    EXPECT_EQ(m_Out->EnvelopeSender(mail), c.sender);
    EXPECT_EQ(mail.Seek(0, FileSeek::kCurrent), 0);
  }
}

// 5xx refuses at once, 4xx (or a server that will not serve now) waits. The
// accepted hook runs at the 250 to the end of the data, before QUIT is
// answered, or a crash then would send the mail again; that 250 may take
// minutes (a content filter), so it has a wait of its own.
TEST_F(SmtpDialogueTest, RepliesDecideBetweenDeliveredRefusedAndLater) {
  using Clock = std::chrono::steady_clock;
  const struct {
    const char* what;
    CSmtpScript script;
    std::uint32_t result;
    const char* reply;         // in LastReply; null: not looked at
    int dataEndTimeoutMs = 0;  // 0: the product's
  } cases[] = {
      {"550 to RCPT", {.rcptReply = "550-5.1.1 <USER@127.0.0.1>:\r\n550 5.1.1 no such user\r\n"}, kSendRefused,
       "reply to RCPT: 550-5.1.1 <USER@127.0.0.1>: 550 5.1.1 no such user"},
      {"552 to the end of the data", {.dataEndReply = "552 5.3.4 too big\r\n"}, kSendRefused, "552 5.3.4"},
      {"451 greylisted at RCPT", {.rcptReply = "451 4.7.1 try again later\r\n"}, kSendDeferred, "451 4.7.1"},
      {"421 at the greeting", {.greeting = "421 4.3.2 busy\r\n"}, kSendDeferred, "421 4.3.2 busy"},
      {"554 at the greeting", {.greeting = "554 5.7.1 no service\r\n"}, kSendDeferred, "554 5.7.1"},
      {"a 250 where 354 belongs", {.dataReply = "250 ok\r\n"}, kSendBroken, "reply to DATA: 250 ok"},
      {"a slow end of data within its own wait", {.dataEndDelayMs = 3 * kShortReplyTimeoutMs}, kSendDelivered,
       nullptr, 10 * kShortReplyTimeoutMs},
      {"a slow end of data past its own wait", {.dataEndDelayMs = 3 * kShortReplyTimeoutMs}, kSendBroken,
       "no reply to the end of the data", kShortReplyTimeoutMs},
      {"QUIT answered too late", {.quitDelayMs = kAmpleReplyTimeoutMs + 500}, kSendDelivered, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CScriptedSmtpServer server(c.script, 1);
    Start(server.Port());
    if (c.dataEndTimeoutMs > 0) m_Out->SetDataEndTimeout(c.dataEndTimeoutMs);
    int accepted = 0;
    Clock::time_point acceptedAt;
    m_Out->SetAcceptedHook([&] {
      ++accepted;
      acceptedAt = Clock::now();
    });
    const auto began = Clock::now();
    EXPECT_EQ(Send(kMail), c.result);
    const auto end = Clock::now();
    EXPECT_EQ(accepted, c.result == kSendDelivered ? 1 : 0);
    if (c.reply != nullptr) {
      EXPECT_NE(m_Out->LastReply().find(c.reply), std::string::npos) << m_Out->LastReply();
    }
    if (c.result != kSendDelivered) {
      EXPECT_LT(end - began, std::chrono::milliseconds(kAmpleReplyTimeoutMs));
    }
    // With QUIT's reply late, the wait for it came after the hook.
    if (c.script.quitDelayMs > 0) {
      EXPECT_GE(end - acceptedAt, std::chrono::milliseconds(kAmpleReplyTimeoutMs / 2));
    }
    server.Join();
    const std::string session = server.Sessions().at(0);
    if (c.dataEndTimeoutMs == 0) {
      EXPECT_EQ(session.find("QUIT\r\n"), session.size() - 6) << session;  // once, last
    }
  }
}

// The receiver must get the mail as composed: a line that begins with "." is
// not cut, a lone "." does not end it early, and the end comes once.
TEST_F(SmtpDialogueTest, DataIsDotStuffedAcrossBlocksAndEndedOnce) {
  CScriptedSmtpServer server(CSmtpScript{}, 1);
  Start(server.Port());
  // Every reply comes; the short wait of the other tests could run out while a
  // loaded machine (or wine) moves the 32 KiB.
  m_Out->SetReplyTimeout(10000);
  // The filler puts the ".x" line exactly at the start of the sender's second
  // block of 16 KiB, and a "TO:<<" across the end of that block.
  const std::string head = "TO:<<USER@127.0.0.1>>\r\nSUBJECT: x\r\n\r\n.leading dot\r\n.\r\n..two\r\n";
  const std::string filler = std::string(16384 - head.size() - 2, 'f') + "\r\n";
  const std::string second = ".x\r\n" + std::string(16384 - 4 - 2, 'g') + "TO:<<a>\r\nlast\r\n";
  ASSERT_EQ(Send(head + filler + second + ".\r\n"), kSendDelivered);
  server.Join();
  const std::string session = server.Sessions().at(0);
  // The greeting of two lines read whole; the scripted server knows no EHLO, so HELO follows its 500.
  EXPECT_EQ(session.substr(0, session.find("DATA\r\n") + 6),
            "EHLO fax.example.com\r\nHELO fax.example.com\r\nMail from:<fax@fax.example.com>\r\n"
            "RCPT to:<USER@127.0.0.1>\r\nDATA\r\n");
  const std::string data = session.substr(session.find("DATA\r\n") + 6);
  EXPECT_EQ(data.substr(0, data.find("QUIT")),
            "TO:<USER@127.0.0.1>>\r\nSUBJECT: x\r\n\r\n..leading dot\r\n..\r\n...two\r\n" + filler + "." +
                second.substr(0, second.size() - 15) + "TO:<a>\r\nlast\r\n.\r\n");
}

}  // namespace
