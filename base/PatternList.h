// base/PatternList.h: a list of wildcard patterns ("0900*, 00*") parsed from
// a settings text, matched against fax numbers and names.
//
// Pure: no OS, no state beyond the parsed list; any thread once built.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class CPatternList {
 public:
  // Patterns separated by blanks, tabs or commas; empty pieces are skipped,
  // so an empty or blank text is an empty list.
  void Parse(std::string_view text);

  // True when one pattern matches the whole of `text`: "*" any run of
  // characters, "?" exactly one, ASCII letters without regard to case.
  bool Matches(std::string_view text) const;
  bool Empty() const { return m_Patterns.empty(); }
  std::size_t Size() const { return m_Patterns.size(); }

 private:
  std::vector<std::string> m_Patterns;
};

// The match of one pattern; linear in the text for each star (no backtracking
// blow-up on long inputs).
bool PatternMatch(std::string_view pattern, std::string_view text);
