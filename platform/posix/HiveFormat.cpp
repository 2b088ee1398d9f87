// platform/posix/HiveFormat.cpp: parsing and writing the .reg text of the hive.
//
// The reader is strict about what it accepts (a line it does not understand is
// reported, never guessed at) and lenient where regedit is: CR LF or LF line
// ends, a UTF-8 byte order mark, blank and ";" comment lines, hex data
// continued over lines with a trailing backslash, dword with fewer than eight
// digits, "-" deletions of keys and values.
//
// Values are held as the registry's narrow calls return them: text in UTF-8.
// A UTF-8 file holds their bytes as they are; a UTF-16LE file (regedit's
// export, with the FF FE mark) holds text as UTF-16, also in the hex data of
// string types, so it is converted both ways and written back as UTF-16 only
// when every text in it converts exactly. Pure code; not thread-safe.
#include "platform/posix/HiveFormat.h"

#include <cstdio>

#include "base/Text.h"
#include "platform/Registry.h"

namespace {
constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
constexpr std::string_view kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT",
                                       "HKEY_USERS", "HKEY_CURRENT_CONFIG"};
constexpr std::size_t kHexLineWidth = 77;  // regedit ends a hex line with a backslash once it is this wide

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view Trim(std::string_view s) {
  s = TrimLeft(s);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A quoted text starting at s[pos] == '"' with the escapes \\ and \". On
// success pos is just past the closing quote.
bool ParseQuoted(std::string_view s, std::size_t& pos, std::string& out) {
  out.clear();
  for (std::size_t i = pos + 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      pos = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return false;
      out.push_back(s[++i]);
    } else {
      out.push_back(c);
    }
  }
  return false;  // no closing quote
}

// "xx,xx,..." (possibly empty) into bytes.
bool ParseHexList(std::string_view s, std::string& out) {
  out.clear();
  s = Trim(s);
  if (s.empty()) return true;
  for (;;) {
    const std::size_t comma = s.find(',');
    const std::string_view item = Trim(s.substr(0, comma));
    if (item.empty() || item.size() > 2) return false;
    int value = 0;
    for (char c : item) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      value = value * 16 + d;
    }
    out.push_back(static_cast<char>(value));
    if (comma == std::string_view::npos) return true;
    s = s.substr(comma + 1);
    if (Trim(s).empty()) return true;  // a trailing comma before the line's end
  }
}

// One UTF-8 sequence at in[i] in its shortest form, no surrogate, at most
// U+10FFFF: its length with its code point in cp, or 0 when there is none.
std::size_t Utf8Sequence(std::string_view in, std::size_t i, unsigned& cp) {
  const unsigned char c = static_cast<unsigned char>(in[i]);
  std::size_t len = 0;
  unsigned low = 0;  // the smallest code point of that length: anything less is an overlong form
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1Fu, low = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0Fu, low = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07u, low = 0x10000;
  } else {
    return 0;
  }
  if (i + len > in.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char cc = static_cast<unsigned char>(in[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3Fu);
  }
  if (cp < low || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// Exactly the byte strings that go through UTF-16 and come back unchanged.
bool StrictUtf8(std::string_view s) {
  unsigned cp = 0;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t len = Utf8Sequence(s, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

void AppendUtf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// UTF-16LE to UTF-8. What is not text, an unpaired surrogate or an odd last
// byte, becomes U+FFFD: visible, and a line that ends in it does not parse,
// so a file cut in the middle of a code unit is reported, not read short.
std::string Utf16ToUtf8(std::string_view in) {
  constexpr unsigned kReplacement = 0xFFFD;
  std::string out;
  out.reserve(in.size() / 2 + 3);
  auto unit = [&](std::size_t i) {
    return static_cast<unsigned>(static_cast<unsigned char>(in[i])) |
           (static_cast<unsigned>(static_cast<unsigned char>(in[i + 1])) << 8);
  };
  std::size_t i = 0;
  for (; i + 1 < in.size(); i += 2) {
    unsigned cp = unit(i);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < in.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    AppendUtf8(out, cp);
  }
  if (i < in.size()) AppendUtf8(out, kReplacement);
  return out;
}

// UTF-8 to UTF-16LE, without a byte order mark. Only for text that StrictUtf8
// accepts: the writer checks that before it chooses UTF-16.
std::string Utf8ToUtf16(std::string_view in) {
  std::string out;
  out.reserve(in.size() * 2);
  auto put = [&](unsigned u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  unsigned cp = 0;
  for (std::size_t i = 0; i < in.size();) {
    const std::size_t len = Utf8Sequence(in, i, cp);
    if (len == 0) {  // not reached for checked text; never dropped silently either
      cp = 0xFFFD;
      ++i;
    } else {
      i += len;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// The part after '=' of a value line. In a UTF-16 file the hex data of a
// string type is UTF-16LE, as regedit writes it; elsewhere it is the bytes.
bool ParseData(std::string_view s, DWORD& type, std::string& data, bool& remove, bool utf16) {
  remove = false;
  s = Trim(s);
  if (s == "-") {
    remove = true;
    return true;
  }
  if (!s.empty() && s.front() == '"') {
    std::size_t pos = 0;
    if (!ParseQuoted(s, pos, data) || pos != s.size()) return false;
    data.push_back('\0');  // a string is stored with its terminator
    type = REG_SZ;
    return true;
  }
  if (StartsWithNoCase(s, "dword:")) {
    const std::string_view digits = s.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    DWORD value = 0;
    for (char c : digits) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      value = value * 16 + static_cast<DWORD>(d);
    }
    data.assign(4, '\0');
    for (int i = 0; i < 4; ++i)
      data[static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
    type = REG_DWORD;
    return true;
  }
  if (StartsWithNoCase(s, "hex:")) {
    type = REG_BINARY;
    return ParseHexList(s.substr(4), data);
  }
  if (StartsWithNoCase(s, "hex(")) {
    const std::size_t close = s.find(')');
    if (close == std::string_view::npos || close == 4 || close > 12 || close + 1 >= s.size() ||
        s[close + 1] != ':')
      return false;
    DWORD value = 0;
    for (char c : s.substr(4, close - 4)) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      value = value * 16 + static_cast<DWORD>(d);
    }
    type = value;
    if (!ParseHexList(s.substr(close + 2), data)) return false;
    if (utf16 && IsStringType(type)) data = Utf16ToUtf8(data);
    return true;
  }
  return false;
}

bool IsUnder(std::string_view path, std::string_view parent) {
  return path.size() > parent.size() && path[parent.size()] == '\\' &&
         HiveNamesEqual(path.substr(0, parent.size()), parent);
}

void AppendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

// A REG_SZ that the quoted syntax reproduces exactly: one terminator at the
// end, no other NUL and nothing that would break the line. (A UTF-16 file is
// only written when all its text is valid UTF-8.)
bool PlainString(const std::string& data) {
  if (data.empty() || data.back() != '\0') return false;
  for (std::size_t i = 0; i + 1 < data.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    if (c < 0x20 && c != '\t') return false;
  }
  return true;
}

// The characters that `text` takes in regedit's UTF-16 export, where it
// counts its line widths: a four-byte sequence is two, a continuation byte none.
std::size_t ExportWidth(std::string_view text) {
  std::size_t width = 0;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    width += (u & 0xC0) == 0x80 ? 0 : u >= 0xF0 ? 2 : 1;
  }
  return width;
}

// Hex data after what the value's line already holds from `lineStart`
// (its name), wrapped where regedit wraps it, so an export comes back as it was.
void AppendHex(std::string& out, std::size_t lineStart, const char* prefix, const std::string& data,
               const char* eol) {
  out += prefix;
  std::size_t width = ExportWidth(std::string_view(out).substr(lineStart));
  char byte[4];
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(data[i]));
    out += byte;
    if (i + 1 == data.size()) break;
    out.push_back(',');
    width += 3;
    if (width >= kHexLineWidth) {
      out += "\\";
      out += eol;
      out += "  ";
      width = 2;
    }
  }
}
}  // namespace

bool HiveNamesEqual(std::string_view a, std::string_view b) { return EqualsNoCase(a, b); }

bool CHive::ValidKeyPath(std::string_view path) {
  const std::size_t slash = path.find('\\');
  const std::string_view root = path.substr(0, slash);
  bool knownRoot = false;
  for (std::string_view r : kRoots) knownRoot = knownRoot || HiveNamesEqual(root, r);
  if (!knownRoot) return false;
  if (slash == std::string_view::npos) return true;
  std::string_view rest = path.substr(slash + 1);
  for (;;) {
    const std::size_t next = rest.find('\\');
    const std::string_view part = rest.substr(0, next);
    if (part.empty()) return false;
    for (char c : part) {
      if (static_cast<unsigned char>(c) < 0x20) return false;
    }
    if (next == std::string_view::npos) return true;
    rest = rest.substr(next + 1);
  }
}

bool CHive::ValidValueName(std::string_view name) {
  return name.find_first_of("\r\n") == std::string_view::npos;
}

CHive CHive::Parse(std::string_view text, std::vector<CHiveProblem>& problems) {
  CHive hive;
  problems.clear();
  std::string decoded;
  bool cutOff = false;  // a UTF-16 file that ends inside a code unit
  if (text.substr(0, 2) == "\xFF\xFE") {
    hive.m_Utf16 = true;
    cutOff = text.size() % 2 != 0;
    decoded = Utf16ToUtf8(text.substr(2));
    text = decoded;
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    hive.m_Bom = true;
    text.remove_prefix(3);
  }
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
      if (lines.empty()) hive.m_Crlf = true;
    }
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }

  auto problem = [&](std::size_t index) {
    hive.m_Complete = false;
    problems.push_back({static_cast<int>(index + 1), std::string(lines[index])});
  };
  constexpr long kNoKey = -1;    // before the first section
  constexpr long kSkipKey = -2;  // under a section that was deleted or not read
  long current = kNoKey;
  bool headerSeen = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = Trim(lines[i]);
    if (line.empty() || line.front() == ';') {
      // Its last line ends in U+FFFD, which fails every other kind of line.
      if (cutOff && i + 1 == lines.size()) problem(i);
      continue;
    }
    if (!headerSeen) {
      headerSeen = true;
      if (line == kHeader || line == kOldHeader) continue;
      // Not a hive header: read on, so the rest is still usable but never rewritten.
      problem(i);
      if (line.front() != '[') continue;
    }
    if (line.front() == '[') {
      if (line.back() != ']') {
        problem(i);
        current = kSkipKey;
        continue;
      }
      std::string_view path = line.substr(1, line.size() - 2);
      const bool remove = !path.empty() && path.front() == '-';
      if (remove) path.remove_prefix(1);
      if (!ValidKeyPath(path)) {
        problem(i);
        current = kSkipKey;
        continue;
      }
      if (remove) {
        std::erase_if(hive.m_Keys, [&](const CHiveKey& k) {
          return HiveNamesEqual(k.path, path) || IsUnder(k.path, path);
        });
        current = kSkipKey;
        continue;
      }
      hive.AddKey(path);
      for (std::size_t k = 0; k < hive.m_Keys.size(); ++k) {
        if (HiveNamesEqual(hive.m_Keys[k].path, path)) current = static_cast<long>(k);
      }
      continue;
    }
    // A value line: "name"=data or @=data.
    const std::size_t first = i;
    std::string name;
    std::size_t pos = 0;
    bool ok = true;
    if (line.front() == '@') {
      pos = 1;
    } else if (line.front() == '"') {
      ok = ParseQuoted(line, pos, name);
    } else {
      ok = false;
    }
    std::string_view rest;
    if (ok) {
      rest = TrimLeft(line.substr(pos));
      ok = !rest.empty() && rest.front() == '=';
      if (ok) rest = TrimLeft(rest.substr(1));
    }
    std::string joined;
    if (ok && StartsWithNoCase(rest, "hex")) {
      // Hex data may go on over following lines, each ending in a backslash.
      joined = std::string(Trim(rest));
      while (!joined.empty() && joined.back() == '\\' && i + 1 < lines.size()) {
        joined.pop_back();
        joined += Trim(lines[++i]);
      }
      rest = joined;
    }
    DWORD type = 0;
    std::string data;
    bool remove = false;
    if (ok) ok = ParseData(rest, type, data, remove, hive.m_Utf16);
    if (!ok || current == kNoKey) {
      problem(first);
      continue;
    }
    if (current == kSkipKey) continue;
    CHiveKey& key = hive.m_Keys[static_cast<std::size_t>(current)];
    if (remove)
      RemoveValue(key, name);
    else
      SetValue(key, name, type, std::move(data));
  }
  return hive;
}

bool CHive::TextFitsUtf16() const {
  for (const CHiveKey& key : m_Keys) {
    if (!StrictUtf8(key.path)) return false;
    for (const CHiveValue& value : key.values) {
      if (!StrictUtf8(value.name) || (IsStringType(value.type) && !StrictUtf8(value.data))) return false;
    }
  }
  return true;
}

std::string CHive::Serialize() const {
  // A UTF-16 file stays UTF-16 while that holds every name and text exactly;
  // else it becomes UTF-8 without a mark, which holds any bytes.
  const bool utf16 = m_Utf16 && TextFitsUtf16();
  const char* eol = m_Crlf ? "\r\n" : "\n";
  std::string out;
  if (m_Bom && (utf16 || !m_Utf16)) out += "\xEF\xBB\xBF";
  out += kHeader;
  out += eol;
  out += eol;
  for (const CHiveKey& key : m_Keys) {
    out += "[";
    out += key.path;
    out += "]";
    out += eol;
    for (const CHiveValue& value : key.values) {
      const std::size_t lineStart = out.size();
      if (value.name.empty())
        out += "@";
      else
        AppendQuoted(out, value.name);
      out += "=";
      if (value.type == REG_SZ && PlainString(value.data)) {
        AppendQuoted(out, std::string_view(value.data).substr(0, value.data.size() - 1));
      } else if (value.type == REG_DWORD && value.data.size() == 4) {
        DWORD v = 0;
        for (int i = 3; i >= 0; --i)
          v = (v << 8) | static_cast<unsigned char>(value.data[static_cast<std::size_t>(i)]);
        char text[24];
        std::snprintf(text, sizeof text, "dword:%08lx", static_cast<unsigned long>(v));
        out += text;
      } else if (value.type == REG_BINARY) {
        AppendHex(out, lineStart, "hex:", value.data, eol);
      } else {
        char prefix[24];
        std::snprintf(prefix, sizeof prefix, "hex(%lx):", static_cast<unsigned long>(value.type));
        AppendHex(out, lineStart, prefix, utf16 && IsStringType(value.type) ? Utf8ToUtf16(value.data) : value.data,
                  eol);
      }
      out += eol;
    }
    out += eol;
  }
  return utf16 ? "\xFF\xFE" + Utf8ToUtf16(out) : out;
}

CHiveKey* CHive::FindKey(std::string_view path) {
  for (CHiveKey& key : m_Keys) {
    if (HiveNamesEqual(key.path, path)) return &key;
  }
  return nullptr;
}

const CHiveKey* CHive::FindKey(std::string_view path) const {
  for (const CHiveKey& key : m_Keys) {
    if (HiveNamesEqual(key.path, path)) return &key;
  }
  return nullptr;
}

bool CHive::HasSubKeys(std::string_view path) const {
  for (const CHiveKey& key : m_Keys) {
    if (IsUnder(key.path, path)) return true;
  }
  return false;
}

bool CHive::KeyExists(std::string_view path) const {
  if (path.find('\\') == std::string_view::npos) return ValidKeyPath(path);  // a root
  return FindKey(path) != nullptr || HasSubKeys(path);
}

CHiveKey& CHive::AddKey(std::string_view path) {
  if (CHiveKey* key = FindKey(path)) return *key;
  m_Keys.push_back(CHiveKey{std::string(path), {}});
  return m_Keys.back();
}

bool CHive::RemoveKey(std::string_view path) {
  return std::erase_if(m_Keys, [&](const CHiveKey& k) { return HiveNamesEqual(k.path, path); }) > 0;
}

const CHiveValue* CHive::FindValue(const CHiveKey& key, std::string_view name) {
  for (const CHiveValue& value : key.values) {
    if (HiveNamesEqual(value.name, name)) return &value;
  }
  return nullptr;
}

void CHive::SetValue(CHiveKey& key, std::string_view name, DWORD type, std::string data) {
  for (CHiveValue& value : key.values) {
    if (HiveNamesEqual(value.name, name)) {
      value.type = type;
      value.data = std::move(data);
      return;
    }
  }
  key.values.push_back(CHiveValue{std::string(name), type, std::move(data)});
}

bool CHive::RemoveValue(CHiveKey& key, std::string_view name) {
  return std::erase_if(key.values, [&](const CHiveValue& v) { return HiveNamesEqual(v.name, name); }) > 0;
}
