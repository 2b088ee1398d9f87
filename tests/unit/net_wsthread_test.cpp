// Line reads, receives and the base Run/Refuse of the server-side connection
// object, over a loopback TCP pair.
#include "net/C_WSTHREAD.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "LoopbackSockets.h"
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
  std::string ReadLine(int size = 100) {
    m_LastCount = m_Conn.ReadLine(m_Buffer, size);
    return std::string(m_Buffer);
  }
  std::string ReadDataLine(int size = 100) {
    m_LastCount = m_Conn.ReadDataLine(m_Buffer, size);
    return std::string(m_Buffer, m_LastCount > 0 ? m_LastCount : 0);
  }

  loopback::Pair m_Pair;
  C_WSTHREAD m_Conn;
  char m_Buffer[1024] = {};
  int m_LastCount = -1;
};

TEST_F(WsThreadTest, ReadLineStripsCrLfAndBareLf) {
  Peer("HELO x\r\nHELO x\nnext\r\n");
  EXPECT_EQ(ReadLine(), "HELO x");
  EXPECT_EQ(m_LastCount, 6);
  EXPECT_EQ(ReadLine(), "HELO x");
  EXPECT_EQ(m_LastCount, 6);
  EXPECT_EQ(ReadLine(), "next");
}

TEST_F(WsThreadTest, ReadLineKeepsLoneCrInsideTheLine) {
  Peer("a\rb\r\n");
  EXPECT_EQ(ReadLine(), "a\rb");
  EXPECT_EQ(m_LastCount, 3);
}

TEST_F(WsThreadTest, LongLineComesInPiecesOfSize) {
  const std::string line = std::string(100, 'a') + std::string(100, 'b') + std::string(50, 'c');
  Peer(line + "\r\nQUIT\r\n");
  EXPECT_EQ(ReadLine(), std::string(100, 'a'));
  EXPECT_EQ(m_LastCount, 100);
  EXPECT_EQ(ReadLine(), std::string(100, 'b'));
  EXPECT_EQ(m_LastCount, 100);
  EXPECT_EQ(ReadLine(), std::string(50, 'c'));
  EXPECT_EQ(m_LastCount, 50);
  EXPECT_EQ(ReadLine(), "QUIT");
}

TEST_F(WsThreadTest, ReadLineZeroesItsBufferAndTerminates) {
  std::memset(m_Buffer, 'Z', sizeof m_Buffer);
  Peer("ab\r\n");
  EXPECT_EQ(m_Conn.ReadLine(m_Buffer, 100), 2);
  for (int i = 2; i < 100; ++i) ASSERT_EQ(m_Buffer[i], '\0') << i;
}

TEST_F(WsThreadTest, EmptyLineAndEndOfConnectionBothGiveZero) {
  Peer("\n\r\npartial");
  EXPECT_EQ(ReadLine(), "");
  EXPECT_EQ(m_LastCount, 0);
  EXPECT_EQ(ReadLine(), "");
  EXPECT_EQ(m_LastCount, 0);
  m_Pair.CloseClient();
  // A line cut off by the end of the connection is not returned.
  EXPECT_EQ(ReadLine(), "");
  EXPECT_EQ(m_LastCount, 0);
}

TEST_F(WsThreadTest, ReadDataLineKeepsTheLineEnd) {
  Peer(".\r\n..\r\nbare\nx");
  EXPECT_EQ(ReadDataLine(), ".\r\n");
  EXPECT_EQ(m_LastCount, 3);
  EXPECT_EQ(ReadDataLine(), "..\r\n");
  EXPECT_EQ(ReadDataLine(), "bare\n");
  m_Pair.CloseClient();
  EXPECT_EQ(ReadDataLine(), "");
  EXPECT_EQ(m_LastCount, 0);
}

TEST_F(WsThreadTest, ReadDataLineSplitsLongLinesAndKeepsTheEndOnTheLastPiece) {
  Peer(std::string(150, 'd') + "\r\n");
  EXPECT_EQ(ReadDataLine(), std::string(100, 'd'));
  EXPECT_EQ(m_LastCount, 100);
  EXPECT_EQ(ReadDataLine(), std::string(50, 'd') + "\r\n");
  EXPECT_EQ(m_LastCount, 52);
}

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

TEST_F(WsThreadTest, ReceiveTimeOutEndsTheReadEmpty) {
  ASSERT_EQ(m_Conn.SetReceiveTimeout(200), 0);
  Peer("no line end");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadLine(), "");
  EXPECT_EQ(m_LastCount, 0);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::seconds(4));
}

TEST_F(WsThreadTest, CancelledReadsReturnNothing) {
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

TEST_F(WsThreadTest, BaseRunSaysGoodbyeToALine) {
  Peer("hello\r\nmore");
  m_Conn.Run();
  EXPECT_EQ(loopback::ReceiveCount(m_Pair.client, 41), "Connect Successful ... Now Disconnecting.");
}

TEST_F(WsThreadTest, BaseRefuseAnswersAPeerThatSpeaks) {
  Peer("x");
  m_Conn.Refuse();
  EXPECT_EQ(loopback::ReceiveCount(m_Pair.client, 39), "Too Many Connections, Please Try Later.");
}

TEST_F(WsThreadTest, SendWithoutLengthSendsTheText) {
  EXPECT_EQ(m_Conn.SendText("220 ok\r\n"), 8);
  EXPECT_EQ(m_Conn.Send("abcdef", 3), 3);
  EXPECT_EQ(loopback::ReceiveCount(m_Pair.client, 11), "220 ok\r\nabc");
}

}  // namespace
