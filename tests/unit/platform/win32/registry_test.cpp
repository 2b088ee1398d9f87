// tests/unit/platform/win32/registry_test.cpp: what the registry backend on the
// real registry (wine's under test) adds to the contract of registry_test.cpp:
// values as other programs read them, and changes the registry refuses held
// until it takes them. (A refused write to the event source's key and a
// ProgramPath outside the ANSI code page: test_wine_service.py.)
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/FaultInjection.h"
#include "platform/Registry.h"
#include "platform/win32/Win32Api.h"

namespace {

class Win32RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { CRegKey::DeleteKey(kGatewayKey); }
  void TearDown() override {
    ClearFaults();
    CRegKey::DeleteKey(kGatewayKey);
  }
  static CRegKey Gateway() {
    CRegKey key;
    EXPECT_EQ(CRegKey::Create(kGatewayKey, key), ERROR_SUCCESS);
    return key;
  }
  // The value as another program sees it, through the system's own call.
  static bool SystemReads(const char* name, DWORD& type, std::string& data) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kGatewayKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    char buffer[256];
    DWORD size = sizeof buffer;
    const LONG rc = ::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    ::RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return false;
    data.assign(buffer, size);
    return true;
  }
};

// A key the gateway's account may no longer change (the fault seam refusing
// value writes): changes are held, read back by the process, and written in
// order by the first Flush the registry takes. A transaction undoes them too.
TEST_F(Win32RegistryTest, RefusedChangesAreHeldAndWrittenInOrderOnceTaken) {
  CRegKey key = Gateway();
  ASSERT_EQ(RegWriteDword(key, "Kept", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegWriteDword(key, "Gone", 1), ERROR_SUCCESS);
  const std::string values = std::string("HKEY_LOCAL_MACHINE\\") + kGatewayKey + "\\*";
  // Each call tries the oldest held change first: four refusals cover the
  // three changes and the first Flush.
  ArmFault(FaultOp::kWrite, values, 4, EACCES);
  EXPECT_EQ(RegWriteDword(key, "Kept", 2), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteValue("Gone"), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteValue("Gone"), ERROR_FILE_NOT_FOUND);  // gone for this process already
  DWORD drawn = 99;
  EXPECT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &drawn), ERROR_SUCCESS);
  EXPECT_EQ(drawn, 0u);

  // The values as this process, or another program (`system`), reads them: "-" when absent.
  const auto seen = [&key](bool system) {
    std::string out;
    for (const char* name : {"Kept", "Gone", "New", "TmpIndex"}) {
      DWORD value = 0, type = 0;
      std::string data;
      const bool present = system ? SystemReads(name, type, data) && data.size() == 4
                                  : RegReadDword(key, name, &value) == ERROR_SUCCESS;
      if (system && present) std::memcpy(&value, data.data(), 4);
      out += std::string(name) + "=" + (present ? std::to_string(value) : "-") + " ";
    }
    return out;
  };
  EXPECT_EQ(seen(false), "Kept=2 Gone=- New=- TmpIndex=1 ");
  EXPECT_EQ(seen(true), "Kept=1 Gone=1 New=- TmpIndex=- ");
  EXPECT_EQ(key.Flush(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(seen(true), "Kept=1 Gone=1 New=- TmpIndex=- ");
  EXPECT_EQ(key.Flush(), ERROR_SUCCESS);
  EXPECT_EQ(seen(true), "Kept=2 Gone=- New=- TmpIndex=1 ");

  // A transaction ended without Commit takes back what it changed while held.
  ArmFault(FaultOp::kWrite, values, 1000, EACCES);
  {
    CRegTransaction tx;
    ASSERT_EQ(RegWriteDword(key, "Kept", 9), ERROR_SUCCESS);
    ASSERT_EQ(RegWriteDword(key, "New", 9), ERROR_SUCCESS);
  }
  ClearFaults();
  EXPECT_EQ(key.Flush(), ERROR_SUCCESS);
  EXPECT_EQ(seen(true), "Kept=2 Gone=- New=- TmpIndex=1 ");
  EXPECT_EQ(seen(false), "Kept=2 Gone=- New=- TmpIndex=1 ");
}

}  // namespace
