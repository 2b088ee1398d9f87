// tests/unit/platform/posix/hive_format_test.cpp: the hive file's text (CHive): damaged
// files are reported at their line, read as far as they go and rewritten
// exactly. (Every value through a rewrite, in every encoding:
// fuzz/hive_parser_fuzz.cpp; a real regedit export read and written back:
// test_wine_settings.py; the registry over the file: hive_registry_test.cpp.)
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"
#include "platform/posix/HiveFormat.h"

namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";
constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarrock\\Corvane SMTP Server";

// A file as regedit exports it: UTF-16LE after the FF FE mark.
std::string Utf16File(std::u16string_view text) {
  std::string out = "\xFF\xFE";
  for (char16_t u : text) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

std::u16string Ascii16(std::string_view text) { return std::u16string(text.begin(), text.end()); }

enum class Encoding { kUtf8, kUtf8Mark, kUtf16 };

Encoding EncodingOf(const std::string& file) {
  if (file.rfind("\xFF\xFE", 0) == 0) return Encoding::kUtf16;
  if (file.rfind("\xEF\xBB\xBF", 0) == 0) return Encoding::kUtf8Mark;
  return Encoding::kUtf8;
}

// Writes the hive and reads it back: no problem, and the same text when
// written again (that every value survives: fuzz/hive_parser_fuzz.cpp).
// Returns the text.
std::string ExpectRewriteKeepsEverything(const CHive& hive) {
  const std::string written = hive.Serialize();
  std::vector<CHiveProblem> problems;
  EXPECT_EQ(CHive::Parse(written, problems).Serialize(), written);
  EXPECT_TRUE(problems.empty());
  return written;
}

const CHiveValue* Value(const CHive& hive, const char* name) {
  const CHiveKey* key = hive.FindKey(kKey);
  return key != nullptr ? CHive::FindValue(*key, name) : nullptr;
}

// Damaged and odd files. Each is read as far as it can be; what was read is
// written back exactly, and a file that is cut off is reported (the registry
// never rewrites such a hive), not read short.
TEST(HiveFormatTest, BadInputIsReadAsFarAsItGoesAndRewrittenExactly) {
  const std::u16string section = Ascii16(kHeader) + u"[" + Ascii16(kKey) + u"]\r\n";
  const std::string section8 = std::string(kHeader) + "[" + kKey + "]\r\n";
  const struct {
    const char* what;
    std::string file;
    int problemLine;  // 0: none
    const char* name;  // a value to look at, or null
    std::string data;  // its bytes; empty: the value must be absent
    Encoding written;
  } cases[] = {
      {"UTF-16 with a byte after its last line", Utf16File(section + u"\"A\"=\"x\"\r\n") + "\n", 5, "A",
       std::string("x\0", 2), Encoding::kUtf16},
      {"UTF-16 cut in the middle of a counter", Utf16File(section + u"\"TmpIndex\"=dword:0000001") + "2", 4,
       "TmpIndex", "", Encoding::kUtf16},
      {"UTF-16 mark, then 8-bit text", "\xFF\xFE" + section8 + "\"A\"=\"J\xF6rg\"\r\n", 1, "A", "",
       Encoding::kUtf16},
      {"UTF-8 mark, then 8-bit text", "\xEF\xBB\xBF" + section8 + "\"A\"=\"J\xF6rg \xE0\x8B\x97\"\r\n", 0, "A",
       std::string("J\xF6rg \xE0\x8B\x97\0", 9), Encoding::kUtf8Mark},
      {"NUL inside a REG_SZ of a UTF-16 file", Utf16File(section + u"\"A\"=\"a" + std::u16string(1, u'\0') + u"b\"\r\n"),
       0, "A", std::string("a\0b\0", 4), Encoding::kUtf16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<CHiveProblem> problems;
    const CHive hive = CHive::Parse(c.file, problems);
    if (c.problemLine == 0) {
      EXPECT_TRUE(problems.empty()) << problems.front().line << ": " << problems.front().text;
    } else {
      ASSERT_FALSE(problems.empty());
      EXPECT_EQ(problems.back().line, c.problemLine) << problems.back().text;
      EXPECT_FALSE(hive.Complete());
    }
    const CHiveValue* value = Value(hive, c.name);
    if (c.data.empty()) {
      EXPECT_EQ(value, nullptr);
    } else {
      ASSERT_NE(value, nullptr);
      EXPECT_EQ(value->data, c.data);
    }
    EXPECT_EQ(EncodingOf(ExpectRewriteKeepsEverything(hive)), c.written);
  }
}

}  // namespace
