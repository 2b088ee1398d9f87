// tests/unit/base/pattern_list_test.cpp: the wildcard lists of the fax number settings.
// (How a list splits, with empty pieces and an empty list: test_access_control.py.)
#include "base/PatternList.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PatternList, PatternsMatchTheWholeText) {
  const struct {
    const char* pattern;
    const char* text;
    bool matches;
  } cases[] = {
      {"0900*", "0900123", true},   {"0900*", "0900", true},       {"0900*", "00900", false},
      {"*900", "0900", true},       {"0?00*", "0900", true},       {"0?00*", "000", false},
      {"+*", "+49301", true},       {"+*", "49301", false},        {"*", "", true},
      {"", "", true},               {"", "1", false},              {"Max.Muster", "max.muster", true},
      {"max.*", "max", false},      {"*1*2*3", "a1b2c3", true},    {"*1*2*3", "a1b3c2", false},
      {"??", "1", false},           {"a*b*c*d", "abcabcabcd", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " / " + c.text);
    EXPECT_EQ(PatternMatch(c.pattern, c.text), c.matches);
  }
}

}  // namespace
