// tests/unit/smtpout/smart_host_test.cpp: the forms of SmartHost, and those refused.
#include <gtest/gtest.h>

#include "smtpout/SmartHost.h"

namespace {

TEST(SmartHostTest, FormsAndRefusals) {
  const struct {
    const char* text;
    const char* host;
    int port;
    bool direct;
  } forms[] = {
      {"relay.example.com", "relay.example.com", 2525, false},
      {"relay.example.com:587", "relay.example.com", 587, false},
      {"[relay.example.com]", "relay.example.com", 2525, true},
      {"relay:65535", "relay", 65535, false},
  };
  for (const auto& c : forms) {
    SCOPED_TRACE(c.text);
    CSmartHost parsed;
    std::string error;
    ASSERT_TRUE(ParseSmartHost(c.text, 2525, parsed, error)) << error;
    EXPECT_EQ(parsed.host, c.host);
    EXPECT_EQ(parsed.port, c.port);
    EXPECT_EQ(parsed.direct, c.direct);
  }
  for (const char* text : {"relay:0", "relay:65536", "[relay", "[relay]x", ":25", "re lay", "a:b:25"}) {
    CSmartHost parsed;
    std::string error;
    EXPECT_FALSE(ParseSmartHost(text, 2525, parsed, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

}  // namespace
