// tests/unit/message_headers_test.cpp: the Date field is the local time with
// the offset that takes it back to the moment given; Message-IDs never repeat.
#include "mime/MessageHeaders.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "platform/System.h"

namespace {

TEST(MessageHeadersTest, DateIsLocalTimeWithItsOffset) {
  for (const std::time_t when : {std::time_t{0}, std::time_t{1700000000}, std::time_t{1719835200}}) {
    const std::string date = MessageDate(when);
    SCOPED_TRACE(date);
    char day[4] = "", month[4] = "", sign = 0;
    int mday = 0, year = 0, hour = 0, minute = 0, second = 0, zone = 0, used = 0;
    ASSERT_EQ(std::sscanf(date.c_str(), "%3[A-Za-z], %d %3[A-Za-z] %4d %2d:%2d:%2d %c%4d%n", day, &mday, month,
                          &year, &hour, &minute, &second, &sign, &zone, &used),
              9);
    EXPECT_EQ(static_cast<std::size_t>(used), date.size());
    EXPECT_NE(std::strstr("MonTueWedThuFriSatSun", day), nullptr);
    EXPECT_NE(std::strstr("JanFebMarAprMayJunJulAugSepOctNovDec", month), nullptr);
    EXPECT_EQ(date.substr(date.size() - 5, 1).find_first_of("+-"), 0u);  // four digits of zone
    std::tm local{};
    ASSERT_TRUE(LocalTime(when, local));
    EXPECT_EQ(mday, local.tm_mday);
    EXPECT_EQ(hour, local.tm_hour);
    // The fields less the offset are the moment, in UTC.
    const int offset = (sign == '-' ? -1 : 1) * (zone / 100 * 60 + zone % 100) * 60;
    const int seconds = hour * 3600 + minute * 60 + second;
    EXPECT_EQ(((seconds - offset) % 86400 + 86400) % 86400, static_cast<int>(when % 86400));
  }
}

TEST(MessageHeadersTest, MessageIdsAreUniqueAndWellFormed) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = NewMessageId(i % 2 == 0 ? "fax.example.com" : "bad host\r\n.");
    ASSERT_TRUE(seen.insert(id).second) << id;
    const std::size_t at = id.find('@');
    ASSERT_NE(at, std::string::npos) << id;
    EXPECT_EQ(id.front(), '<');
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef.", 1), at) << id;
    EXPECT_EQ(id.substr(at), i % 2 == 0 ? "@fax.example.com>" : "@badhost>");
  }
  EXPECT_NE(NewMessageId("").find("@localhost>"), std::string::npos);
}

}  // namespace
