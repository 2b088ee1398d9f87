// mime/Address.cpp: address helpers. Stateless; safe on any thread.
#include "mime/Address.h"

#include <algorithm>

#include "base/Text.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view StripBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view StripChar(std::string_view s, char c) {
  while (!s.empty() && s.front() == c) s.remove_prefix(1);
  while (!s.empty() && s.back() == c) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string BareAddress(std::string_view text) {
  std::string_view s = text;
  const std::size_t lt = s.rfind('<');
  if (lt != std::string_view::npos) {
    s = s.substr(lt + 1);
    const std::size_t gt = s.find('>');
    if (gt != std::string_view::npos) s = s.substr(0, gt);
  } else {
    const std::size_t quote = s.rfind('"');
    if (quote != std::string_view::npos) s = s.substr(quote);
  }
  s = StripBlanks(s);
  s = StripChar(s, '<');
  s = StripChar(s, '>');
  return std::string(s);
}

std::string AddressUser(std::string_view text) {
  std::string bare = BareAddress(text);
  const std::size_t at = bare.find('@');
  if (at != std::string::npos && at != 0) bare.resize(at);
  return bare;
}

std::string FormatAddress(std::string_view text, int withName) {
  std::string t(text);
  std::replace_if(
      t.begin(), t.end(), [](char c) { return c == '\r' || c == '\n' || c == '\t'; }, ' ');
  const std::string_view trimmed = StripBlanks(t);
  const std::string bare = BareAddress(trimmed);
  const std::size_t lt = trimmed.rfind('<');
  if (withName == 0) return "<" + bare + ">";
  std::string name;
  if (lt == std::string_view::npos) {
    name = AddressUser(trimmed);
  } else {
    name = lt >= 1 ? std::string(trimmed.substr(0, lt - 1)) : AddressUser(trimmed);
    name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return c == '@' || c == '"'; }),
               name.end());
    name = std::string(StripBlanks(name));
    if (name.empty()) name = AddressUser(trimmed);
  }
  return "\"" + name + "\" <" + bare + ">";
}

std::string FaxNumberKey(std::string_view address) {
  while (!address.empty() && address.front() == ' ') address.remove_prefix(1);
  if (address.size() >= 3 && StartsWithNoCase(address, "TO:")) address.remove_prefix(3);
  std::string key = AddressUser(address);
  key.erase(std::remove(key.begin(), key.end(), '-'), key.end());
  return key;
}

int IsFaxNumberAddress(std::string_view text) {
  const std::string user = AddressUser(text);
  for (char c : user) {
    if (c == '+' || c == '-') continue;
    if (c < '0' || c > '9') return 0;
  }
  return 1;
}

bool IsMailbox(std::string_view bare) {
  constexpr std::size_t kMaxPath = 254;  // RFC 5321 4.5.3.1.3, less the brackets
  constexpr std::size_t kMaxLocalPart = 64;
  const std::size_t at = bare.rfind('@');
  if (bare.size() > kMaxPath || at == std::string_view::npos || at == 0 || at > kMaxLocalPart ||
      at + 1 == bare.size())
    return false;
  const std::string_view local = bare.substr(0, at), domain = bare.substr(at + 1);
  // A dot-atom local part: no quoted strings, no specials.
  const auto atext = [](char c) {
    return c > 0x20 && c < 0x7F && std::string_view("()<>[]:;@\\,\"").find(c) == std::string_view::npos;
  };
  if (!std::all_of(local.begin(), local.end(), atext)) return false;
  if (domain.front() == '[') {  // an address literal
    return domain.size() > 2 && domain.back() == ']' &&
           std::all_of(domain.begin() + 1, domain.end() - 1, [](char c) {
             return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' ||
                    c == ':' || c == 'I' || c == 'P' || c == 'v';
           });
  }
  // Labels of letters, digits and hyphens, none empty.
  std::size_t label = 0;
  for (const char c : domain) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-') {
      if (++label > 63) return false;
    } else {
      return false;
    }
  }
  return label > 0;
}
