// base/Wildcard.cpp: the directory search's wildcard rule.
//
// "*" matches any run of characters, "?" exactly one; letters compare without
// regard to case (ASCII), as file names do on Windows. A pattern ending in ".*"
// also matches a name without any extension ("x.*" finds "x"), which is how
// Windows reads such patterns. Pure function; any thread.
#include <cstring>

#include "base/Wildcard.h"

#include "base/Text.h"

namespace {

// Matches pattern[0, plen) against name[0, nlen): one backtracking point (the
// last star) is enough, so the work stays O(plen * nlen) at worst.
bool MatchRange(const char* pattern, std::size_t plen, const char* name, std::size_t nlen) {
  std::size_t p = 0, n = 0;
  std::size_t starP = static_cast<std::size_t>(-1), starN = 0;
  while (n < nlen) {
    if (p < plen && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < plen && (pattern[p] == '?' || AsciiLower(pattern[p]) == AsciiLower(name[n]))) {
      ++p;
      ++n;
    } else if (starP != static_cast<std::size_t>(-1)) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < plen && pattern[p] == '*') ++p;
  return p == plen;
}
}  // namespace

bool WildcardMatch(const char* pattern, const char* name) {
  if (pattern == nullptr || name == nullptr) return false;
  const std::size_t plen = std::strlen(pattern);
  const std::size_t nlen = std::strlen(name);
  if (MatchRange(pattern, plen, name, nlen)) return true;
  // "stem.*" also stands for the bare stem: "*.*" is every name, "x.*" finds "x".
  if (plen >= 2 && pattern[plen - 2] == '.' && pattern[plen - 1] == '*')
    return MatchRange(pattern, plen - 2, name, nlen);
  return false;
}
