// tests/unit/debug_log_test.cpp: entry layout and limits, switches and concurrent writers.
// GCC 12 reports a false maybe-uninitialized inside <regex> under -O2 with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "log/DebugLog.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "SpoolTestSupport.h"

namespace {

std::string Entry(const std::string& text, const char* source = ".\\unit.cpp", int line = 42) {
  char out[kLogLineBuffer];
  FormatLogEntry(text.c_str(), source, line, out);
  return out;
}

const std::string kTime = R"(\d\d:\d\d:\d\d \d\d/\d\d/\d\d)";

TEST(DebugLogFormat, ColumnsLimitsAndSourceNames) {
  // 10 characters, 65 spaces, one space, the time at column 77, the source.
  EXPECT_TRUE(std::regex_match(Entry("0123456789"),
                               std::regex("0123456789 {66}" + kTime + R"( \(unit\.cpp - 42\))")));
  EXPECT_TRUE(std::regex_match(Entry(std::string(80, 'a'), "C:\\a\\b\\f.cpp", -3),
                               std::regex("a{80} " + kTime + R"( \(f\.cpp - -3\))")));
  // Too long: cut at 999 bytes, the suffix as far as it fits.
  EXPECT_EQ(Entry(std::string(2000, 'z')), std::string(999, 'z'));
  EXPECT_TRUE(std::regex_match(Entry(std::string(990, 'y')), std::regex("y{990} \\d\\d:\\d\\d:\\d\\d")));
}

TEST(DebugLogFile, EntriesErrorsAndSwitches) {
  SpoolSandbox box;
  box.EnableLogs();
  DebugLogStr("Domain Name: ", "fax.example", CV_SRC, __LINE__);
  DebugLog2Str("SMTPIn- second: ", "17", CV_SRC, __LINE__);
  PlatformSetLastError(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(LogLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));  // writing kept it
  const auto lines = SpoolSandbox::Lines(box.PrimaryLog());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex("Domain Name: fax\\.example +" + kTime + R"( \(debug_log_test\.cpp - \d+\)\r)")))
      << lines[0];
  EXPECT_EQ(lines[1].rfind("WSA Socket Error: (32) ", 0), 0u);
  EXPECT_EQ(box.SecondaryLog().rfind("SMTPIn- second: 17 ", 0), 0u);

  for (const std::string& path : {std::string("abc"), std::string(300, 'l')}) {
    box.SetText("logfile", path);  // too short, or too long for its buffer
    ReadDebugSettings();
    EXPECT_FALSE(IsPrimaryLogOn()) << path;
  }
  EXPECT_TRUE(IsSecondaryLogOn());
}

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
