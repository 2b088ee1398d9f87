// tests/unit/smtpout/smart_host_test.cpp: the forms of SmartHost, and those refused.
#include <gtest/gtest.h>

#include "smtpout/SmartHost.h"

namespace {

TEST(SmartHostTest, FormsAndRefusals) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
    bool direct;
  };
  const Case cases[] = {
      {"relay.example.com", true, "relay.example.com", 2525, false},
      {"relay.example.com:587", true, "relay.example.com", 587, false},
      {"[relay.example.com]", true, "relay.example.com", 2525, true},
      {"[192.0.2.7]:465", true, "192.0.2.7", 465, true},
      {"relay:65535", true, "relay", 65535, false},
      {"relay:0", false, "", 0, false},
      {"relay:65536", false, "", 0, false},
      {"[relay", false, "", 0, false},
      {"[relay]x", false, "", 0, false},
      {":25", false, "", 0, false},
      {"re lay", false, "", 0, false},
      {"a:b:25", false, "", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CSmartHost parsed;
    std::string error;
    ASSERT_EQ(ParseSmartHost(c.text, 2525, parsed, error), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(parsed.host, c.host);
    EXPECT_EQ(parsed.port, c.port);
    EXPECT_EQ(parsed.direct, c.direct);
  }
}

}  // namespace
