// tests/unit/smtpout/relay_cache_test.cpp: what the relay cache forgets, its cap on a
// time to live, and that it stays bounded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smtpout/RelayCache.h"

namespace {

using std::chrono::seconds;
const CRelayCache::Clock::time_point kStart{};

TEST(RelayCacheTest, ForgetsOnRequestAndNeverHoldsMoreThanItsBound) {
  CRelayCache cache;
  std::vector<std::string> exchangers;
  cache.Keep("a.test", {"mx.a.test"}, 60, kStart);
  cache.Keep("a.test", {}, 60, kStart);  // an answer without exchangers replaces nothing
  EXPECT_FALSE(cache.Find("a.test", kStart, exchangers));

  cache.Keep("b.test", {"mx.b.test"}, 60, kStart);
  cache.Forget("B.TEST");
  EXPECT_FALSE(cache.Find("b.test", kStart, exchangers));

  cache.Keep("c.test", {"mx.c.test"}, 86400, kStart);  // a day is kept an hour
  EXPECT_TRUE(cache.Find("c.test", kStart + seconds(3599), exchangers));
  EXPECT_FALSE(cache.Find("c.test", kStart + seconds(3600), exchangers));

  // Full of valid entries: one makes room, and the cache never grows past its bound.
  for (std::size_t i = 0; i < CRelayCache::kMostDomains; ++i)
    cache.Keep("d" + std::to_string(i) + ".test", {"mx"}, static_cast<std::uint32_t>(100 + i), kStart);
  cache.Keep("new.test", {"mx"}, 60, kStart);
  EXPECT_EQ(cache.Size(), CRelayCache::kMostDomains);
  EXPECT_TRUE(cache.Find("new.test", kStart, exchangers));
}

}  // namespace
