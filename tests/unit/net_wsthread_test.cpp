// Line reads, receives and the base Run/Refuse of the server-side connection
// object, over a loopback TCP pair.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "LoopbackSockets.h"
#include "net/C_WSTHREAD.h"
#include "platform/System.h"

namespace {

class WsThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Pair.Open());
    m_Conn.m_Socket = m_Pair.server;
    ASSERT_EQ(m_Conn.SetReceiveTimeout(5000), 0);
  }
  void TearDown() override { m_Conn.m_Socket = INVALID_SOCKET; }  // the pair closes it

  void Peer(const std::string& bytes) { ASSERT_TRUE(loopback::SendAll(m_Pair.client, bytes)); }
  // Reads of at most 100 bytes: a line without its end, or a data line with it.
  std::string ReadLine() {
    m_LastCount = m_Conn.ReadLine(m_Buffer, 100);
    return std::string(m_Buffer);
  }
  std::string ReadDataLine() {
    m_LastCount = m_Conn.ReadDataLine(m_Buffer, 100);
    return std::string(m_Buffer, m_LastCount > 0 ? m_LastCount : 0);
  }

  loopback::Pair m_Pair;
  C_WSTHREAD m_Conn;
  char m_Buffer[1024] = {};
  int m_LastCount = -1;
};

// Bytes the peer sends (then closes), and each read's result in turn: 'L' for
// ReadLine, 'D' for ReadDataLine.
struct ReadCase {
  const char* name;
  std::string sent;
  std::vector<std::tuple<char, std::string, int>> reads;
};
void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }

class WsThreadReadTest : public WsThreadTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(WsThreadReadTest, ReturnsTextAndCount) {
  Peer(GetParam().sent);
  m_Pair.CloseClient();
  for (const auto& [kind, text, count] : GetParam().reads) {
    EXPECT_EQ(kind == 'L' ? ReadLine() : ReadDataLine(), text);
    EXPECT_EQ(m_LastCount, count) << text;
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Reads, WsThreadReadTest,
    ::testing::Values(
        ReadCase{"CrLfAndBareLf", "HELO x\r\nHELO x\nnext\r\n", {{'L', "HELO x", 6}, {'L', "HELO x", 6}, {'L', "next", 4}}},
        ReadCase{"LoneCrStays", "a\rb\r\n", {{'L', "a\rb", 3}}},
        // An empty line and the end of the connection both give 0; a cut-off line is not returned.
        ReadCase{"EmptyAndEnd", "\n\r\npartial", {{'L', "", 0}, {'L', "", 0}, {'L', "", 0}}},
        ReadCase{"DataKeepsLineEnd", ".\r\n..\r\nbare\nx", {{'D', ".\r\n", 3}, {'D', "..\r\n", 4}, {'D', "bare\n", 5}, {'D', "", 0}}}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return info.param.name; });
// clang-format on

TEST_F(WsThreadTest, LinesSplitAcrossManyReceivesComeBackTheSame) {
  std::thread writer([this] {
    for (const char* part : {"HE", "LO x", "\r", "\nDA", "TA\r\n", ".", "\r", "\n"}) {
      loopback::SendAll(m_Pair.client, part);
      SleepMs(20);
    }
  });
  EXPECT_EQ(ReadLine(), "HELO x");
  EXPECT_EQ(ReadLine(), "DATA");
  EXPECT_EQ(ReadDataLine(), ".\r\n");
  writer.join();
}

TEST_F(WsThreadTest, SwitchingReadersOnOneBurstLosesNothing) {
  // Command lines, data lines and raw receives drawn from the same buffered burst.
  Peer("MAIL x\r\nline one\r\n.\r\nQUIT\r\nrest");
  EXPECT_EQ(ReadLine(), "MAIL x");
  EXPECT_EQ(ReadDataLine(), "line one\r\n");
  EXPECT_EQ(ReadDataLine(), ".\r\n");
  EXPECT_EQ(ReadLine(), "QUIT");
  EXPECT_EQ(m_Conn.BufferedBytes(), 4);
  EXPECT_TRUE(m_Conn.DataWaiting());
  char raw[16] = {};
  EXPECT_EQ(m_Conn.Receive(raw, 2), 2);
  EXPECT_EQ(std::string(raw, 2), "re");
  EXPECT_EQ(m_Conn.BufferedBytes(), 2);
}

TEST_F(WsThreadTest, TimeOutAndCancelEndTheReadEmpty) {
  ASSERT_EQ(m_Conn.SetReceiveTimeout(200), 0);
  Peer("no line end");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadLine(), "");
  EXPECT_EQ(m_LastCount, 0);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::seconds(4));

  Peer("HELO x\r\n");
  m_Conn.Cancel();
  EXPECT_EQ(ReadLine(), "");
  EXPECT_EQ(m_LastCount, 0);
}

TEST_F(WsThreadTest, DrainInputDiscardsWhatIsWaiting) {
  EXPECT_FALSE(m_Conn.DataWaiting());
  EXPECT_EQ(m_Conn.DrainInput(), 0);  // nothing waiting: returns at once
  Peer("first\r\n" + std::string(3000, 'j'));
  EXPECT_EQ(ReadLine(), "first");
  SleepMs(50);
  m_Conn.DrainInput();
  EXPECT_FALSE(m_Conn.DataWaiting());
  EXPECT_EQ(m_Conn.BufferedBytes(), 0);
  Peer("after\r\n");
  EXPECT_EQ(ReadLine(), "after");
}

}  // namespace
