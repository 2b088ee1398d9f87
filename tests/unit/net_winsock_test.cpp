// The listener: the connection limit and refusal, the stop flag, a connection
// without a session object and a failed bind.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "LoopbackSockets.h"
#include "TempDir.h"
#include "net/C_WINSOCK.h"
#include "net/C_WSTHREAD.h"

namespace {

// Echoes each line back until the peer stops.
class EchoThread : public C_WSTHREAD {
 public:
  int Run() override {
    char line[101];
    while (ReadLine(line, 100) > 0) SendText((std::string(line) + "\r\n").c_str());
    return 0;
  }
};

class TestServer : public C_WINSOCK {
 public:
  C_WSTHREAD* CreateThreadInstance() override {
    m_Created++;
    return m_FailCreate ? nullptr : new EchoThread;
  }
  void ReleaseThreadInstance(C_WSTHREAD* instance) override {
    m_Released++;
    delete instance;
  }
  std::atomic<int> m_Created{0}, m_Released{0};
  bool m_FailCreate = false;
};

struct Client {
  SOCKET s;
  explicit Client(int port) : s(loopback::Connect(port)) { SockSetReceiveTimeout(s, 5000); }
  ~Client() { SockClose(s); }
  std::string RoundTrip(const std::string& line) {
    return loopback::SendAll(s, line + "\r\n") ? loopback::Receive(s, line.size() + 2) : "<send failed>";
  }
};

class WinsockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(m_Port = loopback::FreePort(), 0);
    ASSERT_EQ(m_Server.ConnectToPort(m_Port, 5, AF_INET_CODE, HostToNet32(loopback::kLoopbackHost)), 0);
    ASSERT_EQ(m_Server.StartAcceptThread(), 0);
    ASSERT_EQ(m_Server.m_Accepting, 1);
  }
  void TearDown() override {  // every session is disposed of before the server goes
    EXPECT_TRUE(
        WaitUntil([this] { return m_Server.m_Released == m_Server.m_Created || m_Server.m_FailCreate; }));
    EXPECT_TRUE(WaitUntil([this] { return m_Server.ConnectionCount() == 0; }));
  }
  TestServer m_Server;
  int m_Port = 0;
};

TEST_F(WinsockTest, ConnectionsOverTheLimitAreRefusedAndALaterOneIsServed) {
  m_Server.m_MaxConnections = 2;
  auto first = std::make_unique<Client>(m_Port);
  Client second(m_Port);
  ASSERT_EQ(first->RoundTrip("one"), "one\r\n");
  ASSERT_EQ(second.RoundTrip("two"), "two\r\n");
  Client third(m_Port);
  ASSERT_TRUE(loopback::SendAll(third.s, "three\r\n"));
  // The base refuse operation answers with its busy text, then the listener closes.
  EXPECT_EQ(loopback::Receive(third.s), "Too Many Connections, Please Try Later.");
  first.reset();
  ASSERT_TRUE(WaitUntil([this] { return m_Server.ConnectionCount() == 1; }));
  EXPECT_EQ(Client(m_Port).RoundTrip("four"), "four\r\n");
}

TEST_F(WinsockTest, ConnectionWithoutSessionObjectIsClosed) {
  m_Server.m_FailCreate = true;
  EXPECT_EQ(loopback::Receive(Client(m_Port).s), "");
  EXPECT_EQ(m_Server.m_Created, 1);
  EXPECT_EQ(m_Server.m_Released, 0);
}

TEST_F(WinsockTest, PortInUseFailsTheBindAndTheAcceptThreadEndsAtOnce) {
  TestServer second;
  EXPECT_EQ(second.ConnectToPort(m_Port, 5, AF_INET_CODE, HostToNet32(loopback::kLoopbackHost)), 3);
  EXPECT_EQ(second.StartAcceptThread(), 0);
  EXPECT_TRUE(WaitUntil([&second] { return second.m_Accepting == 0; }));
}

}  // namespace
