// tests/unit/platform/socket_test.cpp: the Winsock-shaped sockets on loopback: a send
// that its time-out cuts short. (A closed listener waking its accept: every
// stop of the gateway in test_service.py; receive time-outs:
// dns_client_test.cpp and smtp_dialogue_test.cpp; vanishing peers against the
// real binary: test_hostile_input.py.)
#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <vector>

#include "LoopbackSockets.h"

namespace {

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SockStartup(kWinsockVersion), 0);
    ASSERT_NE(m_Listener = loopback::Listen(m_Port), INVALID_SOCKET);
    ASSERT_NE(m_Client = loopback::Connect(m_Port), INVALID_SOCKET);
    ASSERT_NE(m_Server = SockAccept(m_Listener, nullptr, nullptr), INVALID_SOCKET);
  }
  void TearDown() override {
    for (SOCKET s : {m_Client, m_Server, m_Listener})
      if (s != INVALID_SOCKET) SockClose(s);
  }
  SOCKET m_Listener = INVALID_SOCKET, m_Client = INVALID_SOCKET, m_Server = INVALID_SOCKET;
  int m_Port = 0;
};

TEST_F(SocketTest, ASendCutShortByItsTimeOutFails) {
  // The peer reads nothing: the send fills both buffers and its time-out passes.
  ASSERT_EQ(SockSetSendTimeout(m_Client, 200), 0);
  const std::vector<char> block(64 * 1024 * 1024, 'x');
  EXPECT_EQ(SockSend(m_Client, block.data(), static_cast<int>(block.size())), SOCKET_ERROR);
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(WSAETIMEDOUT));
}

}  // namespace
