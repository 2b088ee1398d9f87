// tests/unit/hive_registry_test.cpp: the registry over the hive file: read rules,
// round trips, .reg syntax, damaged hives, crash safety, other writers, flushes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "platform/HiveFormat.h"
#include "platform/Process.h"
#include "platform/Registry.h"

namespace {
namespace fs = std::filesystem;
constexpr char kSection[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarrock\\Corvane SMTP Server]";

class HiveRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { SetEnvironmentValue("CVSMTPGW_HIVE", m_Hive.c_str()); }
  void TearDown() override { SetEnvironmentValue("CVSMTPGW_HIVE", nullptr); }
  void WriteHive(const std::string& body) {
    WriteWholeFile(m_Hive, std::string("Windows Registry Editor Version 5.00\n\n") + kSection + "\n" + body);
  }
  CRegKey CreateGateway() {
    CRegKey key;
    EXPECT_EQ(CRegKey::Create(kGatewayKey, key), ERROR_SUCCESS);
    return key;
  }
  CTempDir m_Dir;
  std::string m_Hive = m_Dir.File("hive.reg");
};

// Reads are bounded: too small a buffer is refused and left untouched; the type
// is not checked, and a value too long for a DWORD (a counter too) is refused.
TEST_F(HiveRegistryTest, OpenAndReadRules) {
  CRegKey key;
  EXPECT_EQ(CRegKey::Open(kGatewayKey, key), ERROR_FILE_NOT_FOUND);  // no hive file at all
  WriteHive("\"Name\"=\"ab\"\n\"Flag\"=\"y\"\n\"Port\"=dword:000009c5\n\"Long\"=\"yesss\"\n");
  ASSERT_EQ(CRegKey::Open("software\\TARROCK\\corvane smtp server", key), ERROR_SUCCESS);
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  DWORD type = 99, size = 2;
  EXPECT_EQ(key.QueryValue("Name", &type, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 3u);  // the terminator counts
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(8, 'x'));
  ASSERT_EQ(key.QueryValue("name", &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buf, 4), std::string("ab\0x", 4));
  EXPECT_EQ(key.QueryValue("Missing", nullptr, buf, &size), ERROR_FILE_NOT_FOUND);
  DWORD value = 0xAABBCCDD;
  ASSERT_EQ(RegReadDword(key, "Flag", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0xAABB0079u);  // 'y' and the terminator; the rest of the buffer stays
  ASSERT_EQ(RegReadDword(key, "Port", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 2501u);
  EXPECT_EQ(RegReadDword(key, "Long", &value), ERROR_MORE_DATA);
  EXPECT_EQ(RegIncrementCounter(kGatewayKey, "Long", 65535, &value), ERROR_MORE_DATA);
  EXPECT_EQ(value, 2501u);
}

TEST_F(HiveRegistryTest, EveryValueTypeRoundTripsThroughTheFile) {
  struct Case { const char* name; DWORD type; std::string data; };
  std::string all;
  for (int i = 0; i < 300; ++i) all.push_back(static_cast<char>(i));
  const Case cases[] = {
      {"Sz", REG_SZ, std::string("C:\\path \"quoted\"\0", 17)}, {"SzNoTerminator", REG_SZ, "abc"},
      {"SzZeroBytes", REG_SZ, ""}, {"SzLineBreak", REG_SZ, std::string("a\r\nb\0", 5)},
      {"SzInnerNul", REG_SZ, std::string("a\0b\0", 4)}, {"Binary", REG_BINARY, all},
      {"ShortDword", REG_DWORD, std::string("\x01\x02", 2)}, {"Dword", REG_DWORD, "\x78\x56\x34\x12"},
      {"Multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)}, {"Qword", 11, "\1\2\3\4\5\6\7\x08"},
      {"", REG_SZ, std::string("default\0", 8)}};
  CRegKey key = CreateGateway();
  for (const Case& c : cases)
    ASSERT_EQ(key.SetValue(c.name, c.type, c.data.data(), static_cast<DWORD>(c.data.size())), ERROR_SUCCESS);
  const std::string text = ReadWholeFile(m_Hive);
  EXPECT_NE(text.find("\"Sz\"=\"C:\\\\path \\\"quoted\\\"\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Dword\"=dword:12345678\n"), std::string::npos) << text;
  std::vector<CHiveProblem> problems;
  const CHive hive = CHive::Parse(text, problems);
  EXPECT_TRUE(problems.empty());
  const CHiveKey* parsed = hive.FindKey(std::string("HKEY_LOCAL_MACHINE\\") + kGatewayKey);
  ASSERT_NE(parsed, nullptr);
  for (const Case& c : cases) {
    const CHiveValue* value = CHive::FindValue(*parsed, c.name);
    ASSERT_NE(value, nullptr) << c.name;
    EXPECT_EQ(value->type, c.type) << c.name;
    EXPECT_EQ(value->data, c.data) << c.name;
  }
}

TEST(HiveFormatTest, ReadsRegeditVariantsAndWritesBackInTheirStyle) {
  const std::string text =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n@=\"dflt\"\r\n\"Hex\"=hex:01,02,\\\r\n  03,ff\r\n"
      "\"Short\"=dword:1f\r\n\"Gone\"=\"x\"\r\n\"Gone\"=-\r\n"
      "[hkey_local_machine\\software\\a]\r\n\"Merged\"=\"m\"\r\n";
  std::vector<CHiveProblem> problems;
  CHive hive = CHive::Parse(text, problems);
  ASSERT_TRUE(problems.empty()) << problems[0].line << ": " << problems[0].text;
  const CHiveKey* a = hive.FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\A");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(CHive::FindValue(*a, "")->data, std::string("dflt\0", 5));
  EXPECT_EQ(CHive::FindValue(*a, "hex")->data, "\x01\x02\x03\xff");
  EXPECT_EQ(CHive::FindValue(*a, "Short")->data, std::string("\x1f\0\0\0", 4));
  EXPECT_EQ(CHive::FindValue(*a, "Gone"), nullptr);
  EXPECT_NE(CHive::FindValue(*a, "Merged"), nullptr);
  const std::string out = hive.Serialize();  // BOM and CR LF kept
  EXPECT_EQ(out.rfind("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n", 0), 0u);
  EXPECT_NE(out.find("\"Hex\"=hex:01,02,03,ff\r\n"), std::string::npos) << out;
}

TEST_F(HiveRegistryTest, DamagedHiveIsReportedReadAndNeverRewritten) {
  WriteHive("\"Good\"=\"yes\"\n\"Broken\"=\"no end\n\"Port\"=dword:00000019\n");
  const std::string before = ReadWholeFile(m_Hive);
  ::testing::internal::CaptureStderr();
  CRegKey key;
  EXPECT_EQ(CRegKey::Open(kGatewayKey, key), ERROR_SUCCESS);
  const std::string report = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find(m_Hive + ":5: "), std::string::npos) << report;
  EXPECT_NE(report.find("\"Broken\"=\"no end"), std::string::npos) << report;
  DWORD port = 0;
  EXPECT_EQ(RegReadDword(key, "Port", &port), ERROR_SUCCESS);
  EXPECT_EQ(port, 25u);
  EXPECT_EQ(RegWriteDword(key, "Port", 26), ERROR_BADDB);
  CRegKey other;
  EXPECT_EQ(CRegKey::Create("SOFTWARE\\New", other), ERROR_BADDB);
  EXPECT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &port), ERROR_BADDB);
  EXPECT_EQ(ReadWholeFile(m_Hive), before);
}

// A reader's parsed copy serves only while nobody changed the hive: an edit of
// the same length by hand is seen (other processes: FileNaming.TwoProcesses...).
TEST_F(HiveRegistryTest, ReadersSeeHandEdits) {
  CRegKey key = CreateGateway();
  DWORD v = 0;
  ASSERT_EQ(RegWriteDword(key, "V0", 5), ERROR_SUCCESS);
  ASSERT_EQ(RegReadDword(key, "V0", &v), ERROR_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a change time of its own on a coarse clock
  std::string text = ReadWholeFile(m_Hive);
  const std::size_t at = text.find("\"V0\"=dword:00000005");
  ASSERT_NE(at, std::string::npos) << text;
  WriteWholeFile(m_Hive, text.replace(at, 19, "\"V0\"=dword:00000003"));
  ASSERT_EQ(RegReadDword(key, "V0", &v), ERROR_SUCCESS);
  EXPECT_EQ(v, 3u);
}

// After a Flush the hive and "<hive>.new" hold the same bytes; a change of the
// same length then swaps the two files (none made or deleted), any other change
// (or a foreign write of the copy) renames a copy over the hive.
TEST_F(HiveRegistryTest, FlushPairsTheHiveWithASyncedCopyThatChangesAlternate) {
  const std::string spare = m_Hive + ".new", first = m_Dir.File("first"), second = m_Dir.File("second");
  CRegKey key = CreateGateway();
  ASSERT_EQ(RegWriteDword(key, "TmpIndex", 7), ERROR_SUCCESS);
  ASSERT_EQ(RegWriteString(key, "FileName", "ENV9"), ERROR_SUCCESS);
  // Links follow the two files; making them changes both, as a foreign writer
  // would, so only the Flush after them pairs the files again.
  ASSERT_EQ(key.Flush(), ERROR_SUCCESS);
  fs::create_hard_link(m_Hive, first);
  fs::create_hard_link(spare, second);
  ASSERT_EQ(key.Flush(), ERROR_SUCCESS);
  EXPECT_EQ(ReadWholeFile(spare), ReadWholeFile(m_Hive));
  DWORD drawn = 0;
  for (DWORD expected : {7u, 8u, 9u}) {
    ASSERT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &drawn), ERROR_SUCCESS);
    EXPECT_EQ(drawn, expected);
    EXPECT_TRUE(fs::equivalent(m_Hive, expected % 2 == 1 ? second : first));  // the copy became the hive
    EXPECT_TRUE(fs::equivalent(spare, expected % 2 == 1 ? first : second));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a change time of its own on a coarse clock
  WriteWholeFile(spare, ReadWholeFile(spare));  // no longer trusted to be on disk
  ASSERT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &drawn), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(spare));
  ASSERT_EQ(key.Flush(), ERROR_SUCCESS);
  EXPECT_EQ(ReadWholeFile(spare), ReadWholeFile(m_Hive));  // paired again
  ASSERT_EQ(RegWriteString(key, "FileName", "ENV10"), ERROR_SUCCESS);  // one byte longer
  EXPECT_FALSE(fs::exists(spare));  // renamed over the hive, not written in place
  ASSERT_EQ(key.Flush(), ERROR_SUCCESS);
  EXPECT_EQ(ReadWholeFile(spare), ReadWholeFile(m_Hive));
}

}  // namespace
