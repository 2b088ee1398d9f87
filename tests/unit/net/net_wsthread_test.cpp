// Cancelling the server-side connection object's reads, over a loopback TCP
// pair. (Its line reads run under smtp_session_test.cpp in receives of every
// size; long lines and the time limits: test_hostile_input.py.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "LoopbackSockets.h"
#include "net/C_WSTHREAD.h"
#include "platform/System.h"

namespace {
using Clock = std::chrono::steady_clock;

// A read already waiting for a silent peer ends soon after Cancel from
// another thread (the stop of the gateway), not at its time-out; so does a
// wait for data with no time-out at all.
TEST(WsThreadTest, CancelEndsAReadAlreadyWaiting) {
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
