// tests/unit/message_headers_test.cpp: Message-IDs never repeat, even within
// one second, and hold nothing but what an identifier may. (The Date field,
// parsed back by Python's email package: test_outbound_receivers.py.)
#include "mime/MessageHeaders.h"

#include <gtest/gtest.h>

#include <set>

namespace {

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
