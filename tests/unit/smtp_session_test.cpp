// The inbound SMTP session over a loopback pair (state table, help text, end of
// data and dots, refusing a mail that cannot be stored) and the spool writer.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <thread>

#include "LoopbackSockets.h"
#include "SpoolTestSupport.h"
#include "smtpin/SMTPIn.h"
#include "smtpin/SMTPInThread.h"
#include "smtpin/SpoolWriter.h"
#include "spool/CFileMan.h"

namespace {

const std::string kHelo = "HELO client.example.com";
constexpr char kHeloOk[] = "250 fax.example.com client.example.com\r\n";
constexpr char kBad[] = "503 Bad Sequence Of Commands.\r\n";
constexpr char kUnknown[] = "500 Syntax Error, Command Unknown.\r\n";
constexpr char kNoop[] = "250 Requested mail action ok, completed\r\n";
constexpr char kStartData[] = "354 Start mail input, end with <CRLF>.<CRLF>\r\n";
constexpr char kReceived[] = "250 Mail Received OK\r\n";
const std::string kTrace = "Received: from client.example.com by fax.example.com ; \r\n";

using Files = std::map<std::string, std::string>;
using Steps = std::vector<std::pair<std::string, std::string>>;  // command lines and their exact replies

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Sandbox.WithProgramPath();
    m_Sandbox.SetText("DomainName", "fax.example.com");
    m_Sandbox.SetNumber("TmpIndex", 7);
    m_Sandbox.SetNumber("OUTIndex", 0);
    m_Sandbox.EnableLogs();  // a handed-off spool file is then kept as "<n>-<seconds>.debug"
  }
  void TearDown() override {
    if (m_Thread.joinable()) Finish();
  }
  void Start(bool helo = true) {
    m_FileMan = std::make_unique<CFileMan>();
    m_Server.SetFileMan(m_FileMan.get());
    ASSERT_TRUE(m_Pair.Open());
    SockSetReceiveTimeout(m_Pair.client, 5000);
    m_Session.m_Socket = m_Pair.server;
    m_Session.m_Server = &m_Server;
    m_Session.SetReceiveTimeout(5000);
    m_Thread = std::thread([this] { m_Session.Run(); });
    ASSERT_EQ(Reply(), "220 fax.example.com Service Ready\r\n");
    if (helo) {
      EXPECT_EQ(Command(kHelo), kHeloOk);
    }
  }
  void Finish() {
    m_Pair.CloseClient();
    m_Thread.join();
    ASSERT_TRUE(m_Server.HandOffs().WaitIdle(10000));
  }

  void Send(const std::string& bytes) { ASSERT_TRUE(loopback::SendAll(m_Pair.client, bytes)); }
  // One reply: every line up to the one whose code is followed by a space.
  std::string Reply() {
    std::string reply;
    std::size_t start = 0;
    for (char c; SockRecv(m_Pair.client, &c, 1) == 1;) {
      reply.push_back(c);
      if (c != '\n') continue;
      if (reply.size() - start < 4 || reply[start + 3] != '-') break;
      start = reply.size();
    }
    return reply;
  }
  std::string Command(const std::string& line) {
    Send(line + "\r\n");
    return Reply();
  }
  void Play(const Steps& steps) {
    for (const auto& [command, reply] : steps) EXPECT_EQ(Command(command), reply) << command;
  }
  // OUT but envelopes; a stored "<n>.zqx" is read from its debug copy.
  Files Stored() const {
    Files files;
    for (const auto& entry : std::filesystem::directory_iterator(m_Sandbox.Out())) {
      std::string name = entry.path().filename().string();
      if (name[0] == '.' || name.rfind("ENV", 0) == 0) continue;
      if (name.find('-') != std::string::npos && name.ends_with(".debug"))
        name = name.substr(0, name.find('-')) + ".zqx";
      files[name] = SpoolSandbox::ReadWhole(entry.path().string());
    }
    return files;
  }
  void OpenTransaction() {
    Play({{"MAIL FROM:<a@example.com>", "250 OK  FROM:<a@example.com> \r\n"},
          {"RCPT TO:<1@fax.example.com>", "250 OK  TO:<1@fax.example.com> \r\n"},
          {"DATA", kStartData}});
  }

  SpoolSandbox m_Sandbox;
  std::unique_ptr<CFileMan> m_FileMan;
  SMTPIn m_Server;
  loopback::Pair m_Pair;
  SMTPInThread m_Session;
  std::thread m_Thread;
};

// Each script runs in a fresh session.
class SessionScriptTest : public SessionTest, public ::testing::WithParamInterface<Steps> {};

TEST_P(SessionScriptTest, RepliesAsTheStateTableSays) {
  Start(false);
  Play(GetParam());
}

const std::string kFromA = "250 OK  FROM:<a> \r\n", kToB = "250 OK  TO:<b> \r\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    States, SessionScriptTest,
    ::testing::Values(
        Steps{{"HEL", kUnknown}, {"MAIL FROM:<a>", kBad}, {"HELOX", "250 fax.example.com X\r\n"}, {"HELO again", kBad},
              {"RCPT TO:<b>", kBad}},
        // DATA without a recipient stays in RCPT; RSET keeps the state and the recipients.
        Steps{{kHelo, kHeloOk}, {"MAIL FROM:<a>", kFromA}, {"DATA", kBad}, {"RCPT TO:<b>", kToB},
              {"RSET", "250 Ok\r\n"}, {"MAIL FROM:<c>", kBad}, {"DATA", kStartData}},
        // NOOP and unknown commands in every state; arguments keep their prefix and tabs.
        Steps{{"NOOP", kNoop}, {"EHLO x", kUnknown}, {"helo client.example.com", kHeloOk}, {"VRFY x", kUnknown},
              {"MAIL    FROM:<x>", "250 OK  FROM:<x> \r\n"}, {"noop", kNoop}, {"RCPT \tTO:<y>", "250 OK  \tTO:<y> \r\n"}}));
// clang-format on

TEST_F(SessionTest, HelpTextIsThirteenExactLines) {
  Start(false);
  EXPECT_EQ(Command("HELP"),
            "214- SMTP Fax Gateway Service \r\n"
            "214- ================================================ \r\n"
            "214- Commands Accepted: \r\n"
            "214-    HELO   MAIL   RCPT   DATA   HELP   QUIT \r\n"
            "214-    NOOP   RSET  \r\n"
            "214- Normal Communication Sequence: \r\n"
            "214-    HELO example.com \r\n"
            "214-    MAIL From:<sender@example.com> \r\n"
            "214-    RCPT To:<recipient@example.net> \r\n"
            "214-    DATA \r\n"
            "214-          << send email message here>> \r\n"
            "214-\t\tQUIT \r\n"
            "214  ================================================ \r\n");
  EXPECT_EQ(Command(kHelo), kHeloOk);  // HELP changed nothing
}

TEST_F(SessionTest, EmptyLineEndsTheSessionWithoutAWord) {
  Start(false);
  Send(kHelo + "\r\n\r\nNOOP\r\n");
  EXPECT_EQ(Reply(), kHeloOk);
  m_Thread.join();
  SockShutdown(m_Pair.server, SocketShutdown::kBoth);
  char c;
  EXPECT_EQ(SockRecv(m_Pair.client, &c, 1), 0);  // no reply to the empty line nor to NOOP
}

// One mail per case, in one session: data lines as sent and as stored after the
// trace line. Bare LF and lone CR never make an end line; nor does a dot at the
// start of a later 100-byte read piece of one long line.
TEST_F(SessionTest, StoresTheDataUnstuffedUpToTheEndLine) {
  const std::string kLong(250, 'L'), kA(100, 'a'), kB(99, 'b'), kC(99, 'c'), kDots(200, '.');
  const std::pair<std::string, std::string> cases[] = {
      {".abc\r\n..def\r\n", "abc\r\n.def\r\n"},
      {".\nMAIL FROM:<x>\r\n", "\nMAIL FROM:<x>\r\n"},
      {"x\n.\r\nRCPT TO:<y>\r\n", "x\n\r\nRCPT TO:<y>\r\n"},
      {"a\r.\r\n", "a\r.\r\n"},
      {kA + ".\r\n", kA + ".\r\n"},
      {"." + kLong + "\r\n" + kLong + "\n\r\n", kLong + "\r\n" + kLong + "\n\r\n"},
      {kB + "\r\n." + kDots + "\r\n", kB + "\r\n" + kDots + "\r\n"},
      {kC + "\r\n", kC + "\r\n"}};
  Start();
  Files expected;
  int n = 7;
  for (const auto& [sent, stored] : cases) {
    OpenTransaction();
    Send(sent + ".\r\n");
    EXPECT_EQ(Reply(), kReceived) << sent;
    expected[std::to_string(n++) + ".zqx"] = kTrace + stored;
  }
  Finish();
  EXPECT_EQ(Stored(), expected);
}

TEST_F(SessionTest, NextMailNeedsMailAgainAndDropsOldRecipients) {
  Start();
  OpenTransaction();
  Play({{"one\r\n.", kReceived},
        {"RCPT TO:<2@fax.example.com>", kBad},
        {"MAIL FROM:<b@example.com>", "250 OK  FROM:<b@example.com> \r\n"},
        {"RCPT TO:<3@fax.example.com>", "250 OK  TO:<3@fax.example.com> \r\n"}});
  Finish();
  EXPECT_EQ(m_Session.Recipients(), CRecipientList{"TO:<3@fax.example.com>"});
  EXPECT_EQ(m_Session.MailFrom(), "FROM:<b@example.com>");
}

TEST_F(SessionTest, RecipientsAndSizeAreBounded) {
  m_Sandbox.SetNumber("MaxMessageSize", 1000);
  Start();
  EXPECT_EQ(Command("MAIL FROM:<a@example.com>"), "250 OK  FROM:<a@example.com> \r\n");
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(Command("RCPT TO:<" + std::to_string(i) + "@fax.example.com>")[0], '2');
  EXPECT_EQ(Command("RCPT TO:<100@fax.example.com>"), "452 Too many recipients\r\n");
  EXPECT_EQ(m_Session.Recipients().size(), 100u);
  EXPECT_EQ(Command("DATA"), kStartData);
  // Past the limit the rest of the data is read to its end, then refused whole.
  Send(std::string(600, 'x') + "\r\n" + std::string(600, 'y') + "\r\n.\r\n");
  EXPECT_EQ(Reply(), "552 Requested mail action aborted: exceeded storage allocation\r\n");
  EXPECT_TRUE(Stored().empty());
  EXPECT_EQ(Command("MAIL FROM:<a@example.com>")[0], '2');
  EXPECT_EQ(Command("RCPT TO:<1@fax.example.com>")[0], '2');
  EXPECT_EQ(Command("DATA"), kStartData);
  Send(std::string(996, 'z') + "\r\n.\r\n");  // exactly at the limit
  EXPECT_EQ(Reply(), kReceived);
  Finish();
  EXPECT_EQ(Stored().size(), 1u);
}

TEST_F(SessionTest, MailThatCannotBeStoredIsRefused) {
  m_Sandbox.SetText("ProgramPath", m_Sandbox.Root() + "missing" + kPathSeparatorText);
  Start();
  OpenTransaction();
  Send("Subject: x\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(Reply(), "451 Requested action aborted: local error in processing\r\n");
  EXPECT_EQ(Command("MAIL FROM:<again@example.com>"), "250 OK  FROM:<again@example.com> \r\n");
  Finish();
  EXPECT_TRUE(Stored().empty());
}

// A command line that does not fit is refused whole with one reply, however
// long: none of it runs, so a command hidden in its tail is not obeyed and a
// client reading one reply per line stays in step.
TEST_F(SessionTest, OverlongCommandLinesAreRefusedWhole) {
  const std::string kTooLong = "500 Line too long.\r\n";
  Start();
  Play({{"MAIL FROM:<" + std::string(120, 'a') + "@example.com>", kTooLong},
        {"RCPT TO:<1@fax.example.com>", kBad},  // MAIL was not taken
        {"NOOP" + std::string(96, ' ') + "MAIL FROM:<hidden@example.com>", kTooLong},
        {std::string(98, 'N'), kUnknown},  // the longest line taken: 98 characters and CR LF
        {std::string(99, 'N'), kTooLong},
        {"HELO " + std::string(2 << 20, 'h'), kTooLong},
        {"MAIL FROM:<a@example.com>", "250 OK  FROM:<a@example.com> \r\n"}});
  EXPECT_EQ(m_Session.MailFrom(), "FROM:<a@example.com>");
}

// Each mail has its time limit, counted from the end of the one before; its
// data extends it by what they need at 1 KiB/s. Past it the client is told
// 421 and what it sent of the mail is dropped.
TEST_F(SessionTest, TimeLimitGrowsWithTheDataAndStartsAgainAfterEachMail) {
  m_Session.SetMailTimeLimitMs(600);
  Start();
  OpenTransaction();
  const std::string line = std::string(3998, 'd') + "\r\n";
  for (int i = 0; i < 8; ++i) {  // longer than the limit, but 40 KB a second
    Send(line);
    SleepMs(120);
  }
  Send(".\r\n");
  EXPECT_EQ(Reply(), kReceived);
  SleepMs(200);  // the limit started anew with the 250
  OpenTransaction();
  Send("Subject: slow\r\n");
  for (int i = 0; i < 30 && SockWaitReadable(m_Pair.client, 100) == 0; ++i) Send("x");
  EXPECT_EQ(Reply(), "421 fax.example.com Session time limit reached, closing transmission channel\r\n");
  m_Thread.join();
  SockShutdown(m_Pair.server, SocketShutdown::kBoth);
  char c;
  EXPECT_EQ(SockRecv(m_Pair.client, &c, 1), 0);
  ASSERT_TRUE(m_Server.HandOffs().WaitIdle(10000));
  const Files stored = Stored();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored.begin()->second.size(), kTrace.size() + 8 * line.size());
}

class SpoolWriterTest : public ::testing::Test {
 protected:
  CSpoolWriter Writer(const char* name, FileCreation creation,
                      FileAccess access = FileAccess::kReadWrite) const {
    return CSpoolWriter(CFile::Open(m_Sandbox.Out() + name, access, FileShare::kNone, creation));
  }
  SpoolSandbox m_Sandbox;
};

TEST_F(SpoolWriterTest, FailedWritesMakeTheCommitFail) {
  SpoolSandbox::Touch(m_Sandbox.Out() + "r.zqx");
  CSpoolWriter writer = Writer("r.zqx", FileCreation::kOpenExisting, FileAccess::kRead);
  const std::string big(CSpoolWriter::kBufferSize + 1, 'x');
  EXPECT_FALSE(writer.Write(big.data(), big.size()));  // goes straight to the read-only file
  EXPECT_FALSE(writer.Write("y", 1));
  EXPECT_FALSE(writer.Commit(CSpoolRecord{}));
  CSpoolWriter pending = Writer("r.zqx", FileCreation::kOpenExisting, FileAccess::kRead);
  EXPECT_TRUE(pending.Write("buffered", 8));  // held in the buffer until the commit
  EXPECT_FALSE(pending.Commit(CSpoolRecord{}));
}

}  // namespace
