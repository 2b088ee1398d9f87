// The client-side connection: connect results, line reads that leave the rest
// in the socket, and the orderly close.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "LoopbackSockets.h"
#include "net/C_WSClient.h"

namespace {

class WsClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(m_Listener = loopback::Listen(m_Port), INVALID_SOCKET); }
  void TearDown() override {
    if (m_Peer != INVALID_SOCKET) SockClose(m_Peer);
    SockClose(m_Listener);
  }
  void ConnectAndAccept() {
    ASSERT_EQ(m_Client.Connect(m_Port, "127.0.0.1"), 0);
    ASSERT_NE(m_Peer = SockAccept(m_Listener, nullptr, nullptr), INVALID_SOCKET);
    ASSERT_EQ(m_Client.SetReceiveTimeout(5000), 0);
  }

  SOCKET m_Listener = INVALID_SOCKET, m_Peer = INVALID_SOCKET;
  int m_Port = 0;
  C_WSClient m_Client;
};

TEST_F(WsClientTest, ConnectFailuresGiveTwoAndLeaveNoSocket) {
  EXPECT_EQ(m_Client.Connect(loopback::FreePort(), "127.0.0.1"), 2);
  EXPECT_EQ(m_Client.m_Socket, 0);
  EXPECT_EQ(m_Client.Connect(25, "not an address"), 2);
  // A host text too long for its field is cut, never overrun.
  EXPECT_EQ(m_Client.Connect(m_Port, "127.0.0.1.and.a.lot.more.text.than.fits"), 2);
  EXPECT_EQ(std::string(m_Client.m_Host).size(), static_cast<std::size_t>(C_WSClient::kHostSize - 1));
}

}  // namespace
