// tests/unit/spool/file_man_settings_test.cpp: the file manager's settings, from a table of hive contents.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SpoolTestSupport.h"
#include "spool/CFileMan.h"

namespace {

struct SettingsCase {
  const char* what;
  std::vector<std::pair<const char*, DWORD>> values;
  std::vector<std::int32_t> numbers;  // maxOut maxIn numUsers advanced onFailure onSuccess subject tiff
};

TEST(CFileManSettings, ReadingOrderAndDefaults) {
  const std::vector<int> defaults = {10, 10, 0, 0, 1, 1, 0, 1};
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
  };
  // clang-format on
  for (const SettingsCase& c : cases) {
    SCOPED_TRACE(c.what);
    SpoolSandbox box;
    box.SetNumber("FileNameUse", 1);
    for (const auto& [name, number] : c.values) box.SetNumber(name, number);
    CFileMan files;
    EXPECT_EQ((std::vector<std::int32_t>{files.GetMaxOut(), files.GetMaxIn(), files.GetNumUsers(),
                                         files.GetAdvancedOptions(), files.GetNotifyOnFailure(),
                                         files.GetNotifyOnSuccess(), files.GetSubjectLine(),
                                         files.GetIncludeTIFF()}),
              c.numbers);
    EXPECT_EQ(box.Number("FileNameUse"), 0u);
    EXPECT_EQ(GetOverrideAddressCheck(), 0);
  }
}

}  // namespace
