// tests/unit/host/main_test.cpp: the real program started from a command prompt when it
// cannot take mail. (Console mode and its q: every integration test runs the gateway so.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "SpoolTestSupport.h"

namespace {

class Entry : public ::testing::Test {
 protected:
  // `cvsmtpgw -m` with a private hive and unit directory, never under a service
  // manager nor with systemd; stdout and stderr go to files in the sandbox.
  int Run() const {
    const std::string rcFile = m_Box.Root() + "exit-status";
    std::filesystem::remove(rcFile);
    std::filesystem::create_directories(m_Box.Root() + "units");
    std::system(("(true | env -u NOTIFY_SOCKET -u INVOCATION_ID CVSMTPGW_HIVE='" + m_Box.HivePath() +
                 "' CVSMTPGW_UNIT_DIR='" + m_Box.Root() + "units' CVSMTPGW_SYSTEMD_RUN_DIR='" + m_Box.Root() +
                 "none' CVSMTPGW_SYSLOG_SOCKET='" + m_Box.Root() + "none' timeout 30 '" + CVSMTPGW_BINARY +
                 "' -m > '" + m_Box.Root() + "out' 2> '" + m_Box.Root() +
                 "err'); echo $? > '" + rcFile + "'")
                    .c_str());
    int rc = -1;
    std::ifstream(rcFile) >> rc;
    return rc;
  }
  std::string Output(const char* name) const { return ReadWholeFile(m_Box.Root() + name); }

  SpoolSandbox m_Box;
};

// Never a prompt over a gateway that takes nothing: the reason on standard
// error, exit status 2. (A port that stays taken, exit status 3: test_service.py.)
TEST_F(Entry, AStartThatCannotTakeMailEndsWithItsReason) {
  const std::string program = m_Box.ProgramPath();
  // Empty, the spool would be the working directory; without its final
  // separator, the spool's names (made by appending) would lie beside it.
  for (const std::string& programPath : {std::string(), program.substr(0, program.size() - 1)}) {
    SCOPED_TRACE(programPath);
    m_Box.SetText("ProgramPath", programPath);
    EXPECT_EQ(Run(), 2);  // at once: a wait would be cut by the run's time-out (124)
    EXPECT_EQ(Output("out"), "");
    // The setting named, with why, on one line (the wording of the why aside).
    const std::string err = Output("err");
    EXPECT_EQ(err.find("cvsmtpgw: cannot start: ProgramPath \"" + programPath + "\" cannot be used: "), 0u);
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  }
}

}  // namespace
