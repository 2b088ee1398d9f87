// tests/unit/win32/Win32Registry_test.cpp: the registry backend on the real
// registry (wine's under test): the read rules the gateway relies on, counter
// draws from many threads, transactions that exclude other threads and undo.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "platform/Registry.h"
#include "platform/win32/Win32Api.h"

namespace {
using Clock = std::chrono::steady_clock;

class Win32RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { CRegKey::DeleteKey(kGatewayKey); }
  void TearDown() override { CRegKey::DeleteKey(kGatewayKey); }
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

// A read into too small a buffer is refused and leaves it untouched; types
// are not checked; strings carry their terminator; the key is the real one.
TEST_F(Win32RegistryTest, ReadRulesOnTheRealKey) {
  CRegKey key;
  EXPECT_EQ(CRegKey::Open(kGatewayKey, key), ERROR_FILE_NOT_FOUND);
  key = Gateway();
  ASSERT_EQ(RegWriteString(key, "Name", "ab"), ERROR_SUCCESS);
  ASSERT_EQ(RegWriteString(key, "Flag", "y"), ERROR_SUCCESS);
  ASSERT_EQ(RegWriteDword(key, "Port", 2501), ERROR_SUCCESS);
  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(SystemReads("Name", type, data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(data, std::string("ab", 3));
  ASSERT_TRUE(SystemReads("Port", type, data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data, std::string("\xc5\x09\0\0", 4));

  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  DWORD size = 2;
  EXPECT_EQ(key.QueryValue("Name", &type, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(8, 'x'));
  size = sizeof buf;
  EXPECT_EQ(key.QueryValue("Missing", &type, buf, &size), ERROR_FILE_NOT_FOUND);
  DWORD flag = 0xAAAAAAAA;  // a text read as a number fills only its own bytes
  EXPECT_EQ(RegReadDword(key, "Flag", &flag), ERROR_SUCCESS);
  EXPECT_EQ(flag, 0xAAAA0079u);
  char text[3];
  EXPECT_EQ(RegReadString(key, "Name", text, sizeof text), ERROR_SUCCESS);
  EXPECT_STREQ(text, "ab");
  EXPECT_EQ(RegReadString(key, "Name", text, 2), ERROR_MORE_DATA);  // never a cut text
  EXPECT_STREQ(text, "");
  EXPECT_EQ(key.Flush(), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteValue("Name"), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteValue("Name"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32RegistryTest, CounterDrawsFromManyThreadsAreDistinctAndWrap) {
  constexpr int kThreads = 4, kDraws = 100;
  std::vector<std::vector<DWORD>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&drawn, t] {
      for (int i = 0; i < kDraws; ++i) {
        DWORD value = 0;
        if (RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &value) == ERROR_SUCCESS)
          drawn[t].push_back(value);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<DWORD> all;
  for (const auto& values : drawn) all.insert(values.begin(), values.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kDraws));
  EXPECT_EQ(*all.rbegin(), static_cast<DWORD>(kThreads * kDraws - 1));

  CRegKey key = Gateway();
  ASSERT_EQ(RegWriteDword(key, "TmpIndex", 65534), ERROR_SUCCESS);
  DWORD value = 0;
  ASSERT_EQ(RegIncrementCounter(kGatewayKey, "TmpIndex", 65535, &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 65534u);
  DWORD stored = 99;
  EXPECT_EQ(RegReadDword(key, "TmpIndex", &stored), ERROR_SUCCESS);
  EXPECT_EQ(stored, 0u);
}

// While a transaction lives, other threads' calls wait; without Commit its
// changes are put back: changed values, new values and a key it created.
TEST_F(Win32RegistryTest, TransactionsExcludeOtherThreadsAndUndoWithoutCommit) {
  {
    CRegTransaction tx;
    ASSERT_EQ(tx.Status(), ERROR_SUCCESS);
    CRegKey key = Gateway();  // created here: taken back at the end
    ASSERT_EQ(RegWriteDword(key, "V", 1), ERROR_SUCCESS);
  }
  CRegKey probe;
  EXPECT_EQ(CRegKey::Open(kGatewayKey, probe), ERROR_FILE_NOT_FOUND);

  CRegKey key = Gateway();
  ASSERT_EQ(RegWriteDword(key, "Kept", 5), ERROR_SUCCESS);
  std::atomic<bool> otherDone{false};
  std::thread other;
  {
    CRegTransaction tx;
    ASSERT_EQ(RegWriteDword(key, "Kept", 6), ERROR_SUCCESS);
    ASSERT_EQ(RegWriteDword(key, "New", 1), ERROR_SUCCESS);
    other = std::thread([&otherDone] {
      CRegKey mine;
      CRegKey::Create(kGatewayKey, mine);
      RegWriteDword(mine, "Other", 1);
      otherDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(otherDone.load());  // held up by the transaction
    DWORD seen = 0;
    EXPECT_EQ(RegReadDword(key, "Kept", &seen), ERROR_SUCCESS);  // its own thread goes on
    EXPECT_EQ(seen, 6u);
  }
  other.join();
  DWORD value = 0;
  EXPECT_EQ(RegReadDword(key, "Kept", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 5u);
  EXPECT_EQ(RegReadDword(key, "New", &value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegReadDword(key, "Other", &value), ERROR_SUCCESS);

  {
    CRegTransaction tx;
    ASSERT_EQ(RegWriteDword(key, "Kept", 7), ERROR_SUCCESS);
    EXPECT_EQ(tx.Commit(), ERROR_SUCCESS);
  }
  EXPECT_EQ(RegReadDword(key, "Kept", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 7u);
}
}  // namespace
