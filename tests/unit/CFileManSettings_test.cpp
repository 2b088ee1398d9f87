// tests/unit/CFileManSettings_test.cpp: the settings reading of the file
// manager, case by case from a table of registry contents.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SpoolTestSupport.h"
#include "spool/CFileMan.h"

namespace {

struct Value {
  const char* name;
  bool isText;
  DWORD number;
  std::string text;
};

Value Num(const char* name, DWORD number) { return {name, false, number, ""}; }
Value Text(const char* name, std::string text) { return {name, true, 0, std::move(text)}; }

struct Expected {
  std::int32_t maxOut, maxIn, numUsers, advanced, onFailure, onSuccess, subject, tiff;
};

struct SettingsCase {
  const char* what;
  std::vector<Value> values;
  Expected expected;
  std::string domain = "";
  std::string programPath = "";
  std::string mailFrom = "";
};

const std::string k79(79, 'd');
const std::string k80(80, 'd');

std::vector<SettingsCase> Cases() {
  return {
      {"empty key", {}, {10, 10, 0, 0, 1, 1, 0, 1}},
      {"MaxIn follows MaxOut", {Num("MaxOut", 3)}, {3, 3, 0, 0, 1, 1, 0, 1}},
      {"MaxIn alone", {Num("MaxIn", 7)}, {10, 7, 0, 0, 1, 1, 0, 1}},
      {"one advanced value fills the rest",
       {Num("AdvancedOptions", 1), Num("NotifyOnFailure", 0)},
       {10, 10, 0, 1, 0, 0, 0, 0}},
      {"advanced options other than 1", {Num("AdvancedOptions", 2), Num("NotifyOnSuccess", 0)}, {10, 10, 0, 2, 1, 1, 0, 1}},
      {"AdvancedOptions follows NumUsers", {Num("NumUsers", 1)}, {10, 10, 1, 1, 1, 1, 1, 1}},
      {"all advanced values",
       {Num("AdvancedOptions", 1), Num("NotifyOnFailure", 0), Num("NotifyOnSuccess", 1), Num("SubjectLine", 2),
        Num("IncludeTIFF", 0), Num("MaxOut", 4), Num("MaxIn", 6), Num("NumUsers", 9)},
       {4, 6, 9, 1, 0, 1, 2, 0}},
      {"domain of 79 characters", {Text("DomainName", k79)}, {10, 10, 0, 0, 1, 1, 0, 1}, k79},
      {"domain of 80 characters is absent", {Text("DomainName", k80)}, {10, 10, 0, 0, 1, 1, 0, 1}, ""},
      {"program path of 79 characters",
       {Text("ProgramPath", std::string(78, 'p') + "/")},
       {10, 10, 0, 0, 1, 1, 0, 1},
       "",
       std::string(78, 'p') + "/"},
      {"program path of 80 characters is absent", {Text("ProgramPath", k80)}, {10, 10, 0, 0, 1, 1, 0, 1}},
      {"mail from of 259 characters",
       {Text("MailFrom", std::string(259, 'm'))},
       {10, 10, 0, 0, 1, 1, 0, 1},
       "",
       "",
       std::string(259, 'm')},
      {"mail from of 260 characters is absent", {Text("MailFrom", std::string(260, 'm'))}, {10, 10, 0, 0, 1, 1, 0, 1}},
  };
}

TEST(CFileManSettings, ReadingOrderAndDefaults) {
  for (const SettingsCase& c : Cases()) {
    SCOPED_TRACE(c.what);
    SpoolSandbox box;
    box.EnableLogs();
    box.SetNumber("FileNameUse", 1);
    for (const Value& v : c.values) {
      if (v.isText) {
        box.SetText(v.name, v.text);
      } else {
        box.SetNumber(v.name, v.number);
      }
    }
    CFileMan files;
    const Expected& e = c.expected;
    EXPECT_EQ(files.GetMaxOut(), e.maxOut);
    EXPECT_EQ(files.GetMaxIn(), e.maxIn);
    EXPECT_EQ(files.GetNumUsers(), e.numUsers);
    EXPECT_EQ(files.GetAdvancedOptions(), e.advanced);
    EXPECT_EQ(files.GetNotifyOnFailure(), e.onFailure);
    EXPECT_EQ(files.GetNotifyOnSuccess(), e.onSuccess);
    EXPECT_EQ(files.GetSubjectLine(), e.subject);
    EXPECT_EQ(files.GetIncludeTIFF(), e.tiff);
    EXPECT_EQ(std::string(files.DomainName()), c.domain);
    EXPECT_EQ(std::string(files.ProgramPath()), c.programPath);
    char mailFrom[260];
    ASSERT_EQ(files.GetMailFrom(mailFrom, sizeof(mailFrom)), 0);
    EXPECT_EQ(std::string(mailFrom), c.mailFrom);
    EXPECT_EQ(box.Number("FileNameUse"), 0u);
    EXPECT_EQ(GetOverrideAddressCheck(), 0);
    const std::string domainEntry = c.domain.empty() ? "Domain Name: <empty> " : "Domain Name: " + c.domain + " ";
    EXPECT_NE(box.PrimaryLog().find(domainEntry), std::string::npos) << box.PrimaryLog();
  }
}

TEST(CFileManSettings, GetDomainNameRefusesBuffersTooSmall) {
  SpoolSandbox box;
  box.SetText("DomainName", "fax.example");
  CFileMan files;
  char buffer[99] = "untouched";
  EXPECT_EQ(files.GetDomainName(buffer, 11), 1);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(files.GetDomainName(buffer, 12), 0);
  EXPECT_STREQ(buffer, "fax.example");
}

// The override flag is process-wide and never cleared: the texts that leave
// it off come first.
TEST(CFileManSettings, OverrideAddressCheckNeedsAShortTextStartingWithY) {
  for (const char* text : {"no", "yesss", ""}) {
    SpoolSandbox box;
    box.SetText("OverrideAddressCheck", text);
    CFileMan files;
    EXPECT_EQ(GetOverrideAddressCheck(), 0) << text;
  }
  SpoolSandbox box;
  box.SetText("OverrideAddressCheck", "Yes");
  CFileMan files;
  EXPECT_EQ(GetOverrideAddressCheck(), 1);
}

}  // namespace
