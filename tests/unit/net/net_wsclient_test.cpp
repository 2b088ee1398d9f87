// The client-side connection's failed connects. (Its line reads and close run
// under smtp_dialogue_test.cpp and the outbound integration tests.)
#include <gtest/gtest.h>

#include <string>

#include "LoopbackSockets.h"
#include "net/C_WSClient.h"

namespace {

TEST(WsClientTest, ConnectFailuresGiveTwoAndLeaveNoSocket) {
  C_WSClient client;
  EXPECT_EQ(client.Connect(loopback::FreePort(), "127.0.0.1"), 2);
  EXPECT_EQ(client.m_Socket, 0);
  EXPECT_EQ(client.Connect(25, "not an address"), 2);
  // A host text too long for its field is cut, never overrun.
  EXPECT_EQ(client.Connect(loopback::FreePort(), "127.0.0.1.and.a.lot.more.text.than.fits"), 2);
  EXPECT_EQ(std::string(client.m_Host).size(), static_cast<std::size_t>(C_WSClient::kHostSize - 1));
}

}  // namespace
