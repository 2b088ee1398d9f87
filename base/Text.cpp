// base/Text.cpp: case folding and log-safe text.
#include "base/Text.h"

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::size_t FindNoCase(std::string_view haystack, std::string_view needle, std::size_t from) {
  if (needle.size() > haystack.size()) return std::string_view::npos;
  for (std::size_t i = from; i + needle.size() <= haystack.size(); ++i) {
    if (EqualsNoCase(haystack.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

std::string PrintableText(std::string_view text, std::size_t limit) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  const bool cut = text.size() > limit;
  if (cut) text = text.substr(0, limit);
  std::string out;
  out.reserve(text.size() + 3);
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    out.push_back(byte < 0x20 || byte == 0x7F ? '?' : c);
  }
  if (cut) out += "...";
  return out;
}

std::vector<std::string_view> SplitList(std::string_view text) {
  const auto separator = [](char c) { return c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n'; };
  std::vector<std::string_view> entries;
  std::size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && separator(text[at])) ++at;
    const std::size_t start = at;
    while (at < text.size() && !separator(text[at])) ++at;
    if (at > start) entries.push_back(text.substr(start, at - start));
  }
  return entries;
}
