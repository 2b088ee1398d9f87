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

TEST(SocketTest, ASendCutShortByItsTimeOutFails) {
  int port = 0;
  const SOCKET listener = loopback::Listen(port), client = loopback::Connect(port);
  ASSERT_NE(client, INVALID_SOCKET);
  const SOCKET server = SockAccept(listener, nullptr, nullptr);
  ASSERT_NE(server, INVALID_SOCKET);
  // The peer reads nothing: the send fills both buffers and its time-out passes.
  ASSERT_EQ(SockSetSendTimeout(client, 200), 0);
  const std::vector<char> block(64 * 1024 * 1024, 'x');
  EXPECT_EQ(SockSend(client, block.data(), static_cast<int>(block.size())), SOCKET_ERROR);
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(WSAETIMEDOUT));
  for (SOCKET s : {client, server, listener}) SockClose(s);
}

}  // namespace
