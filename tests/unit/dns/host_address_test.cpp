// The host lookup that turns an address into a dotted IPv4 address. (The mail
// domain of an address: the outbound tests' deliveries to user@domain.)
#include <gtest/gtest.h>

#include <string>

#include "dns/HostAddress.h"

namespace {

TEST(HostAddressTest, ResolveHostAddressWritesOnlyWhatFits) {
  struct Case {
    const char* name;
    std::size_t size;
    int result;
    const char* out;  // the buffer afterwards
  } cases[] = {
      {"127.0.0.5", 16, 0, "127.0.0.5"}, {"<desk@127.1.2.3>", 16, 0, "127.1.2.3"},
      {"localhost", 16, 0, "127.0.0.1"}, {"127.0.0.5", 10, 0, "127.0.0.5"},  // exactly with its terminator
      {"127.0.0.5", 9, 2, "unchanged"},  {"", 16, 1, "unchanged"},
  };
  for (const Case& c : cases) {
    char out[32] = "unchanged";
    EXPECT_EQ(ResolveHostAddress(c.name, out, c.size), c.result) << c.name;
    EXPECT_STREQ(out, c.out) << c.name;
  }
  char inPlace[200] = "user@127.9.8.7";  // the outbound side resolves its work buffer in place
  EXPECT_EQ(ResolveHostAddress(inPlace, inPlace, sizeof inPlace), 0);
  EXPECT_STREQ(inPlace, "127.9.8.7");
}

}  // namespace
