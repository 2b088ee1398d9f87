// base/Text.h: byte-text helpers that every layer shares: ASCII case
// folding, as mail headers, SMTP commands and Windows file names compare, and
// the splitting of a settings list, and the one sanitiser through which untrusted text (peer commands, header
// values, file contents) reaches a log line.
//
// Stateless; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
inline char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Equal when only the case of ASCII letters differs.
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// The first position at or after `from` where `needle` occurs, case ignored;
// std::string_view::npos when it does not.
std::size_t FindNoCase(std::string_view haystack, std::string_view needle, std::size_t from = 0);

// `text` made fit for one log line: line ends at its end dropped, every other
// control byte shown as '?', cut to `limit` bytes ("..." added when cut).
std::string PrintableText(std::string_view text, std::size_t limit = 200);

// The entries of a settings list ("10.0.0.0/8, 192.168.0.0/16", "0900* 00*"):
// separated by blanks, tabs, commas or line ends; empty pieces skipped. The
// views point into `text`.
std::vector<std::string_view> SplitList(std::string_view text);
