// The mail domain of an address and the host lookup that turns it into a
// dotted IPv4 address.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dns/HostAddress.h"

namespace {

TEST(HostAddressTest, AddressDomain) {
  const std::pair<const char*, const char*> cases[] = {
      {"user@fax.test", "fax.test"},
      {"\"Fax Desk\" <desk@fax.test>", "fax.test"},
      {"user@", "user@"},  // nothing after the at sign: the bare address
      {"a@b@c", "b@c"},
  };
  for (const auto& [text, domain] : cases) EXPECT_EQ(AddressDomain(text), domain) << text;
}

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
