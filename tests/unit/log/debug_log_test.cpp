// tests/unit/log/debug_log_test.cpp: concurrent writers, whose entries, some cut at the
// limit, show the entry layout too.
// GCC 12 reports a false maybe-uninitialized inside <regex> under -O2 with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "SpoolTestSupport.h"
#include "log/DebugLog.h"

namespace {

const std::string kTime = R"(\d\d:\d\d:\d\d \d\d/\d\d/\d\d)";

TEST(DebugLogFile, ConcurrentEntriesStayWhole) {
  SpoolSandbox box;
  box.EnableLogs();
  constexpr int kThreads = 8, kEntries = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEntries; ++i) {  // lengths beyond the line buffer too
        const std::string text =
            "T" + std::to_string(t) + "-" + std::string(i * 9, static_cast<char>('a' + t));
        DebugLog(text.c_str(), CV_SRC, i);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = SpoolSandbox::Lines(box.PrimaryLog());
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEntries));
  const std::regex whole("T(\\d)-([a-h]*) +" + kTime + R"( \(debug_log_test\.cpp - (\d+)\)\r)");
  const std::regex cut(R"(T(\d)-([a-h]*)( [^\r]*)?\r)");
  for (const std::string& line : lines) {
    std::smatch m;
    if (std::regex_match(line, m, whole)) {
      // The suffix is this entry's own: its line number gives the text length.
      EXPECT_EQ(m[2].length(), std::stoi(m[3]) * 9) << line;
    } else {
      ASSERT_TRUE(std::regex_match(line, m, cut)) << line;
      EXPECT_EQ(line.size(), 1000u) << "only a cut entry lacks its suffix: " << line;
    }
    EXPECT_EQ(m[2].str().find_first_not_of(static_cast<char>('a' + std::stoi(m[1]))), std::string::npos);
  }
}

}  // namespace
