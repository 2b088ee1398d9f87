// tests/unit/log/debug_log_test.cpp: debug log entries, whose text (peer text
// among it) may be longer than the line buffer: cut at 999 bytes, never past it.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "SpoolTestSupport.h"
#include "log/DebugLog.h"

namespace {

TEST(DebugLogFile, LongEntriesAreCutAtTheLineBuffer) {
  SpoolSandbox box;
  box.EnableLogs();
  const std::size_t lengths[] = {10, 900, 998, 999, 5000};
  for (std::size_t length : lengths) DebugLog(std::string(length, 'a').c_str(), CV_SRC, 7);
  const auto lines = SpoolSandbox::Lines(box.PrimaryLog());
  ASSERT_EQ(lines.size(), std::size(lengths));
  const std::string suffix = " (debug_log_test.cpp - 7)\r";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lengths[i]);
    EXPECT_EQ(lines[i].find_first_not_of('a'), std::min<std::size_t>(lengths[i], 999));
    if (lengths[i] <= 900) {  // whole, with its time and source
      EXPECT_EQ(lines[i].substr(lines[i].size() - suffix.size()), suffix);
    } else {
      EXPECT_EQ(lines[i].size(), 1000u);  // 999 bytes and the CR
    }
  }
}

}  // namespace
