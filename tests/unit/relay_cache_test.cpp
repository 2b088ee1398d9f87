// tests/unit/relay_cache_test.cpp: what the relay cache keeps, for how long,
// and that it stays bounded. (That a delivery asks the name server only when
// nothing valid is kept: test_outbound_delivery.py.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smtpout/RelayCache.h"

namespace {

using std::chrono::seconds;
const CRelayCache::Clock::time_point kStart{};

TEST(RelayCacheTest, KeepsAnswersForTheirTimeToLiveCappedAndCaseBlind) {
  const struct {
    std::uint32_t ttl;
    int askedAfter;  // seconds after keeping
    bool found;
  } cases[] = {
      {300, 0, true},      {300, 299, true},     {300, 300, false},  // until the time to live is up
      {0, 0, false},                                                 // 0: not to be kept
      {86400, 3599, true}, {86400, 3600, false},                     // capped at an hour
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.ttl) + " s, asked after " + std::to_string(c.askedAfter) + " s");
    CRelayCache cache;
    cache.Keep("Fax.Test", {"mx2.fax.test", "mx1.fax.test"}, c.ttl, kStart);
    std::vector<std::string> exchangers;
    EXPECT_EQ(cache.Find("FAX.TEST", kStart + seconds(c.askedAfter), exchangers), c.found);
    if (c.found) {
      EXPECT_EQ(exchangers, (std::vector<std::string>{"mx2.fax.test", "mx1.fax.test"}));
    }
  }
}

TEST(RelayCacheTest, ForgetsOnRequestAndNeverHoldsMoreThanItsBound) {
  CRelayCache cache;
  std::vector<std::string> exchangers;
  cache.Keep("a.test", {"mx.a.test"}, 60, kStart);
  cache.Keep("a.test", {}, 60, kStart);  // an answer without exchangers replaces nothing
  EXPECT_FALSE(cache.Find("a.test", kStart, exchangers));

  cache.Keep("b.test", {"mx.b.test"}, 60, kStart);
  cache.Forget("B.TEST");
  EXPECT_FALSE(cache.Find("b.test", kStart, exchangers));

  // Full of valid entries: the one that expires first makes room.
  for (std::size_t i = 0; i < CRelayCache::kMostDomains; ++i)
    cache.Keep("d" + std::to_string(i) + ".test", {"mx"}, static_cast<std::uint32_t>(100 + i), kStart);
  cache.Keep("new.test", {"mx"}, 60, kStart);
  EXPECT_EQ(cache.Size(), CRelayCache::kMostDomains);
  EXPECT_FALSE(cache.Find("d0.test", kStart, exchangers));
  EXPECT_TRUE(cache.Find("d1.test", kStart, exchangers));
  EXPECT_TRUE(cache.Find("new.test", kStart, exchangers));
  // Expired entries go first, all of them: at 500 s those of d1 to d400 and
  // new.test; d401 to d999 stay.
  cache.Keep("later.test", {"mx"}, 60, kStart + seconds(500));
  EXPECT_EQ(cache.Size(), 600u);
  EXPECT_TRUE(cache.Find("d401.test", kStart + seconds(500), exchangers));
}

}  // namespace
