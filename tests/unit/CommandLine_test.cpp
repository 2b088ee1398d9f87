// tests/unit/CommandLine_test.cpp: the mode chosen from the last two
// characters of the command line.
#include "host/CommandLine.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, OnlyTheLastTwoCharactersDecide) {
  const struct {
    const char* line;
    GatewayMode mode;
  } cases[] = {
      {"C:\\gw\\cvsmtpgw.exe -m", GatewayMode::kConsole},
      {"/usr/sbin/cvsmtpgw /m", GatewayMode::kConsole},
      {"cvsmtpgw -M", GatewayMode::kConsole},
      {"cvsmtpgw /M", GatewayMode::kConsole},
      {"\"C:\\Program Files\\gw\\cvsmtpgw.exe\" -i", GatewayMode::kInstall},
      {"cvsmtpgw \"-i\"", GatewayMode::kInstall},
      {"cvsmtpgw /U", GatewayMode::kRemove},
      {"cvsmtpgw -m x", GatewayMode::kService},   // the last two are " x"
      {"cvsmtpgw -m ", GatewayMode::kService},    // a trailing space defeats the switch
      {"cvsmtpgw -i -m -u -x", GatewayMode::kService},
      {"C:\\gw\\cvsmtpgw.exe", GatewayMode::kService},
      {"-m", GatewayMode::kConsole},
      {"m", GatewayMode::kService},
      {"", GatewayMode::kService},
      {"\"\"\"", GatewayMode::kService},
  };
  for (const auto& c : cases) EXPECT_EQ(ChooseMode(c.line), c.mode) << c.line;
}

}  // namespace
