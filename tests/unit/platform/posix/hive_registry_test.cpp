// tests/unit/platform/posix/hive_registry_test.cpp: what the hive file adds to the registry's
// contract (registry_test.cpp): damaged hives and failed writes. (Values of
// every type through a rewrite: fuzz/hive_parser_fuzz.cpp; a regedit export
// written back byte for byte: test_wine_settings.py; draws by killed
// processes: file_naming_test.cpp and test_crash_recovery.py.)
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/FaultInjection.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/posix/HiveFormat.h"

namespace {
namespace fs = std::filesystem;
constexpr char kSection[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarrock\\Corvane SMTP Server]";
constexpr DWORD kNotInFile = 0xFFFFFFFF;

// A file as regedit exports it: UTF-16LE after the FF FE mark.
std::string Utf16File(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) out += {c, '\0'};
  return out;
}

class HiveRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { SetEnvironmentValue("CVSMTPGW_HIVE", m_Hive.c_str()); }
  void TearDown() override {
    ClearFaults();
    CRegKey key;  // nothing of this test left pending for the next one
    if (CRegKey::Open(kGatewayKey, key) == ERROR_SUCCESS) {
      EXPECT_EQ(key.Flush(), ERROR_SUCCESS);
    }
    SetEnvironmentValue("CVSMTPGW_HIVE", nullptr);
  }
  // A number value as the hive file holds it now (kNotInFile when absent); the
  // file must be whole.
  DWORD FileDword(const char* name) const {
    std::vector<CHiveProblem> problems;
    const CHive hive = CHive::Parse(ReadWholeFile(m_Hive), problems);
    EXPECT_TRUE(hive.Complete());
    const CHiveKey* key = hive.FindKey(std::string("HKEY_LOCAL_MACHINE\\") + kGatewayKey);
    const CHiveValue* value = key != nullptr ? CHive::FindValue(*key, name) : nullptr;
    if (value == nullptr || value->data.size() != 4) return kNotInFile;
    DWORD number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(value->data[i]);
    return number;
  }
  CTempDir m_Dir;
  std::string m_Hive = m_Dir.File("hive.reg");
};

// A hive with a line that cannot be read (a torn write would leave one) is
// read as far as it goes and never rewritten: every change is refused.
TEST_F(HiveRegistryTest, DamagedHiveIsReportedReadAndNeverRewritten) {
  const std::string section = std::string(kSection) + "\n";
  const std::string whole = "Windows Registry Editor Version 5.00\n\n" + section;
  const std::string files[] = {
      whole + "\"Good\"=\"yes\"\n\"Broken\"=\"no end\n\"Port\"=dword:00000019\n",  // a string cut off
      whole + "\"Port\"=dword:00000019\n" + std::string(512, '\0'),                // a zeroed block
      section + "\"Port\"=dword:00000019\n",                                       // no header
      Utf16File(whole + "\"Port\"=dword:00000019\n\"TmpIndex\"=dword:0000001") + "2",  // cut in a counter
  };
  for (const std::string& file : files) {
    SCOPED_TRACE(file.substr(0, 60));
    WriteWholeFile(m_Hive, file);
    ::testing::internal::CaptureStderr();
    CRegKey key;
    EXPECT_EQ(CRegKey::Open(kGatewayKey, key), ERROR_SUCCESS);
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find(m_Hive + ":"), std::string::npos) << report;
    DWORD port = 0;
    EXPECT_EQ(RegReadDword(key, "Port", &port), ERROR_SUCCESS);
    EXPECT_EQ(port, 25u);
    EXPECT_EQ(RegWriteDword(key, "Port", 26), ERROR_BADDB);
    EXPECT_EQ(key.DeleteValue("Port"), ERROR_BADDB);
    CRegKey other;
    EXPECT_EQ(CRegKey::Create("SOFTWARE\\New", other), ERROR_BADDB);
    EXPECT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &port), ERROR_BADDB);
    EXPECT_EQ(key.Flush(), ERROR_SUCCESS);  // nothing to write
    EXPECT_EQ(ReadWholeFile(m_Hive), file);
  }
}

// A write that fails at any step leaves the old hive whole (or, past the
// rename, the new one), reports the error, and keeps the change: this process
// still reads it and the next Flush writes it.
TEST_F(HiveRegistryTest, AFailedWriteKeepsTheChangeForTheNextFlush) {
  const struct {
    const char* what;
    FaultOp op;
    std::string pattern;
    int error;
    long rc;
    bool renamed;  // the failure comes after the new file took the hive's name
  } cases[] = {
      {"create", FaultOp::kCreate, "*/hive.reg.new", 0, ERROR_GEN_FAILURE, false},
      {"write, disk full", FaultOp::kWrite, "*/hive.reg.new", ENOSPC, ERROR_DISK_FULL, false},
      {"file sync", FaultOp::kSync, "*/hive.reg.new", 0, ERROR_GEN_FAILURE, false},
      {"rename", FaultOp::kRename, m_Hive, 0, ERROR_GEN_FAILURE, false},
      {"directory sync", FaultOp::kSync, m_Dir.Path(), EIO, ERROR_GEN_FAILURE, true},
  };
  CRegKey key;
  ASSERT_EQ(CRegKey::Create(kGatewayKey, key), ERROR_SUCCESS);
  ASSERT_EQ(RegWriteDword(key, "V", 0), ERROR_SUCCESS);
  ASSERT_EQ(key.Flush(), ERROR_SUCCESS);
  DWORD value = 0, read = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ++value;
    ASSERT_EQ(RegWriteDword(key, "V", value), ERROR_SUCCESS);
    ArmFault(c.op, c.pattern, 1, c.error);
    EXPECT_EQ(key.Flush(), c.rc);
    EXPECT_EQ(FileDword("V"), c.renamed ? value : value - 1);
    EXPECT_FALSE(fs::exists(m_Hive + ".new"));
    EXPECT_EQ(RegReadDword(key, "V", &read), ERROR_SUCCESS);
    EXPECT_EQ(read, value);
    EXPECT_EQ(key.Flush(), ERROR_SUCCESS);
    EXPECT_EQ(FileDword("V"), value);
  }
}

}  // namespace
