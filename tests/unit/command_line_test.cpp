// tests/unit/command_line_test.cpp: the mode chosen from the last two
// characters of the command line.
#include "host/CommandLine.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, OnlyTheLastTwoCharactersDecide) {
  using enum GatewayMode;
  // clang-format off
  const std::pair<const char*, GatewayMode> cases[] = {
      {"C:\\gw\\cvsmtpgw.exe -m", kConsole}, {"cvsmtpgw -M", kConsole}, {"-m", kConsole},
      {"cvsmtpgw \"-i\"", kInstall}, {"cvsmtpgw /U", kRemove}, {"cvsmtpgw -m x", kService},
      {"cvsmtpgw -m ", kService}, {"m", kService}, {"\"\"\"", kService}};
  // clang-format on
  for (const auto& [line, mode] : cases) EXPECT_EQ(ChooseMode(line), mode) << line;
}

}  // namespace
