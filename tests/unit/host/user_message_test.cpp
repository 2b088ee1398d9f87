// tests/unit/host/user_message_test.cpp: under a service manager a message waits
// for nobody and is kept in the debug log; from a shell it is a message box.
#include "host/UserMessage.h"

#include <gtest/gtest.h>

#include "SpoolTestSupport.h"
#include "platform/Process.h"
#include "platform/System.h"

namespace {

TEST(UserMessage, UnderAServiceManagerTheDebugLogKeepsIt) {
  SpoolSandbox box;
  box.EnableLogs();
  const struct {
    const char* variable;  // set while the message is shown, or null
    bool logged;
  } cases[] = {{nullptr, false}, {"NOTIFY_SOCKET", true}, {"INVOCATION_ID", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variable != nullptr ? c.variable : "shell");
    if (c.variable != nullptr) SetEnvironmentValue(c.variable, "x");
    const std::string before = box.PrimaryLog();
    testing::internal::CaptureStderr();
    ShowUserMessage("Service Successfully Installed", "Finished", MB_OK_CODE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Finished: Service Successfully Installed\n");
    const std::string added = box.PrimaryLog().substr(before.size());
    EXPECT_EQ(added.rfind("Finished: Service Successfully Installed ", 0) == 0, c.logged) << added;
    if (c.variable != nullptr) SetEnvironmentValue(c.variable, nullptr);
  }
}

}  // namespace
