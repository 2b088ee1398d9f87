// tests/unit/main_test.cpp: the real program's modes started from a command prompt.
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
  // `input | program arguments` with a private hive and unit directory, never
  // under a service manager nor with systemd, within `limit`; stdout and
  // stderr go to files in the sandbox.
  int Run(const std::string& input, const std::string& arguments, const std::string& limit) const {
    const std::string rcFile = m_Box.Root() + "exit-status";
    std::filesystem::remove(rcFile);
    std::filesystem::create_directories(m_Box.Root() + "units");
    std::system(("(" + input + " | env -u NOTIFY_SOCKET -u INVOCATION_ID CVSMTPGW_HIVE='" + m_Box.HivePath() +
                 "' CVSMTPGW_UNIT_DIR='" + m_Box.Root() + "units' CVSMTPGW_SYSTEMD_RUN_DIR='" + m_Box.Root() +
                 "none' CVSMTPGW_SYSLOG_SOCKET='" + m_Box.Root() + "none' " + limit + " '" + CVSMTPGW_BINARY +
                 "' " + arguments + " > '" + m_Box.Root() + "out' 2> '" + m_Box.Root() +
                 "err'); echo $? > '" + rcFile + "'")
                    .c_str());
    int rc = -1;
    std::ifstream(rcFile) >> rc;
    return rc;
  }
  std::string Output(const char* name) const { return ReadWholeFile(m_Box.Root() + name); }

  SpoolSandbox m_Box;
};

TEST_F(Entry, ModesFromACommandPrompt) {
  const std::string kPress = "Press q to stop the gateway\n";
  const std::string kService = "Startup Message: Command prompt:Service will about to start\nError: " +
                               std::string(PlatformErrorText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)) + "\n";
  const struct {
    const char *input, *arguments, *limit;
    int rc;  // 137: killed by the time limit
    std::string out, err;
  } cases[] = {
      // Q and its line end do not end console mode: it is still reading when q comes.
      {"(printf 'Q\\n'; sleep 2; printf 'q\\n')", "-m", "timeout 30", 1, kPress, ""},
      {"printf q", "/M", "timeout 30", 1, kPress, ""},
      {"true", "-m", "timeout -s KILL 2", 137, kPress, ""},  // the end of input does not stop it
      {"true", "", "timeout 30", 1, "", kService},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    m_Box.SetNumber("FileNameUseAtt", 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(c.input, c.arguments, c.limit), c.rc);
    EXPECT_EQ(Output("out"), c.out);
    EXPECT_EQ(Output("err"), c.err);
    if (c.input[0] == '(') {
      EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
      EXPECT_EQ(m_Box.Number("FileNameUseAtt"), 0u);  // the start-up ran
    }
  }
}

}  // namespace
