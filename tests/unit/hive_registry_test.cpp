// tests/unit/hive_registry_test.cpp: the registry over the hive file: read
// rules, value round trips, the .reg syntax, damaged hives, crash safety and
// counters drawn by two processes at once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "platform/HiveFormat.h"
#include "platform/Process.h"
#include "platform/Registry.h"

namespace {
constexpr char kSection[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarrock\\Corvane SMTP Server]";

class HiveRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Hive = m_Dir.File("hive.reg");
    SetEnvironmentValue("CVSMTPGW_HIVE", m_Hive.c_str());
  }
  void TearDown() override { SetEnvironmentValue("CVSMTPGW_HIVE", nullptr); }

  void WriteHive(const std::string& body) {
    WriteWholeFile(m_Hive, std::string("Windows Registry Editor Version 5.00\n\n") + kSection + "\n" + body);
  }
  CRegKey OpenGateway() {
    CRegKey key;
    EXPECT_EQ(CRegKey::Open(kGatewayKey, key), ERROR_SUCCESS);
    return key;
  }

  CTempDir m_Dir;
  std::string m_Hive;
};

TEST_F(HiveRegistryTest, ReadIntoSmallBufferFailsAndFillsNothing) {
  WriteHive("\"Name\"=\"ab\"\n");
  CRegKey key = OpenGateway();
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  DWORD type = 99, size = 2;
  EXPECT_EQ(key.QueryValue("Name", &type, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 3u);  // the terminator counts
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(8, 'x'));

  size = 3;
  ASSERT_EQ(key.QueryValue("Name", &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::string(buf, 4), std::string("ab\0x", 4));

  size = 0;
  EXPECT_EQ(key.QueryValue("name", nullptr, nullptr, &size), ERROR_SUCCESS);  // size only, any case
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(key.QueryValue("Missing", nullptr, buf, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(HiveRegistryTest, ReaderDoesNotCheckTheType) {
  WriteHive("\"Flag\"=\"y\"\n\"Port\"=dword:000009c5\n\"Long\"=\"yesss\"\n\"Raw\"=hex:41,42\n");
  CRegKey key = OpenGateway();
  DWORD value = 0xAABBCCDD;
  ASSERT_EQ(RegReadDword(key, "Flag", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0xAABB0079u);  // 'y' and the terminator; the rest of the buffer stays
  ASSERT_EQ(RegReadDword(key, "Port", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 2501u);
  EXPECT_EQ(RegReadDword(key, "Long", &value), ERROR_MORE_DATA);
  EXPECT_EQ(value, 2501u);

  char text[8] = "zzzzzzz";
  EXPECT_EQ(RegReadString(key, "Port", text, sizeof text), ERROR_SUCCESS);  // raw bytes, type unchecked
  EXPECT_EQ(std::memcmp(text, "\xc5\x09\0\0zzz", 8), 0);
  ASSERT_EQ(RegReadString(key, "Raw", text, 3), ERROR_SUCCESS);  // no terminator stored: one added
  EXPECT_STREQ(text, "AB");
  EXPECT_EQ(RegReadString(key, "Raw", text, 2), ERROR_MORE_DATA);
  EXPECT_EQ(RegReadString(key, "Long", text, 5), ERROR_MORE_DATA);
  ASSERT_EQ(RegReadString(key, "Long", text, 6), ERROR_SUCCESS);
  EXPECT_STREQ(text, "yesss");
}

TEST_F(HiveRegistryTest, MissingHiveOrKeyIsNotFoundAndCreateWritesIt) {
  CRegKey key;
  EXPECT_EQ(CRegKey::Open(kGatewayKey, key), ERROR_FILE_NOT_FOUND);  // no hive file at all
  EXPECT_FALSE(key.IsOpen());
  ASSERT_EQ(CRegKey::Create(kGatewayKey, key), ERROR_SUCCESS);
  EXPECT_NE(ReadWholeFile(m_Hive).find(kSection), std::string::npos);
  EXPECT_EQ(CRegKey::Open("SOFTWARE\\Tarrock", key), ERROR_SUCCESS);  // parents exist implicitly
  EXPECT_EQ(CRegKey::Open("software\\TARROCK\\corvane smtp server", key), ERROR_SUCCESS);
  EXPECT_EQ(CRegKey::Open("SOFTWARE\\Other", key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CRegKey::DeleteKey("SOFTWARE\\Tarrock"), ERROR_ACCESS_DENIED);  // has a subkey
  EXPECT_EQ(CRegKey::DeleteKey(kGatewayKey), ERROR_SUCCESS);
  EXPECT_EQ(CRegKey::Open(kGatewayKey, key), ERROR_FILE_NOT_FOUND);
}

TEST_F(HiveRegistryTest, EveryValueTypeRoundTripsThroughTheFile) {
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
  };
  std::string big;
  for (int i = 0; i < 300; ++i) big.push_back(static_cast<char>(i));
  const Case cases[] = {
      {"Sz", REG_SZ, std::string("C:\\path \"quoted\"\0", 17)},
      {"SzEmpty", REG_SZ, std::string("\0", 1)},
      {"SzNoTerminator", REG_SZ, "abc"},
      {"SzZeroBytes", REG_SZ, ""},
      {"SzLineBreak", REG_SZ, std::string("a\r\nb\0", 5)},
      {"SzInnerNul", REG_SZ, std::string("a\0b\0", 4)},
      {"Expand", REG_EXPAND_SZ, std::string("%TMP%\\x\0", 8)},
      {"Binary", REG_BINARY, big},
      {"Dword", REG_DWORD, std::string("\x78\x56\x34\x12", 4)},
      {"ShortDword", REG_DWORD, std::string("\x01\x02", 2)},
      {"Multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
      {"None", REG_NONE, ""},
      {"Qword", 11, std::string("\1\2\3\4\5\6\7\x08", 8)},
      {"", REG_SZ, std::string("default\0", 8)},
  };
  {
    CRegKey key;
    ASSERT_EQ(CRegKey::Create(kGatewayKey, key), ERROR_SUCCESS);
    for (const Case& c : cases)
      ASSERT_EQ(key.SetValue(c.name, c.type, c.data.data(), static_cast<DWORD>(c.data.size())),
                ERROR_SUCCESS);
  }
  const std::string text = ReadWholeFile(m_Hive);
  EXPECT_NE(text.find("\"Sz\"=\"C:\\\\path \\\"quoted\\\"\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Dword\"=dword:12345678\n"), std::string::npos) << text;
  std::vector<CHiveProblem> problems;
  const CHive reread = CHive::Parse(text, problems);
  EXPECT_TRUE(problems.empty()) << problems[0].line << ": " << problems[0].text;
  const CHiveKey* key = reread.FindKey(std::string("HKEY_LOCAL_MACHINE\\") + kGatewayKey);
  ASSERT_NE(key, nullptr);
  for (const Case& c : cases) {
    const CHiveValue* value = CHive::FindValue(*key, c.name);
    ASSERT_NE(value, nullptr) << c.name;
    EXPECT_EQ(value->type, c.type) << c.name;
    EXPECT_EQ(value->data, c.data) << c.name;
  }
}

TEST(HiveFormatTest, ReadsRegeditVariants) {
  const std::string text =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n"
      "@=\"dflt\"\r\n"
      "\"Hex\"=hex:01,02,\\\r\n"
      "  03,ff\r\n"
      "\"Short\"=dword:1f\r\n"
      "\"Exp\"=hex(2):41,00\r\n"
      "\"Gone\"=\"x\"\r\n"
      "\"Gone\"=-\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\r\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\r\n"
      "[hkey_local_machine\\software\\a]\r\n"
      "\"Merged\"=\"m\"\r\n";
  std::vector<CHiveProblem> problems;
  CHive hive = CHive::Parse(text, problems);
  ASSERT_TRUE(problems.empty()) << problems[0].line << ": " << problems[0].text;
  const CHiveKey* a = hive.FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\A");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(CHive::FindValue(*a, "")->data, std::string("dflt\0", 5));
  EXPECT_EQ(CHive::FindValue(*a, "hex")->data, "\x01\x02\x03\xff");
  EXPECT_EQ(CHive::FindValue(*a, "Short")->data, std::string("\x1f\0\0\0", 4));
  EXPECT_EQ(CHive::FindValue(*a, "Exp")->type, REG_EXPAND_SZ);
  EXPECT_EQ(CHive::FindValue(*a, "Gone"), nullptr);
  EXPECT_NE(CHive::FindValue(*a, "Merged"), nullptr);
  EXPECT_FALSE(hive.KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\B"));
  // Written back in the file's own style: BOM and CR LF kept.
  const std::string out = hive.Serialize();
  EXPECT_EQ(out.rfind("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n", 0), 0u);
  EXPECT_NE(out.find("\"Hex\"=hex:01,02,03,ff\r\n"), std::string::npos) << out;
}

TEST(HiveFormatTest, ReadsAndKeepsRegeditUtf16Export) {
  std::string utf16 = "\xFF\xFE";
  for (char c :
       std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n"
                   "\"Name\"=\"Gr")) {
    utf16.push_back(c);
    utf16.push_back('\0');
  }
  utf16 +=
      std::string("\xFC\0\xDF\0 \0\x3D\xD8\xE0\xDC\"\0\r\0\n\0\r\0\n\0", 20);  // u-umlaut, sharp s, U+1F4E0
  std::vector<CHiveProblem> problems;
  const CHive hive = CHive::Parse(utf16, problems);
  ASSERT_TRUE(problems.empty()) << problems[0].text;
  const CHiveKey* key = hive.FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\A");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(CHive::FindValue(*key, "Name")->data, std::string("Gr\xC3\xBC\xC3\x9F \xF0\x9F\x93\xA0\0", 12));
  EXPECT_EQ(hive.Serialize(), utf16);

  // Bytes that are not UTF-8 (a code-page text) must come back unchanged too.
  CHive changed = hive;
  CHive::SetValue(*changed.FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\A"), "Latin", REG_SZ,
                  std::string("Gr\xFC\0", 4));
  const CHive again = CHive::Parse(changed.Serialize(), problems);
  ASSERT_TRUE(problems.empty());
  EXPECT_EQ(CHive::FindValue(*again.FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\A"), "Latin")->data,
            std::string("Gr\xFC\0", 4));
}

TEST(HiveFormatTest, ReportsEachUnreadableLine) {
  const std::string text =
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n"
      "\"Bad\"=\"C:\\path\"\n"  // a lone backslash: not regedit's escape
      "\"Ok\"=dword:00000001\n"
      "\"Nine\"=dword:123456789\n"
      "\"Hex\"=hex:1,2g\n"
      "garbage\n"
      "[HKEY_NOWHERE\\X]\n"
      "\"Lost\"=\"under an unreadable key\"\n";
  std::vector<CHiveProblem> problems;
  CHive hive = CHive::Parse(text, problems);
  EXPECT_FALSE(hive.Complete());
  std::vector<int> lines;
  for (const CHiveProblem& p : problems) lines.push_back(p.line);
  EXPECT_EQ(lines, (std::vector<int>{3, 5, 6, 7, 8}));
  const CHiveKey* a = hive.FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\A");
  ASSERT_NE(a, nullptr);
  EXPECT_NE(CHive::FindValue(*a, "Ok"), nullptr);
  EXPECT_EQ(CHive::FindValue(*a, "Bad"), nullptr);
  EXPECT_EQ(CHive::FindValue(*a, "Lost"), nullptr);
}

TEST_F(HiveRegistryTest, DamagedHiveIsReportedReadAndNeverRewritten) {
  WriteHive("\"Good\"=\"yes\"\n\"Broken\"=\"no end\n\"Port\"=dword:00000019\n");
  const std::string before = ReadWholeFile(m_Hive);
  ::testing::internal::CaptureStderr();
  CRegKey key = OpenGateway();
  const std::string report = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find(m_Hive + ":5: "), std::string::npos) << report;
  EXPECT_NE(report.find("\"Broken\"=\"no end"), std::string::npos) << report;

  DWORD port = 0;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RegReadDword(key, "Port", &port), ERROR_SUCCESS);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // reported once per load, not per read
  EXPECT_EQ(port, 25u);
  EXPECT_EQ(RegWriteDword(key, "Port", 26), ERROR_BADDB);
  EXPECT_EQ(key.DeleteValue("Good"), ERROR_BADDB);
  CRegKey other;
  EXPECT_EQ(CRegKey::Create("SOFTWARE\\New", other), ERROR_BADDB);
  EXPECT_EQ(CRegKey::Create(kGatewayKey, other), ERROR_SUCCESS);  // exists: nothing to write
  DWORD drawn = 0;
  EXPECT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &drawn), ERROR_BADDB);
  EXPECT_EQ(ReadWholeFile(m_Hive), before);
}

TEST_F(HiveRegistryTest, TransactionDropsWhatIsNotCommitted) {
  CRegKey key;
  ASSERT_EQ(CRegKey::Create(kGatewayKey, key), ERROR_SUCCESS);
  ASSERT_EQ(RegWriteDword(key, "A", 1), ERROR_SUCCESS);
  {
    CRegTransaction tx;
    ASSERT_EQ(tx.Status(), ERROR_SUCCESS);
    ASSERT_EQ(RegWriteDword(key, "A", 2), ERROR_SUCCESS);
    DWORD seen = 0;
    ASSERT_EQ(RegReadDword(key, "A", &seen), ERROR_SUCCESS);
    EXPECT_EQ(seen, 2u);  // the transaction sees its own change
  }
  DWORD value = 0;
  ASSERT_EQ(RegReadDword(key, "A", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
}

TEST_F(HiveRegistryTest, CounterWrapsBeforeTheLimit) {
  CRegKey key;
  ASSERT_EQ(CRegKey::Create(kGatewayKey, key), ERROR_SUCCESS);
  DWORD drawn = 1;
  ASSERT_EQ(RegIncrementCounter(kGatewayKey, "OUTIndex", 65535, &drawn), ERROR_SUCCESS);
  EXPECT_EQ(drawn, 0u);  // missing counter starts at 0
  ASSERT_EQ(RegWriteDword(key, "OUTIndex", 65534), ERROR_SUCCESS);
  ASSERT_EQ(RegIncrementCounter(kGatewayKey, "OUTIndex", 65535, &drawn), ERROR_SUCCESS);
  EXPECT_EQ(drawn, 65534u);
  ASSERT_EQ(RegIncrementCounter(kGatewayKey, "OUTIndex", 65535, &drawn), ERROR_SUCCESS);
  EXPECT_EQ(drawn, 0u);
}

TEST_F(HiveRegistryTest, ThreadsOfOneProcessDrawDistinctNumbers) {
  constexpr int kThreads = 4, kDraws = 100;
  std::vector<DWORD> drawn[kThreads];
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&drawn, t] {
      for (int i = 0; i < kDraws; ++i) {
        DWORD v = 0;
        if (RegIncrementCounter(kGatewayKey, "OUTIndexAtt", 65535, &v) == ERROR_SUCCESS)
          drawn[t].push_back(v);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<DWORD> all;
  for (const auto& list : drawn) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kDraws));
}

TEST_F(HiveRegistryTest, KilledWriterLeavesEveryEarlierValue) {
  CRegKey key;
  ASSERT_EQ(CRegKey::Create(kGatewayKey, key), ERROR_SUCCESS);
  const std::string filler(256 * 1024, 'f');  // makes each rewrite long enough to be hit mid-way
  ASSERT_EQ(key.SetValue("Filler", REG_BINARY, filler.data(), static_cast<DWORD>(filler.size())),
            ERROR_SUCCESS);

  CChildProcess child;
  ASSERT_TRUE(child.Start({CVSMTPGW_TEST_HELPER, "hive-write-loop", "100000"}));
  std::string line;
  long lastSeen = -1;
  while (lastSeen < 40 && child.ReadLine(line, 20000)) lastSeen = std::stol(line);
  ASSERT_GE(lastSeen, 40) << line;
  child.Kill();
  child.Wait(10000);

  std::vector<CHiveProblem> problems;
  const CHive hive = CHive::Parse(ReadWholeFile(m_Hive), problems);
  ASSERT_TRUE(hive.Complete());
  const CHiveKey* gateway = hive.FindKey(std::string("HKEY_LOCAL_MACHINE\\") + kGatewayKey);
  ASSERT_NE(gateway, nullptr);
  long present = 0;
  while (CHive::FindValue(*gateway, std::string("V").append(std::to_string(present))) != nullptr) ++present;
  EXPECT_GT(present, lastSeen);  // every value reported written is there
  for (long i = 0; i < present; ++i) {
    const CHiveValue* v = CHive::FindValue(*gateway, std::string("V").append(std::to_string(i)));
    DWORD n = 0;
    std::memcpy(&n, v->data.data(), 4);
    EXPECT_EQ(n, static_cast<DWORD>(i));
  }
  EXPECT_EQ(CHive::FindValue(*gateway, "Filler")->data, filler);
  // And the registry takes the next change as usual.
  EXPECT_EQ(RegWriteDword(key, "After", 1), ERROR_SUCCESS);
}

// Without flushes every change is a rename over the hive; with them, the two
// processes' changes alternate between the hive and its synced copy in place.
TEST_F(HiveRegistryTest, TwoProcessesNeverDrawTheSameNumber) {
  for (const char* flushEvery : {"0", "3"}) {
    SCOPED_TRACE(flushEvery);
    CRegKey key;
    ASSERT_EQ(CRegKey::Create(kGatewayKey, key), ERROR_SUCCESS);
    ASSERT_EQ(RegWriteDword(key, "TmpIndex", 100), ERROR_SUCCESS);
    constexpr int kDraws = 1000;
    CChildProcess a, b;
    ASSERT_TRUE(a.Start({CVSMTPGW_TEST_HELPER, "counter", std::to_string(kDraws), "TmpIndex", flushEvery}));
    ASSERT_TRUE(b.Start({CVSMTPGW_TEST_HELPER, "counter", std::to_string(kDraws), "TmpIndex", flushEvery}));
    std::set<long> drawn;
    for (CChildProcess* child : {&a, &b}) {
      std::string line;
      int lines = 0;
      while (child->ReadLine(line, 120000)) {
        ASSERT_EQ(line.find("error"), std::string::npos) << line;
        drawn.insert(std::stol(line));
        ++lines;
      }
      EXPECT_EQ(lines, kDraws);
      EXPECT_EQ(child->Wait(60000), 0);
    }
    EXPECT_EQ(drawn.size(), 2u * kDraws);
    EXPECT_EQ(*drawn.begin(), 100);
    EXPECT_EQ(*drawn.rbegin(), 100 + 2 * kDraws - 1);
    DWORD end = 0;
    ASSERT_EQ(RegReadDword(key, "TmpIndex", &end), ERROR_SUCCESS);
    EXPECT_EQ(end, 100u + 2 * kDraws);
  }
}

// After a Flush the hive and "<hive>.new" hold the same bytes; a change of the
// same length then swaps the two files (no file made or deleted), a change of
// another length renames a copy over the hive as any writer would, and the
// next Flush makes the pair again.
TEST_F(HiveRegistryTest, FlushPairsTheHiveWithASyncedCopyThatChangesAlternate) {
  namespace fs = std::filesystem;
  const std::string spare = m_Hive + ".new";
  CRegKey key;
  ASSERT_EQ(CRegKey::Create(kGatewayKey, key), ERROR_SUCCESS);
  ASSERT_EQ(RegWriteDword(key, "TmpIndex", 7), ERROR_SUCCESS);
  ASSERT_EQ(RegWriteString(key, "FileName", "ENV9"), ERROR_SUCCESS);
  ASSERT_EQ(key.Flush(), ERROR_SUCCESS);
  ASSERT_TRUE(fs::exists(spare));
  EXPECT_EQ(ReadWholeFile(spare), ReadWholeFile(m_Hive));

  // Links name the two files, to follow them. Making them changes both files,
  // as a foreign writer would: only the next Flush pairs them again.
  const std::string first = m_Dir.File("first"), second = m_Dir.File("second");
  fs::create_hard_link(m_Hive, first);
  fs::create_hard_link(spare, second);
  ASSERT_EQ(key.Flush(), ERROR_SUCCESS);
  const std::string flushed = ReadWholeFile(m_Hive);
  DWORD drawn = 0;
  for (DWORD expected : {7u, 8u, 9u}) {
    ASSERT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &drawn), ERROR_SUCCESS);
    EXPECT_EQ(drawn, expected);
    const bool odd = expected % 2 == 1;
    EXPECT_TRUE(fs::equivalent(m_Hive, odd ? second : first));  // the copy became the hive
    EXPECT_TRUE(fs::equivalent(spare, odd ? first : second));
  }
  EXPECT_EQ(ReadWholeFile(spare).size(), flushed.size());

  // Someone else wrote the copy: it is no longer trusted to be on disk, so the
  // next change, of the same length, renames instead of writing in place. (The
  // pause lets a coarse clock give the write a change time of its own.)
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  WriteWholeFile(spare, ReadWholeFile(spare));
  ASSERT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &drawn), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(spare));
  ASSERT_EQ(key.Flush(), ERROR_SUCCESS);
  fs::remove(first);
  fs::remove(second);
  fs::create_hard_link(m_Hive, first);
  fs::create_hard_link(spare, second);
  ASSERT_EQ(key.Flush(), ERROR_SUCCESS);

  ASSERT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &drawn), ERROR_SUCCESS);
  EXPECT_TRUE(fs::equivalent(m_Hive, second));  // paired again
  ASSERT_EQ(RegWriteString(key, "FileName", "ENV10"), ERROR_SUCCESS);  // one byte longer
  EXPECT_FALSE(fs::equivalent(m_Hive, second));  // the last hive is not kept
  EXPECT_FALSE(fs::exists(spare));               // its replacement was renamed over it
  ASSERT_EQ(RegWriteDword(key, "TmpIndex", 1), ERROR_SUCCESS);  // not paired yet: renamed again
  EXPECT_FALSE(fs::exists(spare));

  ASSERT_EQ(key.Flush(), ERROR_SUCCESS);
  EXPECT_EQ(ReadWholeFile(spare), ReadWholeFile(m_Hive));
  char name[16] = {};
  ASSERT_EQ(RegReadString(key, "FileName", name, sizeof name), ERROR_SUCCESS);
  EXPECT_STREQ(name, "ENV10");
  ASSERT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &drawn), ERROR_SUCCESS);
  EXPECT_EQ(drawn, 1u);
  ASSERT_EQ(RegReadDword(key, "TmpIndex", &drawn), ERROR_SUCCESS);
  EXPECT_EQ(drawn, 2u);
}

// A writer killed while it draws and flushes (in place, between flushes) leaves
// a whole hive with every step it reported.
TEST_F(HiveRegistryTest, KilledCounterDrawerLeavesAWholeHive) {
  CRegKey key;
  ASSERT_EQ(CRegKey::Create(kGatewayKey, key), ERROR_SUCCESS);
  ASSERT_EQ(RegWriteDword(key, "TmpIndex", 0), ERROR_SUCCESS);
  CChildProcess child;
  ASSERT_TRUE(child.Start({CVSMTPGW_TEST_HELPER, "counter", "1000000", "TmpIndex", "25"}));
  std::string line;
  long lastSeen = -1;
  while (lastSeen < 300 && child.ReadLine(line, 20000)) lastSeen = std::stol(line);
  ASSERT_GE(lastSeen, 300) << line;
  child.Kill();
  child.Wait(10000);
  std::vector<CHiveProblem> problems;
  const CHive hive = CHive::Parse(ReadWholeFile(m_Hive), problems);
  ASSERT_TRUE(hive.Complete());
  DWORD next = 0;
  ASSERT_EQ(RegReadDword(key, "TmpIndex", &next), ERROR_SUCCESS);
  EXPECT_GT(static_cast<long>(next), lastSeen);
  DWORD drawn = 0;
  ASSERT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &drawn), ERROR_SUCCESS);
  EXPECT_EQ(drawn, next);
}
}  // namespace
