// The inbound SMTP session over a loopback pair: the state table, the help
// text, the end of data and dot handling, and refusing a mail that cannot be
// stored; and the buffered spool writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackSockets.h"
#include "SpoolTestSupport.h"
#include "smtpin/SMTPIn.h"
#include "smtpin/SMTPInThread.h"
#include "smtpin/SpoolWriter.h"
#include "spool/CFileMan.h"

namespace {

constexpr char kGreeting[] = "220 fax.example.com Service Ready\r\n";
constexpr char kBadSequence[] = "503 Bad Sequence Of Commands.\r\n";
constexpr char kUnknown[] = "500 Syntax Error, Command Unknown.\r\n";
constexpr char kNoop[] = "250 Requested mail action ok, completed\r\n";
constexpr char kStartData[] = "354 Start mail input, end with <CRLF>.<CRLF>\r\n";
constexpr char kReceived[] = "250 Mail Received OK\r\n";
constexpr char kTrace[] = "Received: from client.example.com by fax.example.com ; \r\n";

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Sandbox.WithProgramPath();
    m_Sandbox.SetText("DomainName", "fax.example.com");
    m_Sandbox.SetNumber("TmpIndex", 7);
    // Each received message is handed off; with the primary log on the spool
    // file is then kept as a debug copy "<n>-<seconds>.debug", which the
    // checks below read back.
    m_Sandbox.SetNumber("OUTIndex", 0);
    m_Sandbox.EnableLogs();
  }
  void TearDown() override {
    if (m_Thread.joinable()) {
      m_Pair.CloseClient();
      m_Thread.join();
    }
  }

  // Starts a session on the server end of a fresh pair and reads the greeting.
  void Start() {
    m_FileMan = std::make_unique<CFileMan>();
    m_Server.SetFileMan(m_FileMan.get());
    ASSERT_TRUE(m_Pair.Open());
    SockSetReceiveTimeout(m_Pair.client, 5000);
    m_Session.m_Socket = m_Pair.server;
    m_Session.m_Server = &m_Server;
    m_Session.SetReceiveTimeout(5000);
    m_Thread = std::thread([this] { m_Session.Run(); });
    ASSERT_EQ(Reply(), kGreeting);
  }
  // Ends the session by closing the client and waits for it.
  void Finish() {
    m_Pair.CloseClient();
    m_Thread.join();
    ASSERT_TRUE(m_Server.HandOffs().WaitIdle(10000));
  }

  void Send(const std::string& bytes) { ASSERT_TRUE(loopback::SendAll(m_Pair.client, bytes)); }
  // One reply: every line up to the one whose code is followed by a space.
  std::string Reply() {
    std::string reply;
    for (;;) {
      const std::string line = ReplyLine();
      reply += line;
      if (line.size() < 4 || line[3] != '-') return reply;
    }
  }
  std::string ReplyLine() {
    std::string line;
    char c;
    while (SockRecv(m_Pair.client, &c, 1) == 1) {
      line.push_back(c);
      if (c == '\n') break;
    }
    return line;
  }
  std::string Command(const std::string& line) {
    Send(line + "\r\n");
    return Reply();
  }
  bool ClosedWithoutReply() {
    char c;
    return SockRecv(m_Pair.client, &c, 1) == 0;
  }
  // The stored messages ("<n>.zqx"), in name order, found by their debug
  // copies; any other spool file left in OUT is listed under its own name.
  std::vector<std::string> Stored() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_Sandbox.Out())) {
      const std::string name = entry.path().filename().string();
      if (name[0] == '.') continue;  // the spare files' directory
      const std::size_t dash = name.find('-');
      if (dash != std::string::npos && name.size() > 6 && name.substr(name.size() - 6) == ".debug") {
        names.push_back(name.substr(0, dash) + ".zqx");
      } else if (name.rfind("ENV", 0) != 0) {
        names.push_back(name);
      }
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string StoredText(const std::string& name) const {
    const std::string stem = name.substr(0, name.find('.')) + "-";
    for (const auto& entry : std::filesystem::directory_iterator(m_Sandbox.Out())) {
      const std::string found = entry.path().filename().string();
      if (found.rfind(stem, 0) == 0) return SpoolSandbox::ReadWhole(entry.path().string());
    }
    return SpoolSandbox::ReadWhole(m_Sandbox.Out() + name);
  }
  void OpenTransaction() {
    ASSERT_EQ(Command("HELO client.example.com"), "250 fax.example.com client.example.com\r\n");
    ASSERT_EQ(Command("MAIL FROM:<a@example.com>"), "250 OK  FROM:<a@example.com> \r\n");
    ASSERT_EQ(Command("RCPT TO:<1@fax.example.com>"), "250 OK  TO:<1@fax.example.com> \r\n");
    ASSERT_EQ(Command("DATA"), kStartData);
  }

  SpoolSandbox m_Sandbox;
  std::unique_ptr<CFileMan> m_FileMan;
  SMTPIn m_Server;
  loopback::Pair m_Pair;
  SMTPInThread m_Session;
  std::thread m_Thread;
};

// Each script runs in a fresh session: command lines and the exact replies.
struct Script {
  const char* name;
  std::vector<std::pair<std::string, std::string>> steps;
};

void PrintTo(const Script& script, std::ostream* out) { *out << script.name; }

class SessionScriptTest : public SessionTest, public ::testing::WithParamInterface<Script> {};

TEST_P(SessionScriptTest, RepliesAsTheStateTableSays) {
  Start();
  for (const auto& [command, reply] : GetParam().steps) EXPECT_EQ(Command(command), reply) << command;
}

const std::string kHeloOk = "250 fax.example.com client.example.com\r\n";

INSTANTIATE_TEST_SUITE_P(
    States, SessionScriptTest,
    ::testing::Values(
        Script{"LowerCaseHelo", {{"helo client.example.com", kHeloOk}}},
        Script{"HeloWithoutSpace", {{"HELOX", "250 fax.example.com X\r\n"}}},
        Script{"ThreeLetters", {{"HEL", kUnknown}, {"HELO client.example.com", kHeloOk}}},
        Script{"MailBeforeHelo", {{"MAIL FROM:<a>", kBadSequence}, {"HELO client.example.com", kHeloOk}}},
        Script{"HeloTwice", {{"HELO client.example.com", kHeloOk}, {"HELO again", kBadSequence}}},
        Script{"RcptBeforeMail", {{"HELO client.example.com", kHeloOk}, {"RCPT TO:<b>", kBadSequence}}},
        Script{"DataWithoutRcptStaysInRcpt",
               {{"HELO client.example.com", kHeloOk},
                {"MAIL FROM:<a>", "250 OK  FROM:<a> \r\n"},
                {"DATA", kBadSequence},
                {"RCPT TO:<b>", "250 OK  TO:<b> \r\n"},
                {"DATA", kStartData}}},
        Script{"RsetKeepsStateAndRecipients",
               {{"HELO client.example.com", kHeloOk},
                {"MAIL FROM:<a>", "250 OK  FROM:<a> \r\n"},
                {"RCPT TO:<b>", "250 OK  TO:<b> \r\n"},
                {"RSET", "250 Ok\r\n"},
                {"MAIL FROM:<c>", kBadSequence},
                {"DATA", kStartData}}},
        Script{"ArgumentsKeepTheirPrefixAndTabs",
               {{"HELO client.example.com", kHeloOk},
                {"MAIL    FROM:<x>", "250 OK  FROM:<x> \r\n"},
                {"RCPT \tTO:<y>", "250 OK  \tTO:<y> \r\n"}}},
        Script{"NoopAndUnknownInEveryState",
               {{"NOOP", kNoop},
                {"EHLO x", kUnknown},
                {"HELO client.example.com", kHeloOk},
                {"NOOP", kNoop},
                {"VRFY x", kUnknown},
                {"MAIL FROM:<a>", "250 OK  FROM:<a> \r\n"},
                {"noop", kNoop},
                {"RCPT TO:<b>", "250 OK  TO:<b> \r\n"}}},
        Script{"QuitSaysGoodbye", {{"QUIT", "221 Goodbye\r\n"}}}),
    [](const ::testing::TestParamInfo<Script>& info) { return info.param.name; });

TEST_F(SessionTest, HelpTextIsThirteenExactLines) {
  Start();
  const std::string help = Command("HELP");
  EXPECT_EQ(help,
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
  EXPECT_EQ(Command("HELO client.example.com"), kHeloOk);  // HELP changed nothing
}

TEST_F(SessionTest, EmptyLineEndsTheSessionWithoutAWord) {
  Start();
  Send("HELO client.example.com\r\n\r\nNOOP\r\n");
  EXPECT_EQ(Reply(), kHeloOk);
  m_Thread.join();
  SockShutdown(m_Pair.server, SocketShutdown::kBoth);
  EXPECT_TRUE(ClosedWithoutReply());  // no reply to the empty line nor to NOOP
}

// Data lines as sent, and what must be stored after the trace line.
struct DotCase {
  const char* name;
  std::string sent;
  std::string stored;
};

void PrintTo(const DotCase& c, std::ostream* out) { *out << c.name; }

class DataTest : public SessionTest, public ::testing::WithParamInterface<DotCase> {};

TEST_P(DataTest, StoresTheDataUnstuffedUpToTheEndLine) {
  Start();
  OpenTransaction();
  Send(GetParam().sent + ".\r\n");
  EXPECT_EQ(Reply(), kReceived);
  EXPECT_EQ(Command("QUIT"), "221 Goodbye\r\n");
  Finish();
  ASSERT_EQ(Stored(), std::vector<std::string>{"7.zqx"});
  EXPECT_EQ(StoredText("7.zqx"), kTrace + GetParam().stored);
}

const std::string kLong = std::string(250, 'L');

INSTANTIATE_TEST_SUITE_P(
    Dots, DataTest,
    ::testing::Values(
        DotCase{"Empty", "", ""},
        DotCase{"PlainLines", "Subject: x\r\n\r\nbody\r\n", "Subject: x\r\n\r\nbody\r\n"},
        DotCase{"TwoDotsBecomeOne", "..\r\n", ".\r\n"},
        DotCase{"LeadingDotRemoved", ".abc\r\n..def\r\n", "abc\r\n.def\r\n"},
        DotCase{"DotWithBareLfIsData", ".\nMAIL FROM:<x>\r\n", "\nMAIL FROM:<x>\r\n"},
        DotCase{"EndLineAfterBareLfIsData", "x\n.\r\nRCPT TO:<y>\r\n", "x\n\r\nRCPT TO:<y>\r\n"},
        DotCase{"DotAfterLoneCrIsData", "a\r.\r\n", "a\r.\r\n"},
        DotCase{"TailPieceOfLongLine", std::string(100, 'a') + ".\r\n", std::string(100, 'a') + ".\r\n"},
        DotCase{"LongLineStoredWhole", "." + kLong + "\r\n" + kLong + "\n\r\n",
                kLong + "\r\n" + kLong + "\n\r\n"},
        DotCase{"DotAtPieceBoundaryIsNotStripped",
                std::string(99, 'b') + "\r\n." + std::string(200, '.') + "\r\n",
                std::string(99, 'b') + "\r\n" + std::string(200, '.') + "\r\n"},
        DotCase{"EndLineAfterSplitLineEnd", std::string(99, 'c') + "\r\n", std::string(99, 'c') + "\r\n"},
        DotCase{"BinaryBytes", std::string("a\0b\x01\xff\r\n", 7), std::string("a\0b\x01\xff\r\n", 7)}),
    [](const ::testing::TestParamInfo<DotCase>& info) { return info.param.name; });

TEST_F(SessionTest, NextMailNeedsMailAgainAndDropsOldRecipients) {
  Start();
  OpenTransaction();
  Send("one\r\n.\r\n");
  EXPECT_EQ(Reply(), kReceived);
  EXPECT_EQ(Command("RCPT TO:<2@fax.example.com>"), kBadSequence);
  EXPECT_EQ(Command("MAIL FROM:<b@example.com>"), "250 OK  FROM:<b@example.com> \r\n");
  EXPECT_EQ(Command("DATA"), kBadSequence);
  EXPECT_EQ(Command("RCPT TO:<3@fax.example.com>"), "250 OK  TO:<3@fax.example.com> \r\n");
  EXPECT_EQ(Command("DATA"), kStartData);
  Send("two\r\n.\r\n");
  EXPECT_EQ(Reply(), kReceived);
  EXPECT_EQ(Command("QUIT"), "221 Goodbye\r\n");
  Finish();
  EXPECT_EQ(m_Session.Recipients(), CRecipientList{"TO:<3@fax.example.com>"});
  EXPECT_EQ(m_Session.MailFrom(), "FROM:<b@example.com>");
  EXPECT_EQ(Stored(), (std::vector<std::string>{"7.zqx", "8.zqx"}));
  EXPECT_EQ(StoredText("8.zqx"), std::string(kTrace) + "two\r\n");
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

TEST_F(SessionTest, RefuseSaysNothing) {
  ASSERT_TRUE(m_Pair.Open());
  m_Session.m_Socket = m_Pair.server;
  Send("HELO x\r\n");
  EXPECT_EQ(m_Session.Refuse(), 0);
  SockShutdown(m_Pair.server, SocketShutdown::kBoth);
  EXPECT_TRUE(ClosedWithoutReply());
}

class SpoolWriterTest : public ::testing::Test {
 protected:
  std::string Path(const char* name) const { return m_Sandbox.Out() + name; }
  SpoolSandbox m_Sandbox;
};

TEST_F(SpoolWriterTest, WritesEverySizeThroughItsBuffer) {
  std::string expected;
  {
    CSpoolWriter writer(
        CFile::Open(Path("w.zqx"), FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateAlways));
    // Small pieces, one that crosses the buffer end, one larger than the buffer.
    for (std::size_t size : {std::size_t{1}, std::size_t{100}, CSpoolWriter::kBufferSize - 50,
                             std::size_t{3000}, 3 * CSpoolWriter::kBufferSize + 7, std::size_t{2}}) {
      const std::string piece(size, static_cast<char>('a' + expected.size() % 26));
      ASSERT_TRUE(writer.Write(piece.data(), piece.size()));
      expected += piece;
    }
    ASSERT_TRUE(writer.Commit());
  }
  EXPECT_EQ(SpoolSandbox::ReadWhole(Path("w.zqx")), expected);
}

TEST_F(SpoolWriterTest, CommitEndsAFileThatHeldALongerMail) {
  const std::string longer(3 * CSpoolWriter::kBufferSize, 'o');
  {
    CSpoolWriter first(
        CFile::Open(Path("a.zqx"), FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateAlways));
    ASSERT_TRUE(first.Write(longer.data(), longer.size()));
    ASSERT_TRUE(first.Commit());
  }
  ASSERT_TRUE(FileRetireForOverwrite(Path("a.zqx")));
  CSpoolWriter next(CFile::Open(Path("b.zqx"), FileAccess::kReadWrite, FileShare::kNone,
                                FileCreation::kCreateNewOverwrite));
  ASSERT_TRUE(next.Write("new mail\r\n", 10));
  ASSERT_TRUE(next.Commit());
  EXPECT_EQ(SpoolSandbox::ReadWhole(Path("b.zqx")), "new mail\r\n");
}

TEST_F(SpoolWriterTest, FailedWritesMakeTheCommitFail) {
  SpoolSandbox::Touch(Path("r.zqx"));
  CSpoolWriter writer(
      CFile::Open(Path("r.zqx"), FileAccess::kRead, FileShare::kNone, FileCreation::kOpenExisting));
  const std::string big(CSpoolWriter::kBufferSize + 1, 'x');
  EXPECT_FALSE(writer.Write(big.data(), big.size()));  // goes straight to the file, which is read-only
  EXPECT_TRUE(writer.Failed());
  EXPECT_FALSE(writer.Write("y", 1));
  EXPECT_FALSE(writer.Commit());

  CSpoolWriter pending(
      CFile::Open(Path("r.zqx"), FileAccess::kRead, FileShare::kNone, FileCreation::kOpenExisting));
  EXPECT_TRUE(pending.Write("buffered", 8));  // held in the buffer until the commit
  EXPECT_FALSE(pending.Commit());
}

}  // namespace
