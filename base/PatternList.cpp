// base/PatternList.cpp: wildcard pattern lists (see the header).
//
// Pure functions; any thread.
#include "base/PatternList.h"

#include "base/Text.h"

void CPatternList::Parse(std::string_view text) {
  m_Patterns.clear();
  for (std::string_view entry : SplitList(text)) m_Patterns.emplace_back(entry);
}

bool CPatternList::Matches(std::string_view text) const {
  for (const std::string& pattern : m_Patterns)
    if (PatternMatch(pattern, text)) return true;
  return false;
}

bool PatternMatch(std::string_view pattern, std::string_view text) {
  // The classic greedy match: on a mismatch, go back to the last star and let
  // it take one more character. Only the last star is ever revisited, so the
  // cost is at most the product of the lengths.
  std::size_t p = 0, t = 0;
  std::size_t star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || AsciiLower(pattern[p]) == AsciiLower(text[t])) &&
        pattern[p] != '*') {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}
