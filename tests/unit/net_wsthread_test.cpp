// Line reads, receives, draining and cancelling of the server-side connection
// object, over a loopback TCP pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "LoopbackSockets.h"
#include "net/C_WSTHREAD.h"
#include "platform/System.h"

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

// A line longer than any buffer is skipped through its line feed, whatever
// its length, and the next line reads as sent.
TEST_F(WsThreadTest, SkipLineThrowsAwayTheRestOfALongLine) {
  std::thread writer([this] { Peer(std::string(300000, 'x') + "\r\nNOOP\r\ncut"); });
  EXPECT_EQ(Read(), std::string(100, 'x'));
  EXPECT_EQ(m_Conn.SkipLine(), 1);
  EXPECT_EQ(Read(), "NOOP");
  writer.join();
  m_Pair.CloseClient();
  EXPECT_EQ(m_Conn.SkipLine(), 0);  // the connection ended before a line feed
}

// A peer that sends a byte now and then renews the receive time-out each
// time, but not the deadline: the read ends at the deadline, and so do sends.
// Near the deadline the wait is cut to what it leaves; a deadline moved later
// (the next mail's) gives the receive time-out back.
TEST_F(WsThreadTest, ADeadlineEndsReadsAndSendsAndAMovedOneGivesTheTimeOutBack) {
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    while (!stop && loopback::SendAll(m_Pair.client, "x")) SleepMs(50);
  });
  Clock::time_point start = Clock::now();
  m_Conn.SetDeadline(start + milliseconds(400));
  EXPECT_EQ(Read(), "");  // no line end ever comes
  EXPECT_TRUE(m_Conn.DeadlinePassed());
  EXPECT_GE(Clock::now() - start, milliseconds(390));
  EXPECT_LT(Clock::now() - start, milliseconds(1500));
  EXPECT_EQ(m_Conn.Send("late", 4), SOCKET_ERROR);
  stop = true;
  trickle.join();
  m_Conn.DrainInput();

  ASSERT_EQ(m_Conn.SetReceiveTimeout(400), 0);
  const auto silentRead = [this] {
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Read(), "");
    return Clock::now() - start;
  };
  m_Conn.SetDeadline(Clock::now() + milliseconds(100));
  EXPECT_LT(silentRead(), milliseconds(350));
  EXPECT_TRUE(m_Conn.DeadlinePassed());
  m_Conn.SetDeadline(Clock::now() + std::chrono::seconds(60));
  EXPECT_GE(silentRead(), milliseconds(390));
  EXPECT_FALSE(m_Conn.DeadlinePassed());  // the time-out ended that read, not the deadline
  m_Conn.ClearDeadline();
  EXPECT_GE(silentRead(), milliseconds(390));
}

// A connection without a socket: reads and sends go through the transport
// seam to a script, as in the fuzz targets. `timedOut`: every receive fails
// as a time-out.
class CSeamConnection : public C_WSTHREAD {
 public:
  std::string m_Input;
  bool m_TimedOut = false;
  int m_Receives = 0;
  std::string m_Sent;

 protected:
  int ReceiveSome(char* buffer, int size) override {
    ++m_Receives;
    if (m_TimedOut) {
      PlatformSetLastError(WSAETIMEDOUT);
      return SOCKET_ERROR;
    }
    const std::size_t n = std::min(m_Input.size(), static_cast<std::size_t>(size));
    std::memcpy(buffer, m_Input.data(), n);
    m_Input.erase(0, n);
    return static_cast<int>(n);
  }
  int SendAll(const char* buffer, int length) override {
    m_Sent.append(buffer, static_cast<std::size_t>(length));
    return length;
  }
};

// The deadline holds over the seam: once passed, neither reads nor sends
// reach it; a seam time-out is the deadline's only when the deadline had cut
// the wait short.
TEST(WsThreadSeamTest, TheDeadlineHoldsOverTheTransportSeam) {
  struct Case {
    const char* name;
    int deadlineMs;  // from now; 0: none
    bool timedOut;
    const char* line;  // what ReadLine gives
    int receives;      // seam receives made
    bool passed;       // DeadlinePassed afterwards
    bool sent;         // the send reached the seam
  };
  const Case cases[] = {
      {"no deadline", 0, false, "abc", 1, false, true},
      {"deadline ahead", 60000, false, "abc", 1, false, true},
      {"deadline passed", -1, false, "", 0, true, false},
      {"time-out cut by the deadline", 1000, true, "", 1, true, true},
      {"time-out of its own", 60000, true, "", 1, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CSeamConnection conn;
    conn.m_Input = "abc\r\n";
    conn.m_TimedOut = c.timedOut;
    conn.SetReceiveTimeout(30000);  // no socket to set it on: only the figure counts here
    conn.SetSendTimeout(30000);
    if (c.deadlineMs != 0) conn.SetDeadline(Clock::now() + milliseconds(c.deadlineMs));
    char buffer[101] = {};
    conn.ReadLine(buffer, 100);
    EXPECT_STREQ(buffer, c.line);
    EXPECT_EQ(conn.m_Receives, c.receives);
    EXPECT_EQ(conn.DeadlinePassed(), c.passed);
    EXPECT_EQ(conn.Send("250 OK\r\n", -1) != SOCKET_ERROR, c.sent);
    EXPECT_EQ(conn.m_Sent, c.sent ? "250 OK\r\n" : "");
  }
}

}  // namespace
