// tests/unit/base/network_list_test.cpp: CIDR lists as the settings give them.
#include "base/NetworkList.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

TEST(NetworkList, ListsParseAndMatch) {
  struct Case {
    const char* text;
    std::uint32_t address;
    bool contained;
  };
  const Case cases[] = {
      {"127.0.0.0/8 10.0.0.0/8", Ip(127, 0, 0, 1), true},
      {"127.0.0.0/8 10.0.0.0/8", Ip(10, 255, 1, 2), true},
      {"127.0.0.0/8,10.0.0.0/8", Ip(11, 0, 0, 1), false},
      {"127.0.0.1", Ip(127, 0, 0, 1), true},  // one host
      {"127.0.0.1", Ip(127, 0, 0, 2), false},
      {"172.16.0.0/12", Ip(172, 31, 255, 255), true},
      {"172.16.0.0/12", Ip(172, 32, 0, 0), false},
      {"192.168.1.77/24", Ip(192, 168, 1, 1), true},  // host bits are ignored
      {"0.0.0.0/0", Ip(203, 0, 113, 9), true},
      {" \t, 10.0.0.0/8 ,, ", Ip(10, 0, 0, 1), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CNetworkList list;
    std::string bad;
    ASSERT_TRUE(list.Parse(c.text, bad));
    EXPECT_EQ(list.Contains(c.address), c.contained);
  }
}

TEST(NetworkList, AnEntryThatDoesNotParseIsNamedAndNothingIsKept) {
  for (const std::string bad : {"10.0.0.0/33", "300.1.1.1/8", "10.0.0/8", "10.0.0.0/", "1234.0.0.1",
                                "10.0.0.0/8/8", "localhost", "10.0.0.1-10.0.0.9", "::1", "10.0.0.0/-1"}) {
    for (const std::string& text : {bad, "127.0.0.0/8 " + bad}) {  // alone, and after a good entry
      SCOPED_TRACE(text);
      CNetworkList list;
      std::string named;
      EXPECT_FALSE(list.Parse(text, named));
      EXPECT_EQ(named, bad);
      EXPECT_TRUE(list.Empty());
      EXPECT_FALSE(list.Contains(Ip(127, 0, 0, 1)));
    }
  }
}

}  // namespace
