// tests/unit/platform/registry_test.cpp: the registry's contract on whichever backend is
// built (the hive file on POSIX, the real registry under Windows): the read
// rules the gateway relies on, transactions that exclude other threads and
// undo. (Counter draws from two processes: file_naming_test.cpp; from a
// gateway killed while it draws: test_crash_recovery.py.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "SpoolTestSupport.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  static CRegKey Gateway() {
    CRegKey key;
    EXPECT_EQ(CRegKey::Create(kGatewayKey, key), ERROR_SUCCESS);
    return key;
  }
  SpoolSandbox m_Box;  // a hive of its own; under Windows no gateway key yet
};

// Reads are bounded: too small a buffer is refused and left untouched; a value
// too long for a DWORD (a counter too) is refused. Names take any case.
TEST_F(RegistryTest, ReadRules) {
  CRegKey key;
  EXPECT_EQ(CRegKey::Open(kGatewayKey, key), ERROR_FILE_NOT_FOUND);
  key = Gateway();
  ASSERT_EQ(RegWriteString(key, "Name", "ab"), ERROR_SUCCESS);
  ASSERT_EQ(RegWriteString(key, "Long", "yesss"), ERROR_SUCCESS);
  ASSERT_EQ(CRegKey::Open("software\\TARROCK\\corvane smtp server", key), ERROR_SUCCESS);
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  DWORD type = 99, size = 2;
  EXPECT_EQ(key.QueryValue("Name", &type, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 3u);  // the terminator counts
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(8, 'x'));
  size = sizeof buf;
  ASSERT_EQ(key.QueryValue("name", &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::string(buf, 4), std::string("ab\0x", 4));
  EXPECT_EQ(key.QueryValue("Missing", nullptr, buf, &size), ERROR_FILE_NOT_FOUND);
  DWORD value = 2501;
  EXPECT_EQ(RegReadDword(key, "Long", &value), ERROR_MORE_DATA);
  EXPECT_EQ(RegIncrementCounter(kGatewayKey, "Long", 65535, &value), ERROR_MORE_DATA);
  EXPECT_EQ(value, 2501u);
  char text[3];
  EXPECT_EQ(RegReadString(key, "Name", text, sizeof text), ERROR_SUCCESS);
  EXPECT_STREQ(text, "ab");
  EXPECT_EQ(RegReadString(key, "Name", text, 2), ERROR_MORE_DATA);  // never a cut text
  EXPECT_STREQ(text, "");
}

// While a transaction lives, other threads' calls wait; without Commit its
// changes are put back: changed values, new values and a key it created.
TEST_F(RegistryTest, TransactionsExcludeOtherThreadsAndUndoWithoutCommit) {
  {
    CRegTransaction tx;
    ASSERT_EQ(tx.Status(), ERROR_SUCCESS);
    CRegKey key = Gateway();  // created here: taken back at the end
    ASSERT_EQ(RegWriteDword(key, "V", 1), ERROR_SUCCESS);
  }
  CRegKey key;
  EXPECT_EQ(CRegKey::Open(kGatewayKey, key), ERROR_FILE_NOT_FOUND);

  key = Gateway();
  ASSERT_EQ(RegWriteDword(key, "Kept", 5), ERROR_SUCCESS);
  std::atomic<bool> drew{false};
  DWORD drawn = 99, value = 0;
  std::thread other;
  {
    CRegTransaction tx;
    ASSERT_EQ(RegWriteDword(key, "Kept", 6), ERROR_SUCCESS);
    ASSERT_EQ(RegWriteDword(key, "New", 1), ERROR_SUCCESS);
    other = std::thread([&] {
      EXPECT_EQ(RegIncrementCounter(kGatewayKey, "New", 65535, &drawn), ERROR_SUCCESS);
      drew = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(drew);                                           // held up by the transaction
    EXPECT_EQ(RegReadDword(key, "Kept", &value), ERROR_SUCCESS);  // its own thread goes on
    EXPECT_EQ(value, 6u);
  }
  other.join();
  EXPECT_EQ(drawn, 0u);  // drawn after the undo: "New" was gone
  EXPECT_EQ(RegReadDword(key, "Kept", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 5u);
  {
    CRegTransaction tx;
    ASSERT_EQ(RegWriteDword(key, "Kept", 7), ERROR_SUCCESS);
    EXPECT_EQ(tx.Commit(), ERROR_SUCCESS);
  }
  EXPECT_EQ(RegReadDword(key, "Kept", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 7u);
}

}  // namespace
