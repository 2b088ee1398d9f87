// tests/unit/spool/file_man_settings_test.cpp: the file manager's settings, from a table of hive contents.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SpoolTestSupport.h"
#include "spool/CFileMan.h"

namespace {

struct Value {
  const char* name;
  DWORD number;
  std::string text = "";  // a text value when not empty
};

struct SettingsCase {
  const char* what;
  std::vector<Value> values;
  std::vector<std::int32_t> numbers;  // maxOut maxIn numUsers advanced onFailure onSuccess subject tiff
  std::string domain = "", programPath = "", mailFrom = "";
};

TEST(CFileManSettings, ReadingOrderAndDefaults) {
  const std::vector<int> defaults = {10, 10, 0, 0, 1, 1, 0, 1};
  const std::string d79(79, 'd'), p79 = std::string(78, 'p') + "/", m259(259, 'm');
  // clang-format off
  const std::vector<SettingsCase> cases = {
      {"empty key", {}, defaults},
      {"one advanced value fills the rest", {{"AdvancedOptions", 1}, {"NotifyOnFailure", 0}}, {10, 10, 0, 1, 0, 0, 0, 0}},
      {"AdvancedOptions follows NumUsers", {{"NumUsers", 1}}, {10, 10, 1, 1, 1, 1, 1, 1}},
      {"every number",
       {{"AdvancedOptions", 1}, {"NotifyOnFailure", 0}, {"NotifyOnSuccess", 1}, {"SubjectLine", 2},
        {"IncludeTIFF", 0}, {"MaxOut", 4}, {"MaxIn", 6}, {"NumUsers", 9}},
       {4, 6, 9, 1, 0, 1, 2, 0}},
      {"MaxIn follows MaxOut", {{"MaxOut", 3}}, {3, 3, 0, 0, 1, 1, 0, 1}},
      // Whole in their buffers (one past the limit: settings_test.cpp, through the same reader).
      {"texts at their limits", {{"DomainName", 0, d79}, {"ProgramPath", 0, p79}, {"MailFrom", 0, m259}},
       defaults, d79, p79, m259},
  };
  // clang-format on
  for (const SettingsCase& c : cases) {
    SCOPED_TRACE(c.what);
    SpoolSandbox box;
    box.SetNumber("FileNameUse", 1);
    for (const Value& v : c.values)
      v.text.empty() ? box.SetNumber(v.name, v.number) : box.SetText(v.name, v.text);
    CFileMan files;
    EXPECT_EQ((std::vector<std::int32_t>{files.GetMaxOut(), files.GetMaxIn(), files.GetNumUsers(),
                                         files.GetAdvancedOptions(), files.GetNotifyOnFailure(),
                                         files.GetNotifyOnSuccess(), files.GetSubjectLine(),
                                         files.GetIncludeTIFF()}),
              c.numbers);
    EXPECT_EQ(std::string(files.DomainName()), c.domain);
    EXPECT_EQ(std::string(files.ProgramPath()), c.programPath);
    char mailFrom[260];
    ASSERT_EQ(files.GetMailFrom(mailFrom, sizeof(mailFrom)), 0);
    EXPECT_EQ(std::string(mailFrom), c.mailFrom);
    EXPECT_EQ(box.Number("FileNameUse"), 0u);
    EXPECT_EQ(GetOverrideAddressCheck(), 0);
  }
}

TEST(CFileManSettings, GetDomainNameRefusesBuffersTooSmall) {
  SpoolSandbox box;
  box.SetText("DomainName", "fax.example");
  CFileMan files;
  char buffer[99] = "untouched";
  EXPECT_EQ(files.GetDomainName(buffer, 11), 1);  // no room for the terminator
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(files.GetDomainName(buffer, 12), 0);
  EXPECT_STREQ(buffer, "fax.example");
}

}  // namespace
