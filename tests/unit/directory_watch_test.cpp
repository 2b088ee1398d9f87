// tests/unit/directory_watch_test.cpp: a wait on a directory ends when a
// matching file arrives (written in place or renamed in), not for other
// names, and at once on a wake from another thread.
#include "platform/DirectoryWatch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "TempDir.h"
#include "platform/File.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(DirectoryWatchTest, MatchingArrivalsAndWakesEndTheWait) {
  CTempDir dir;
  const std::string in = dir.File("IN");
  ASSERT_TRUE(DirectoryCreate(in));
  CDirectoryWatch watch;
  ASSERT_TRUE(watch.Open(in, "*.tmp"));
  EXPECT_TRUE(watch.IsWatching());
  EXPECT_FALSE(watch.Wait(0));

  const std::string sep = kPathSeparatorText;
  const struct {
    const char* what;
    std::function<void()> change;
    bool ends;
  } cases[] = {
      {"another name", [&] { WriteWholeFile(in + sep + "F1.tif", "II*"); }, false},
      {"a message written in place", [&] { WriteWholeFile(in + sep + "a.tmp", "x"); }, true},
      {"a message renamed in, in capitals",
       [&] {
         WriteWholeFile(dir.File("b.part"), "x");
         ASSERT_TRUE(FileMove(dir.File("b.part"), in + sep + "B.TMP"));
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::thread changer([&] {
      std::this_thread::sleep_for(100ms);
      c.change();
    });
    const auto began = Clock::now();
    const bool ended = watch.Wait(c.ends ? 10000 : 600);
    changer.join();
    EXPECT_EQ(ended, c.ends);
    if (c.ends) {
      EXPECT_LT(Clock::now() - began, 5s);
    }
    while (watch.Wait(50)) {
    }  // what else the change reported
  }

  std::thread waker([&] {
    std::this_thread::sleep_for(100ms);
    watch.Wake();
  });
  const auto began = Clock::now();
  EXPECT_TRUE(watch.Wait(10000));
  EXPECT_LT(Clock::now() - began, 5s);
  waker.join();
  watch.Wake();  // a wake before the wait ends the next one at once
  EXPECT_TRUE(watch.Wait(10000));
}

// A directory that cannot be watched still gives a wait that ends by time or wake.
TEST(DirectoryWatchTest, WithoutADirectoryItStillWaitsAndWakes) {
  CTempDir dir;
  CDirectoryWatch watch;
  EXPECT_FALSE(watch.Open(dir.File("missing"), "*.tmp"));
  const auto began = Clock::now();
  EXPECT_FALSE(watch.Wait(200));
  EXPECT_GE(Clock::now() - began, 150ms);
  watch.Wake();
  EXPECT_TRUE(watch.Wait(10000));
}

}  // namespace
