// Line reads, receives, draining and cancelling of the server-side connection
// object, over a loopback TCP pair (test_hostile_input.py has long lines and
// the time limits against the real binary).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "LoopbackSockets.h"
#include "net/C_WSTHREAD.h"
#include "platform/System.h"

namespace {
using Clock = std::chrono::steady_clock;

class WsThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Pair.Open());
    m_Conn.m_Socket = m_Pair.server;
    ASSERT_EQ(m_Conn.SetReceiveTimeout(5000), 0);
  }
  void TearDown() override { m_Conn.m_Socket = INVALID_SOCKET; }  // the pair closes it

  void Peer(const std::string& bytes) { ASSERT_TRUE(loopback::SendAll(m_Pair.client, bytes)); }
  // Reads of at most 100 bytes: 'L' a line without its end, 'D' a data line with it.
  std::string Read(char kind = 'L') {
    m_LastCount = kind == 'L' ? m_Conn.ReadLine(m_Buffer, 100) : m_Conn.ReadDataLine(m_Buffer, 100);
    return kind == 'L' ? std::string(m_Buffer) : std::string(m_Buffer, m_LastCount > 0 ? m_LastCount : 0);
  }

  loopback::Pair m_Pair;
  C_WSTHREAD m_Conn;
  char m_Buffer[1024] = {};
  int m_LastCount = -1;
};

TEST_F(WsThreadTest, ReadsReturnTextAndCount) {
  // Bytes the peer sends (then closes), and each read's kind, text and count.
  using Reads = std::vector<std::tuple<char, std::string, int>>;
  const std::pair<std::string, Reads> cases[] = {
      {"HELO x\r\nHELO x\nnext\r\n", {{'L', "HELO x", 6}, {'L', "HELO x", 6}, {'L', "next", 4}}},
      {"a\rb\r\n", {{'L', "a\rb", 3}}},  // a lone CR stays
      // An empty line and the end of the connection both give 0; a cut-off line is not returned.
      {"\n\r\npartial", {{'L', "", 0}, {'L', "", 0}, {'L', "", 0}}},
      {".\r\n..\r\nbare\nx", {{'D', ".\r\n", 3}, {'D', "..\r\n", 4}, {'D', "bare\n", 5}, {'D', "", 0}}}};
  for (const auto& [sent, reads] : cases) {
    loopback::Pair pair;
    ASSERT_TRUE(pair.Open());
    m_Conn.m_Socket = pair.server;
    ASSERT_TRUE(loopback::SendAll(pair.client, sent));
    pair.CloseClient();
    for (const auto& [kind, text, count] : reads) {
      EXPECT_EQ(Read(kind), text) << sent;
      EXPECT_EQ(m_LastCount, count) << text;
    }
  }
}

// Command lines, data lines and raw receives drawn from the same buffered burst;
// then draining and cancelling.
TEST_F(WsThreadTest, SwitchingReadersDrainAndCancel) {
  EXPECT_EQ(m_Conn.DrainInput(), 0);  // nothing waiting: returns at once
  Peer("MAIL x\r\nline one\r\n.\r\nQUIT\r\nrest");
  EXPECT_EQ(Read(), "MAIL x");
  EXPECT_EQ(Read('D'), "line one\r\n");
  EXPECT_EQ(Read('D'), ".\r\n");
  EXPECT_EQ(Read(), "QUIT");
  EXPECT_EQ(m_Conn.BufferedBytes(), 4);
  char raw[16] = {};
  EXPECT_EQ(m_Conn.Receive(raw, 2), 2);
  EXPECT_EQ(std::string(raw, 2), "re");
  EXPECT_EQ(m_Conn.BufferedBytes(), 2);

  Peer(std::string(3000, 'j'));
  SleepMs(50);
  m_Conn.DrainInput();
  EXPECT_FALSE(m_Conn.DataWaiting());
  EXPECT_EQ(m_Conn.BufferedBytes(), 0);
  Peer("after\r\n");
  EXPECT_EQ(Read(), "after");
  Peer("HELO x\r\n");
  m_Conn.Cancel();
  EXPECT_EQ(Read(), "");
  EXPECT_EQ(m_LastCount, 0);
}

// A read already waiting for a silent peer ends soon after Cancel from
// another thread (the stop of the gateway), not at its time-out; so does a
// wait for data with no time-out at all.
TEST_F(WsThreadTest, CancelEndsAReadAlreadyWaiting) {
  for (const int timeoutMs : {5000, 0}) {
    loopback::Pair pair;
    ASSERT_TRUE(pair.Open());
    C_WSTHREAD conn;
    conn.m_Socket = pair.server;
    ASSERT_EQ(conn.SetReceiveTimeout(timeoutMs), 0);
    std::atomic<int> result{-1};
    const Clock::time_point start = Clock::now();
    std::thread reader([&] {
      char line[100];
      result = conn.ReadLine(line, sizeof line);
    });
    SleepMs(200);  // the reader is waiting by now
    conn.Cancel();
    for (int i = 0; i < 300 && result.load() == -1; ++i) SleepMs(10);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (result.load() == -1) pair.CloseClient();  // unblock it, so the test can end
    reader.join();
    conn.m_Socket = INVALID_SOCKET;  // the pair closes it
    EXPECT_EQ(result.load(), 0) << "time-out " << timeoutMs;
    EXPECT_LT(waited, 2000) << "time-out " << timeoutMs;
  }
}

}  // namespace
