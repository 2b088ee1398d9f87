// tests/unit/platform/win32/registry_test.cpp: what the registry backend on the
// real registry (wine's under test) adds to the contract of registry_test.cpp:
// values as other programs read them, changes the registry refuses (a
// read-only key) held until it takes them, and settings a 32-bit program
// wrote under WOW6432Node. (A refused write to the event source's key and a
// ProgramPath outside the ANSI code page: test_wine_admin.py.)
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/FaultInjection.h"
#include "platform/Registry.h"
#include "platform/win32/Win32Api.h"

namespace {

bool SetGatewayKeyAccess(DWORD rights);

class Win32RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { CRegKey::DeleteKey(kGatewayKey); }
  void TearDown() override {
    ClearFaults();
    SetGatewayKeyAccess(0);  // a failed test may have left the key read-only
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

// A key the gateway's account may no longer change (here: the fault seam
// refusing its value writes) does not stop it: changes are held, read back by
// the process, and written in order by the first Flush the registry takes;
// until then Flush says why. Undoing a transaction and removing the key work
// on what is held too.
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

  // Held changes of a removed key go with it.
  ArmFault(FaultOp::kWrite, values, 1000, EACCES);
  ASSERT_EQ(RegWriteDword(key, "Kept", 3), ERROR_SUCCESS);
  ASSERT_EQ(CRegKey::DeleteKey(kGatewayKey), ERROR_SUCCESS);
  ClearFaults();
  key = Gateway();
  EXPECT_EQ(key.Flush(), ERROR_SUCCESS);
  EXPECT_EQ(seen(false), "Kept=- Gone=- New=- TmpIndex=- ");
  EXPECT_EQ(seen(true), "Kept=- Gone=- New=- TmpIndex=- ");
}

// Gives everyone `rights` on the gateway key and nothing else (a protected
// DACL), or, with `rights` 0, takes the DACL away again (full access). The
// owner keeps the right to change the DACL either way.
bool SetGatewayKeyAccess(DWORD rights) {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kGatewayKey, 0, WRITE_DAC, &key) != ERROR_SUCCESS) return false;
  DWORD rc = ERROR_SUCCESS;
  if (rights == 0) {
    rc = ::SetSecurityInfo(key, SE_REGISTRY_KEY,
                           DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                           nullptr, nullptr, nullptr);
  } else {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    EXPLICIT_ACCESS_A access{};
    PACL acl = nullptr;
    rc = ::CreateWellKnownSid(WinWorldSid, nullptr, sid, &sidSize) ? ERROR_SUCCESS : ::GetLastError();
    if (rc == ERROR_SUCCESS) {
      access.grfAccessPermissions = rights;
      access.grfAccessMode = SET_ACCESS;
      access.grfInheritance = NO_INHERITANCE;
      access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
      access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
      access.Trustee.ptstrName = reinterpret_cast<LPSTR>(sid);
      rc = ::SetEntriesInAclA(1, &access, nullptr, &acl);
    }
    if (rc == ERROR_SUCCESS)
      rc = ::SetSecurityInfo(key, SE_REGISTRY_KEY,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                             nullptr, acl, nullptr);
    if (acl != nullptr) ::LocalFree(acl);
  }
  ::RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

// The same with a real DACL: a key everyone may read but nobody change still
// opens, its settings read, its counters draw; the draws reach the key once
// it may be written again.
TEST_F(Win32RegistryTest, KeyReadOnlyToEveryoneKeepsServing) {
  CRegKey key = Gateway();
  ASSERT_EQ(RegWriteString(key, "ProgramPath", "C:\\gw\\"), ERROR_SUCCESS);
  ASSERT_EQ(RegWriteDword(key, "TmpIndex", 7), ERROR_SUCCESS);
  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(SystemReads("ProgramPath", type, data));  // as other programs see them
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(data, std::string("C:\\gw\\", 7));
  ASSERT_TRUE(SystemReads("TmpIndex", type, data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  ASSERT_TRUE(SetGatewayKeyAccess(KEY_READ));
  HKEY probe = nullptr;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kGatewayKey, 0, KEY_SET_VALUE, &probe), ERROR_ACCESS_DENIED);

  CRegKey opened, created;
  EXPECT_EQ(CRegKey::Open(kGatewayKey, opened), ERROR_SUCCESS);
  EXPECT_EQ(CRegKey::Create(kGatewayKey, created), ERROR_SUCCESS);
  char path[16] = "";
  EXPECT_EQ(RegReadString(opened, "ProgramPath", path, sizeof path), ERROR_SUCCESS);
  EXPECT_STREQ(path, "C:\\gw\\");
  for (DWORD expected = 7; expected < 10; ++expected) {
    DWORD drawn = 0;
    ASSERT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &drawn), ERROR_SUCCESS);
    EXPECT_EQ(drawn, expected);
  }
  EXPECT_EQ(created.Flush(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SystemReads("TmpIndex", type, data));
  EXPECT_EQ(data, std::string("\x07\0\0\0", 4));

  ASSERT_TRUE(SetGatewayKeyAccess(0));
  EXPECT_EQ(created.Flush(), ERROR_SUCCESS);
  ASSERT_TRUE(SystemReads("TmpIndex", type, data));
  EXPECT_EQ(data, std::string("\x0a\0\0\0", 4));
}
constexpr char kWowGatewayKey[] = "SOFTWARE\\WOW6432Node\\Tarrock\\Corvane SMTP Server";

// Settings that only a 32-bit program wrote (under WOW6432Node) are used there,
// writes included, while the 64-bit key does not exist; once it does, it wins.
TEST_F(Win32RegistryTest, AKeyOnlyUnderWow6432NodeIsUsedThere) {
  HKEY wow = nullptr;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kWowGatewayKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &wow, nullptr),
            ERROR_SUCCESS);
  ::RegSetValueExA(wow, "ProgramPath", 0, REG_SZ, reinterpret_cast<const BYTE*>("C:\\x86\\"), 8);
  CRegKey key;
  ASSERT_EQ(CRegKey::Open(kGatewayKey, key), ERROR_SUCCESS);
  EXPECT_EQ(key.Name(), std::string("HKEY_LOCAL_MACHINE\\") + kWowGatewayKey);
  char path[32] = "";
  EXPECT_EQ(RegReadString(key, "ProgramPath", path, sizeof path), ERROR_SUCCESS);
  EXPECT_STREQ(path, "C:\\x86\\");
  DWORD drawn = 99;
  EXPECT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &drawn), ERROR_SUCCESS);
  DWORD stored = 0, size = sizeof stored;
  EXPECT_EQ(::RegQueryValueExA(wow, "TmpIndex", nullptr, nullptr, reinterpret_cast<BYTE*>(&stored), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(stored, 1u);
  HKEY native = nullptr;
  EXPECT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kGatewayKey, 0, KEY_READ | KEY_WOW64_64KEY, &native),
            ERROR_FILE_NOT_FOUND);  // nothing was made in the 64-bit view

  CRegKey made = Gateway();  // Create finds the 32-bit key too and makes no second one
  EXPECT_EQ(made.Name(), key.Name());
  ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kGatewayKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &native, nullptr),
            ERROR_SUCCESS);
  ::RegCloseKey(native);
  EXPECT_EQ(CRegKey::Open(kGatewayKey, key), ERROR_SUCCESS);
  EXPECT_EQ(key.Name(), std::string("HKEY_LOCAL_MACHINE\\") + kGatewayKey);
  ::RegCloseKey(wow);
  ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kWowGatewayKey, KEY_WOW64_64KEY, 0);
}

}  // namespace
