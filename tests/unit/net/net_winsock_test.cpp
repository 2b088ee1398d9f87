// The listener: a connection without a session object. (A port in use:
// main_test.cpp and test_service.py; the connection limit and the stop against
// the real binary: test_hostile_input.py and the service tests.)
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "LoopbackSockets.h"
#include "TempDir.h"
#include "net/C_WINSOCK.h"
#include "net/C_WSTHREAD.h"

namespace {

// A server that cannot make session objects: each connection is closed at once.
class TestServer : public C_WINSOCK {
 public:
  C_WSTHREAD* CreateThreadInstance() override {
    m_Created++;
    return nullptr;
  }
  void ReleaseThreadInstance(C_WSTHREAD* instance) override {
    m_Released++;
    delete instance;
  }
  std::atomic<int> m_Created{0}, m_Released{0};
};

class WinsockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(m_Port = loopback::FreePort(), 0);
    ASSERT_EQ(m_Server.ConnectToPort(m_Port, 5, AF_INET_CODE, HostToNet32(loopback::kLoopbackHost)), 0);
    ASSERT_EQ(m_Server.StartAcceptThread(), 0);
    ASSERT_EQ(m_Server.m_Accepting, 1);
  }
  void TearDown() override {
    EXPECT_TRUE(WaitUntil([this] { return m_Server.ConnectionCount() == 0; }));
  }
  TestServer m_Server;
  int m_Port = 0;
};

TEST_F(WinsockTest, ConnectionWithoutSessionObjectIsClosed) {
  const SOCKET client = loopback::Connect(m_Port);
  SockSetReceiveTimeout(client, 5000);
  EXPECT_EQ(loopback::Receive(client), "");
  SockClose(client);
  EXPECT_EQ(m_Server.m_Created, 1);
  EXPECT_EQ(m_Server.m_Released, 0);
}

}  // namespace
