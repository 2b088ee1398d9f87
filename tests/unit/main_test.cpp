// tests/unit/main_test.cpp: the real program's entry: console mode and its
// key loop, and service mode started from a command prompt.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "SpoolTestSupport.h"

#ifdef CVSMTPGW_BINARY
namespace {

class Entry : public ::testing::Test {
 protected:
  void SetUp() override { m_Box.WithProgramPath(); }
  // The program with a private hive, never under a service manager, with a
  // time limit; stdout and stderr go to files in the sandbox.
  std::string Program(const std::string& arguments, const char* limit = "timeout 30") const {
    return std::string("env -u NOTIFY_SOCKET -u INVOCATION_ID CVSMTPGW_HIVE='") + m_Box.HivePath() + "' " + limit +
           " '" + CVSMTPGW_BINARY + "' " + arguments + " > '" + Out() + "' 2> '" + Err() + "'";
  }
  std::string Out() const { return m_Box.Root() + "stdout"; }
  std::string Err() const { return m_Box.Root() + "stderr"; }

  SpoolSandbox m_Box;
};

TEST_F(Entry, ConsoleModeStopsOnLowercaseQOnly) {
  const auto start = std::chrono::steady_clock::now();
  const int rc = m_Box.RunShell("(printf 'Q\\n'; sleep 2; printf 'q\\n') | " + Program("-m"));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(SpoolSandbox::ReadWhole(Out()), "Press q to stop the gateway\n");
  // Q and the line end did not end it: it was still reading when q came.
  EXPECT_GE(elapsed, std::chrono::seconds(2));
  // The start-up cleared the name flags of an earlier run.
  EXPECT_EQ(m_Box.Number("FileNameUseAtt"), 0u);
}

TEST_F(Entry, SlashAndUpperCaseSelectConsoleModeToo) {
  EXPECT_EQ(m_Box.RunShell("printf 'q' | " + Program("/M")), 1);
  EXPECT_EQ(SpoolSandbox::ReadWhole(Out()), "Press q to stop the gateway\n");
}

TEST_F(Entry, ConsoleModeKeepsRunningAtTheEndOfInput) {
  const int rc = m_Box.RunShell(Program("-m < /dev/null", "timeout -s KILL 2"));
  EXPECT_EQ(rc, 137);  // killed by the time limit, not ended by itself
  EXPECT_EQ(SpoolSandbox::ReadWhole(Out()), "Press q to stop the gateway\n");
}

TEST_F(Entry, WithoutAServiceManagerServiceModeShowsTwoMessages) {
  for (const char* arguments : {"", "-m x"}) {
    EXPECT_EQ(m_Box.RunShell(Program(std::string(arguments) + " < /dev/null")), 1) << arguments;
    const auto lines = SpoolSandbox::Lines(SpoolSandbox::ReadWhole(Err()));
    ASSERT_EQ(lines.size(), 2u) << SpoolSandbox::ReadWhole(Err());
    EXPECT_EQ(lines[0], "Startup Message: Command prompt:Service will about to start");
    EXPECT_EQ(lines[1], std::string("Error: ") + PlatformErrorText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(SpoolSandbox::ReadWhole(Out()), "");
  }
}

TEST_F(Entry, InstallAndRemoveSayTheyAreNotAvailable) {
  EXPECT_EQ(m_Box.RunShell(Program("'\"-i\"' < /dev/null")), 1);
  EXPECT_NE(SpoolSandbox::ReadWhole(Err()).find("not available"), std::string::npos);
  EXPECT_EQ(m_Box.RunShell(Program("-u < /dev/null")), 1);
  EXPECT_NE(SpoolSandbox::ReadWhole(Err()).find("not available"), std::string::npos);
}

}  // namespace
#endif
