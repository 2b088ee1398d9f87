// tests/unit/spool/settings_test.cpp: the settings table and its readers: what is
// used, and the default taken for a value passed over.
#include "spool/Settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SpoolTestSupport.h"

namespace {

struct Stored {
  DWORD type;
  std::string bytes;
};
Stored Dword(std::uint32_t n) { return {REG_DWORD, std::string(reinterpret_cast<const char*>(&n), 4)}; }
Stored Sz(const std::string& text) { return {REG_SZ, text + std::string(1, '\0')}; }
Stored ExpandSz(const std::string& text) { return {REG_EXPAND_SZ, text + std::string(1, '\0')}; }
Stored Binary(const std::string& bytes) { return {REG_BINARY, bytes}; }

void Put(const char* name, const Stored& value) {
  ASSERT_EQ(SpoolSandbox::Key().SetValue(name, value.type, value.bytes.data(),
                                         static_cast<DWORD>(value.bytes.size())),
            ERROR_SUCCESS);
}

template <typename Value>
struct ReadCase {
  const char* what;
  Setting setting;
  bool present;
  Stored stored;
  SettingState state;
  Value value;
};

template <typename Value, typename Reader>
void ExpectReads(const std::vector<ReadCase<Value>>& cases, Reader read) {
  for (const ReadCase<Value>& c : cases) {
    SCOPED_TRACE(c.what);
    SpoolSandbox box;
    if (c.present) Put(SettingInfo(c.setting).name, c.stored);
    const auto got = read(SpoolSandbox::Key(), c.setting);
    EXPECT_EQ(got.state, c.state);
    EXPECT_EQ(got.value, c.value);
  }
}

TEST(Settings, NumbersTakeTheirDefaultUnlessADwordInRange) {
  using Case = ReadCase<std::uint32_t>;
  // clang-format off
  const std::vector<Case> cases = {
      {"absent port", Setting::kSmtpRxPort, false, {}, SettingState::kAbsent, 25},
      {"a port", Setting::kSmtpRxPort, true, Dword(2525), SettingState::kUsed, 2525},
      {"lowest port", Setting::kSmtpTxPort, true, Dword(1), SettingState::kUsed, 1},
      {"highest port", Setting::kSmtpTxPort, true, Dword(65535), SettingState::kUsed, 65535},
      {"port 0", Setting::kSmtpRxPort, true, Dword(0), SettingState::kOutOfRange, 25},
      {"port past 65535", Setting::kSmtpTxPort, true, Dword(65536), SettingState::kOutOfRange, 25},
      {"port as text", Setting::kSmtpRxPort, true, Sz("2525"), SettingState::kWrongType, 25},
      {"four binary bytes", Setting::kMaxOut, true, Binary(std::string("\x05\x00\x00\x00", 4)), SettingState::kWrongType, 10},
  };
  // clang-format on
  ExpectReads(cases, [](const CRegKey& key, Setting setting) { return ReadNumberSetting(key, setting); });
}

TEST(Settings, TextsTakeTheirDefaultUnlessAStringWithinItsLength) {
  using Case = ReadCase<std::string>;
  const std::string d79(79, 'd');
  // clang-format off
  const std::vector<Case> cases = {
      {"absent with a default", Setting::kDNSName, false, {}, SettingState::kAbsent, "a.root-servers.net"},
      {"at its limit", Setting::kDomainName, true, Sz(d79), SettingState::kUsed, d79},
      {"one past", Setting::kDomainName, true, Sz(d79 + "d"), SettingState::kOutOfRange, ""},
      {"expandable string, not expanded", Setting::kMailFrom, true, ExpandSz("%USER%@x"), SettingState::kUsed, "%USER%@x"},
      {"dword for a text", Setting::kDomainName, true, Dword(0x41414141), SettingState::kWrongType, ""},
      {"empty is a value", Setting::kDNSName, true, Sz(""), SettingState::kUsed, ""},
      {"no terminator stored", Setting::kDomainName, true, {REG_SZ, "host"}, SettingState::kUsed, "host"},
  };
  // clang-format on
  ExpectReads(cases, [](const CRegKey& key, Setting setting) { return ReadTextSetting(key, setting); });
}

TEST(Settings, OverrideAddressCheckTakesAnyShortValueBeginningWithY) {
  const std::vector<std::pair<Stored, bool>> cases = {
      {Sz("Yes"), true},  {Sz("yesss"), false}, {Sz("no"), false},
      {Dword('y'), true}, {Binary("Y"), true},  {Sz(""), false},
  };
  for (const auto& [stored, on] : cases) {
    SCOPED_TRACE(stored.bytes);
    SpoolSandbox box;
    Put("OverrideAddressCheck", stored);
    EXPECT_EQ(ReadYesSetting(SpoolSandbox::Key(), Setting::kOverrideAddressCheck), on);
  }
}

}  // namespace
