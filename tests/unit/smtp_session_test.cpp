// The inbound SMTP session over a loopback pair: the state table, the help
// text, the end of data and dot handling, and refusing a mail that cannot be
// stored; and the buffered spool writer.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
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
const std::string kHelo = "HELO client.example.com";
constexpr char kHeloOk[] = "250 fax.example.com client.example.com\r\n";
constexpr char kBad[] = "503 Bad Sequence Of Commands.\r\n";
constexpr char kUnknown[] = "500 Syntax Error, Command Unknown.\r\n";
constexpr char kNoop[] = "250 Requested mail action ok, completed\r\n";
constexpr char kStartData[] = "354 Start mail input, end with <CRLF>.<CRLF>\r\n";
constexpr char kReceived[] = "250 Mail Received OK\r\n";
constexpr char kQuit[] = "221 Goodbye\r\n";
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
    if (!m_Thread.joinable()) return;
    m_Pair.CloseClient();
    m_Thread.join();
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
  // OUT's files and texts but envelopes and the spare directory; a stored mail
  // "<n>.zqx" is read from its debug copy.
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
    Play({{kHelo, kHeloOk},
          {"MAIL FROM:<a@example.com>", "250 OK  FROM:<a@example.com> \r\n"},
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
struct Script {
  const char* name;
  Steps steps;
};
void PrintTo(const Script& script, std::ostream* out) { *out << script.name; }

class SessionScriptTest : public SessionTest, public ::testing::WithParamInterface<Script> {};

TEST_P(SessionScriptTest, RepliesAsTheStateTableSays) {
  Start();
  Play(GetParam().steps);
}

const std::string kFromA = "250 OK  FROM:<a> \r\n", kToB = "250 OK  TO:<b> \r\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    States, SessionScriptTest,
    ::testing::Values(
        Script{"LowerCaseHelo", {{"helo client.example.com", kHeloOk}, {"QUIT", kQuit}}},
        Script{"HeloWithoutSpace", {{"HELOX", "250 fax.example.com X\r\n"}}},
        Script{"OutOfOrder",
               {{"HEL", kUnknown}, {"MAIL FROM:<a>", kBad}, {kHelo, kHeloOk}, {"HELO again", kBad},
                {"RCPT TO:<b>", kBad}}},
        Script{"DataWithoutRcptStaysInRcpt",
               {{kHelo, kHeloOk}, {"MAIL FROM:<a>", kFromA}, {"DATA", kBad}, {"RCPT TO:<b>", kToB},
                {"DATA", kStartData}}},
        Script{"RsetKeepsStateAndRecipients",
               {{kHelo, kHeloOk}, {"MAIL FROM:<a>", kFromA}, {"RCPT TO:<b>", kToB}, {"RSET", "250 Ok\r\n"},
                {"MAIL FROM:<c>", kBad}, {"DATA", kStartData}}},
        Script{"ArgumentsKeepTheirPrefixAndTabs",
               {{kHelo, kHeloOk}, {"MAIL    FROM:<x>", "250 OK  FROM:<x> \r\n"},
                {"RCPT \tTO:<y>", "250 OK  \tTO:<y> \r\n"}}},
        Script{"NoopAndUnknownInEveryState",
               {{"NOOP", kNoop}, {"EHLO x", kUnknown}, {kHelo, kHeloOk}, {"NOOP", kNoop}, {"VRFY x", kUnknown},
                {"MAIL FROM:<a>", kFromA}, {"noop", kNoop}, {"RCPT TO:<b>", kToB}}}),
    [](const ::testing::TestParamInfo<Script>& info) { return info.param.name; });
// clang-format on

TEST_F(SessionTest, HelpTextIsThirteenExactLines) {
  Start();
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
  Start();
  Send(kHelo + "\r\n\r\nNOOP\r\n");
  EXPECT_EQ(Reply(), kHeloOk);
  m_Thread.join();
  SockShutdown(m_Pair.server, SocketShutdown::kBoth);
  char c;
  EXPECT_EQ(SockRecv(m_Pair.client, &c, 1), 0);  // no reply to the empty line nor to NOOP
}

// Data lines as sent, and what must be stored after the trace line.
struct DotCase {
  const char* name;
  std::string sent, stored;
};
void PrintTo(const DotCase& c, std::ostream* out) { *out << c.name; }

class DataTest : public SessionTest, public ::testing::WithParamInterface<DotCase> {};

TEST_P(DataTest, StoresTheDataUnstuffedUpToTheEndLine) {
  Start();
  OpenTransaction();
  Send(GetParam().sent + ".\r\n");
  EXPECT_EQ(Reply(), kReceived);
  EXPECT_EQ(Command("QUIT"), kQuit);
  Finish();
  EXPECT_EQ(Stored(), (Files{{"7.zqx", kTrace + GetParam().stored}}));
}

const std::string kLong(250, 'L'), kA(100, 'a'), kB(99, 'b'), kC(99, 'c'), kDots(200, '.');

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Dots, DataTest,
    ::testing::Values(DotCase{"Empty", "", ""},
                      DotCase{"TwoDotsBecomeOne", "..\r\n", ".\r\n"},
                      DotCase{"LeadingDotRemoved", ".abc\r\n..def\r\n", "abc\r\n.def\r\n"},
                      DotCase{"DotWithBareLfIsData", ".\nMAIL FROM:<x>\r\n", "\nMAIL FROM:<x>\r\n"},
                      DotCase{"EndLineAfterBareLfIsData", "x\n.\r\nRCPT TO:<y>\r\n", "x\n\r\nRCPT TO:<y>\r\n"},
                      DotCase{"DotAfterLoneCrIsData", "a\r.\r\n", "a\r.\r\n"},
                      DotCase{"TailPieceOfLongLine", kA + ".\r\n", kA + ".\r\n"},
                      DotCase{"LongLineStoredWhole", "." + kLong + "\r\n" + kLong + "\n\r\n",
                              kLong + "\r\n" + kLong + "\n\r\n"},
                      DotCase{"DotAtPieceBoundaryIsNotStripped", kB + "\r\n." + kDots + "\r\n",
                              kB + "\r\n" + kDots + "\r\n"},
                      DotCase{"EndLineAfterSplitLineEnd", kC + "\r\n", kC + "\r\n"},
                      DotCase{"BinaryBytes", std::string("a\0b\x01\xff\r\n", 7),
                              std::string("a\0b\x01\xff\r\n", 7)}),
    [](const ::testing::TestParamInfo<DotCase>& info) { return info.param.name; });
// clang-format on

TEST_F(SessionTest, NextMailNeedsMailAgainAndDropsOldRecipients) {
  Start();
  OpenTransaction();
  Play({{"one\r\n.", kReceived},
        {"RCPT TO:<2@fax.example.com>", kBad},
        {"MAIL FROM:<b@example.com>", "250 OK  FROM:<b@example.com> \r\n"},
        {"DATA", kBad},
        {"RCPT TO:<3@fax.example.com>", "250 OK  TO:<3@fax.example.com> \r\n"},
        {"DATA", kStartData},
        {"two\r\n.", kReceived}});
  Finish();
  EXPECT_EQ(m_Session.Recipients(), CRecipientList{"TO:<3@fax.example.com>"});
  EXPECT_EQ(m_Session.MailFrom(), "FROM:<b@example.com>");
  EXPECT_EQ(Stored(), (Files{{"7.zqx", kTrace + "one\r\n"}, {"8.zqx", kTrace + "two\r\n"}}));
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

class SpoolWriterTest : public ::testing::Test {
 protected:
  CSpoolWriter Writer(const char* name, FileCreation creation = FileCreation::kCreateAlways,
                      FileAccess access = FileAccess::kReadWrite) const {
    return CSpoolWriter(CFile::Open(Path(name), access, FileShare::kNone, creation));
  }
  std::string Path(const char* name) const { return m_Sandbox.Out() + name; }
  SpoolSandbox m_Sandbox;
};

TEST_F(SpoolWriterTest, CommitEndsAFileThatHeldALongerMail) {
  const std::string longer(3 * CSpoolWriter::kBufferSize, 'o');
  {
    CSpoolWriter first = Writer("a.zqx");
    ASSERT_TRUE(first.Write(longer.data(), longer.size()));
    ASSERT_TRUE(first.Commit());
  }
  ASSERT_TRUE(FileRetireForOverwrite(Path("a.zqx")));
  CSpoolWriter next = Writer("b.zqx", FileCreation::kCreateNewOverwrite);
  ASSERT_TRUE(next.Write("new mail\r\n", 10));
  ASSERT_TRUE(next.Commit());
  EXPECT_EQ(SpoolSandbox::ReadWhole(Path("b.zqx")), "new mail\r\n");
}

TEST_F(SpoolWriterTest, FailedWritesMakeTheCommitFail) {
  SpoolSandbox::Touch(Path("r.zqx"));
  CSpoolWriter writer = Writer("r.zqx", FileCreation::kOpenExisting, FileAccess::kRead);
  const std::string big(CSpoolWriter::kBufferSize + 1, 'x');
  EXPECT_FALSE(writer.Write(big.data(), big.size()));  // goes straight to the read-only file
  EXPECT_TRUE(writer.Failed());
  EXPECT_FALSE(writer.Write("y", 1));
  EXPECT_FALSE(writer.Commit());

  CSpoolWriter pending = Writer("r.zqx", FileCreation::kOpenExisting, FileAccess::kRead);
  EXPECT_TRUE(pending.Write("buffered", 8));  // held in the buffer until the commit
  EXPECT_FALSE(pending.Commit());
}

}  // namespace
