// tests/unit/DebugLog_test.cpp: entry layout, limits, switches, concurrent
// writers and debug copies of the debug log.
#include "log/DebugLog.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "SpoolTestSupport.h"
#include "platform/File.h"

namespace {

// "HH:MM:SS dd/mm/yy" at `at`.
bool IsTimeAt(const std::string& line, std::size_t at) {
  if (line.size() < at + 17) return false;
  const std::string t = line.substr(at, 17);
  for (std::size_t i : {0u, 1u, 3u, 4u, 6u, 7u, 9u, 10u, 12u, 13u, 15u, 16u}) {
    if (!std::isdigit(static_cast<unsigned char>(t[i]))) return false;
  }
  return t[2] == ':' && t[5] == ':' && t[8] == ' ' && t[11] == '/' && t[14] == '/';
}

std::string Entry(const std::string& text, const char* source = ".\\unit.cpp", int line = 42) {
  char out[kLogLineBuffer];
  const std::size_t n = FormatLogEntry(text.c_str(), source, line, out);
  EXPECT_EQ(n, std::strlen(out));
  return out;
}

TEST(DebugLogFormat, ShortTextIsPaddedSoTheTimeStartsAtColumn77) {
  const std::string line = Entry("0123456789");
  EXPECT_EQ(line.substr(0, 10), "0123456789");
  EXPECT_EQ(line.substr(10, 66), std::string(66, ' '));  // 65 pad spaces and the separator
  EXPECT_TRUE(IsTimeAt(line, 76)) << line;
  EXPECT_EQ(line.substr(93), " (unit.cpp - 42)");
}

TEST(DebugLogFormat, LongTextIsFollowedByOneSpaceAndTheTime) {
  const std::string text(80, 'a');
  const std::string line = Entry(text);
  EXPECT_EQ(line.substr(0, 81), text + " ");
  EXPECT_TRUE(IsTimeAt(line, 81)) << line;
}

TEST(DebugLogFormat, SourceNameIsThePartAfterTheLastBackslash) {
  EXPECT_NE(Entry("x", "C:\\src\\dir\\file.cpp", 7).find(" (file.cpp - 7)"), std::string::npos);
  EXPECT_NE(Entry("x", "plain.cpp", -3).find(" (plain.cpp - -3)"), std::string::npos);
  EXPECT_NE(Entry("x", CV_SRC, 1).find(" (DebugLog_test.cpp - 1)"), std::string::npos);
}

TEST(DebugLogFormat, OverlongEntriesAreCutAt999Bytes) {
  EXPECT_EQ(Entry(std::string(2000, 'z')), std::string(999, 'z'));
  // A text just under the limit keeps as much of its suffix as fits.
  const std::string line = Entry(std::string(990, 'y'));
  EXPECT_EQ(line.size(), 999u);
  EXPECT_EQ(line.substr(990, 9), " " + Entry("").substr(76, 8));
}

class DebugLogFile : public ::testing::Test {
 protected:
  SpoolSandbox m_Box;
};

TEST_F(DebugLogFile, EntriesAreAppendedWithCrLfAndJoined) {
  m_Box.EnableLogs();
  ASSERT_TRUE(IsPrimaryLogOn());
  ASSERT_TRUE(IsSecondaryLogOn());
  DebugLog("first", CV_SRC, __LINE__);
  DebugLogStr("Domain Name: ", "fax.example", CV_SRC, __LINE__);
  DebugLogStr("alone", "", CV_SRC, __LINE__);
  DebugLog2Str("SMTPIn- second: ", "17", CV_SRC, __LINE__);

  const auto lines = SpoolSandbox::Lines(m_Box.PrimaryLog());
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& line : lines) {
    EXPECT_EQ(line.back(), '\r');
    EXPECT_TRUE(IsTimeAt(line, 76)) << line;
  }
  EXPECT_EQ(lines[0].substr(0, 6), "first ");
  EXPECT_EQ(lines[1].substr(0, 25), "Domain Name: fax.example ");
  EXPECT_EQ(lines[2].substr(0, 6), "alone ");
  const auto second = SpoolSandbox::Lines(m_Box.SecondaryLog());
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].substr(0, 19), "SMTPIn- second: 17 ");
}

TEST_F(DebugLogFile, ShortOrMissingPathsSwitchTheLogsOff) {
  for (const char* path : {"", "a", "abc"}) {
    m_Box.SetText("logfile", path);
    m_Box.SetText("logfileb", path);
    ReadDebugSettings();
    EXPECT_FALSE(IsPrimaryLogOn()) << '"' << path << '"';
    EXPECT_FALSE(IsSecondaryLogOn()) << '"' << path << '"';
  }
  m_Box.EnableLogs();
  m_Box.Key().DeleteValue("logfile");
  ReadDebugSettings();
  EXPECT_FALSE(IsPrimaryLogOn());
  EXPECT_TRUE(IsSecondaryLogOn());
  // A secondary path longer than the primary one does not leak into it.
  m_Box.SetText("logfileb", m_Box.Root() + "a-much-longer-secondary-log-name.log");
  m_Box.SetText("logfile", m_Box.Root() + "p.log");
  ReadDebugSettings();
  DebugLog("to the primary", CV_SRC, __LINE__);
  EXPECT_TRUE(std::filesystem::exists(m_Box.Root() + "p.log"));
  // A path that does not fit its 260-byte buffer is treated as absent.
  m_Box.SetText("logfile", m_Box.Root() + std::string(300, 'l'));
  ReadDebugSettings();
  EXPECT_FALSE(IsPrimaryLogOn());
}

TEST_F(DebugLogFile, StartupMessagesAppearOnlyWhenTheLogWasAlreadyOn) {
  const std::string log = m_Box.EnableLogs();
  std::filesystem::remove(log);
  ReadDebugSettings();  // second start-up read: the primary switch is on now
  const std::string text = m_Box.PrimaryLog();
  const std::size_t a = text.find("GetDebugSettings2(): Reading Registry for Debug settings.");
  const std::size_t b = text.find("GetDebugSettings2(): Reading Key value.");
  const std::size_t c = text.find("GetDebugSettings2() log file2:" + m_Box.Root() + "secondary.log");
  const std::size_t d = text.find("GetDebugSettings(): Reading Registry for Debug settings.");
  ASSERT_NE(d, std::string::npos) << text;
  EXPECT_TRUE(a < b && b < c && c < d) << text;
}

TEST_F(DebugLogFile, LogLastErrorReportsAndKeepsTheCode) {
  m_Box.EnableLogs();
  PlatformSetLastError(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(LogLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  DebugLog("between", CV_SRC, __LINE__);  // writing an entry must not disturb the code
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(m_Box.PrimaryLog().rfind("WSA Socket Error: (32) ", 0), 0u);
}

TEST_F(DebugLogFile, ConcurrentEntriesStayWhole) {
  m_Box.EnableLogs();
  constexpr int kThreads = 8;
  constexpr int kEntries = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEntries; ++i) {
        // Lengths up to beyond the line buffer, so some entries are cut.
        const std::string text = "T" + std::to_string(t) + "-" + std::string(static_cast<std::size_t>(i * 9), 'a' + t);
        DebugLog(text.c_str(), CV_SRC, i);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const auto lines = SpoolSandbox::Lines(m_Box.PrimaryLog());
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kEntries));
  std::vector<int> perThread(kThreads, 0);
  for (const std::string& line : lines) {
    ASSERT_GE(line.size(), 3u);
    ASSERT_EQ(line.back(), '\r') << line;
    ASSERT_EQ(line[0], 'T');
    const int t = line[1] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    ++perThread[t];
    const std::size_t letters = line.find_first_not_of(static_cast<char>('a' + t), 3);
    if (line.size() == 1000) {  // cut at 999 bytes: text, then a part of the suffix at most
      EXPECT_TRUE(letters == line.size() - 1 || line[letters] == ' ') << line;
      continue;
    }
    // The suffix must be this entry's own: its line number gives the text length.
    const std::string marker = " (DebugLog_test.cpp - ";
    const std::size_t at = line.find(marker);
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_EQ(line.find(marker, at + 1), std::string::npos) << line;
    ASSERT_EQ(line.substr(line.size() - 2), ")\r") << line;
    const int i = std::stoi(line.substr(at + marker.size()));
    EXPECT_EQ(letters - 3, static_cast<std::size_t>(i * 9)) << line;
  }
  for (int count : perThread) EXPECT_EQ(count, kEntries);
}

TEST_F(DebugLogFile, KeepDebugCopyRenamesToTheSecondsStamp) {
  const std::string path = m_Box.Out() + "41.zqx";
  SpoolSandbox::Touch(path);
  KeepDebugCopy(path.c_str());
  EXPECT_FALSE(std::filesystem::exists(path));
  std::vector<std::string> names;
  ASSERT_EQ(FindFiles(m_Box.Out(), "41-*.debug", names), ERROR_SUCCESS);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].size(), std::string("41-1700000000.debug").size()) << names[0];
}

TEST(DebugLogPath, FileNamePartKeepsTheSeparatorAndFitsItsBuffer) {
  const std::string path = std::string("spool") + kPathSeparatorText + "IN" + kPathSeparatorText + "msg.tmp";
  char out[260];
  PathFileNamePart(path.c_str(), out, sizeof(out));
  EXPECT_EQ(std::string(out), kPathSeparatorText + std::string("msg.tmp"));
  PathFileNamePart("nosep.tmp", out, sizeof(out));
  EXPECT_STREQ(out, "nosep.tmp");
  char small[4];
  PathFileNamePart(path.c_str(), small, sizeof(small));
  EXPECT_EQ(std::string(small), kPathSeparatorText + std::string("ms"));
}

}  // namespace
