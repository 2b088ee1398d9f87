// tests/unit/main_test.cpp: the real program's entry: console mode and its
// key loop, and the other modes started from a command prompt.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "SpoolTestSupport.h"

namespace {

class Entry : public ::testing::Test {
 protected:
  // `input | program arguments` with a private hive, never under a service
  // manager, within `limit`; stdout and stderr go to files in the sandbox.
  int Run(const std::string& input, const std::string& arguments, const char* limit = "timeout 30") const {
    const std::string rcFile = m_Box.Root() + "exit-status";
    std::filesystem::remove(rcFile);
    std::system(("(" + input + " | env -u NOTIFY_SOCKET -u INVOCATION_ID CVSMTPGW_HIVE='" + m_Box.HivePath() +
                 "' " + limit + " '" + CVSMTPGW_BINARY + "' " + arguments + " > '" + m_Box.Root() + "out' 2> '" +
                 m_Box.Root() + "err'); echo $? > '" + rcFile + "'")
                    .c_str());
    int rc = -1;
    std::ifstream(rcFile) >> rc;
    return rc;
  }
  std::string Out() const { return SpoolSandbox::ReadWhole(m_Box.Root() + "out"); }
  std::vector<std::string> Err() const {
    return SpoolSandbox::Lines(SpoolSandbox::ReadWhole(m_Box.Root() + "err"));
  }

  SpoolSandbox m_Box;
};

TEST_F(Entry, ConsoleModeStopsOnLowercaseQOnly) {
  m_Box.SetNumber("FileNameUseAtt", 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run("(printf 'Q\\n'; sleep 2; printf 'q\\n')", "-m"), 1);
  // Q and its line end did not end it: it was still reading when q came.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(Out(), "Press q to stop the gateway\n");
  EXPECT_EQ(m_Box.Number("FileNameUseAtt"), 0u);  // the start-up ran

  EXPECT_EQ(Run("printf q", "/M"), 1);
  EXPECT_EQ(Out(), "Press q to stop the gateway\n");
}

TEST_F(Entry, ConsoleModeKeepsRunningAtTheEndOfInput) {
  EXPECT_EQ(Run("true", "-m", "timeout -s KILL 2"), 137);  // killed by the time limit
  EXPECT_EQ(Out(), "Press q to stop the gateway\n");
}

TEST_F(Entry, OtherModesFromACommandPrompt) {
  for (const char* arguments : {"", "-m x"}) {
    EXPECT_EQ(Run("true", arguments), 1);
    const std::vector<std::string> expected = {
        "Startup Message: Command prompt:Service will about to start",
        std::string("Error: ") + PlatformErrorText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)};
    EXPECT_EQ(Err(), expected) << arguments;
  }
  for (const char* arguments : {"'\"-i\"'", "-u"}) {  // TODO: until installation lands
    EXPECT_EQ(Run("true", arguments), 1);
    ASSERT_EQ(Err().size(), 1u);
    EXPECT_NE(Err()[0].find("not available in this build"), std::string::npos);
  }
}

}  // namespace
