// log/DebugLog.cpp: the primary and secondary debug logs and the debug copies.
//
// Threading: the switches and paths are written only by the start-up reads,
// before any other thread exists, and read without a lock afterwards. Each
// entry is appended by its own open, one write of the whole line (CR LF
// included) and close of a file opened for appending, so entries from
// concurrent threads or processes never interleave.
#include "log/DebugLog.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/File.h"
#include "platform/System.h"

namespace {

constexpr std::size_t kSuffixBuffer = 500;
constexpr std::size_t kPadWidth = 75;
constexpr std::size_t kMinLogPathLength = 4;
constexpr int kDebugCopyNameAttempts = 100;  // names tried for one debug copy

char g_PrimaryPath[kLogPathBuffer] = {};
int g_PrimaryOn = 0;
char g_SecondaryPath[kLogPathBuffer] = {};
int g_SecondaryOn = 0;

// A path that does not fit the buffer whole leaves it empty (its log off).
void CopyPath(char (&buffer)[kLogPathBuffer], const std::string& path) {
  const std::size_t length = path.size() < kLogPathBuffer ? path.size() : 0;
  std::memcpy(buffer, path.data(), length);
  buffer[length] = '\0';
}

// Length of `text`, looking at no more than `max` bytes.
std::size_t BoundedLength(const char* text, std::size_t max) {
  const void* end = std::memchr(text, '\0', max);
  return end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : max;
}

// The part of a caller's file name after its last backslash.
const char* SourceName(const char* sourceFile) {
  if (sourceFile == nullptr) return "";
  const char* slash = std::strrchr(sourceFile, '\\');
  return slash != nullptr ? slash + 1 : sourceFile;
}

// Appends one formatted entry to the log at `path`. The line and its CR LF go
// out in a single write to a file opened for appending. The thread's last
// error is kept, so a caller may log a failure and then report its code.
void AppendEntry(const char* path, const char* text, const char* sourceFile, int line) {
  char entry[kLogLineBuffer + 2];
  std::size_t n = FormatLogEntry(text, sourceFile, line, entry);
  entry[n++] = '\r';
  entry[n++] = '\n';
  const DWORD savedError = PlatformGetLastError();
  CStdioFile file = CStdioFile::Open(path, "ab");
  if (file.IsOpen()) {
    file.Write(entry, n);
    file.Close();
  }
  PlatformSetLastError(savedError);
}

std::string Joined(const char* text, const char* value) {
  std::string joined = text != nullptr ? text : "";
  if (value != nullptr) joined += value;
  return joined;
}

}  // namespace

std::size_t FormatLogEntry(const char* text, const char* sourceFile, int line, char* out) {
  // The text itself is cut to fit the line buffer with its terminator.
  std::size_t n = text != nullptr ? BoundedLength(text, kLogLineBuffer - 1) : 0;
  if (n > 0) std::memcpy(out, text, n);
  out[n] = '\0';

  char timeText[32] = {};
  std::tm local{};
  if (LocalTime(std::time(nullptr), local))
    std::strftime(timeText, sizeof(timeText), "%H:%M:%S %d/%m/%y", &local);

  // Pad spaces, then " time (file - line)", so that short entries line up.
  const std::size_t pad = n < kPadWidth ? kPadWidth - n : 0;
  char suffix[kSuffixBuffer];
  std::memset(suffix, ' ', pad);
  std::snprintf(suffix + pad, sizeof(suffix) - pad, " %s (%s - %i)", timeText, SourceName(sourceFile), line);

  // Text plus suffix stay within 999 bytes; whatever does not fit is cut.
  const std::size_t room = kLogLineBuffer - 1 - n;
  const std::size_t suffixLength = BoundedLength(suffix, sizeof(suffix));
  const std::size_t take = suffixLength < room ? suffixLength : room;
  std::memcpy(out + n, suffix, take);
  n += take;
  out[n] = '\0';
  return n;
}

int DebugLog(const char* text, const char* sourceFile, int line) {
  if (g_PrimaryOn != 1) return 0;
  AppendEntry(g_PrimaryPath, text, sourceFile, line);
  return 0;
}

int DebugLogStr(const char* text, const char* value, const char* sourceFile, int line) {
  if (g_PrimaryOn != 1) return 0;
  return DebugLog(Joined(text, value).c_str(), sourceFile, line);
}

int DebugLog2Str(const char* text, const char* value, const char* sourceFile, int line) {
  if (g_SecondaryOn != 1) return 0;
  AppendEntry(g_SecondaryPath, Joined(text, value).c_str(), sourceFile, line);
  return 0;
}

DWORD LogLastErrorAt(const char* sourceFile, int line) {
  const DWORD code = PlatformGetLastError();
  char text[64];
  std::snprintf(text, sizeof(text), "WSA Socket Error: (%d)", static_cast<int>(code));
  DebugLog(text, sourceFile, line);
  return code;
}

void ApplyDebugSettings(const CDebugLogSettings& settings) {
  if (!settings.keyOpen) return;
  DebugLog("GetDebugSettings2(): Reading Registry for Debug settings.", CV_SRC, __LINE__);
  if (settings.secondaryRead) {
    DebugLog("GetDebugSettings2(): Reading Key value.", CV_SRC, __LINE__);
    CopyPath(g_SecondaryPath, settings.secondary);
    if (std::strlen(g_SecondaryPath) >= kMinLogPathLength) {
      DebugLogStr("GetDebugSettings2() log file2:", g_SecondaryPath, CV_SRC, __LINE__);
      g_SecondaryOn = 1;
    } else {
      g_SecondaryOn = 0;
    }
  } else {
    g_SecondaryPath[0] = '\0';
    g_SecondaryOn = 0;
  }
  DebugLog("GetDebugSettings(): Reading Registry for Debug settings.", CV_SRC, __LINE__);
  if (settings.primaryRead) {
    CopyPath(g_PrimaryPath, settings.primary);
  } else {
    g_PrimaryPath[0] = '\0';
  }
  g_PrimaryOn = settings.primaryRead && std::strlen(g_PrimaryPath) >= kMinLogPathLength ? 1 : 0;
}

bool IsPrimaryLogOn() { return g_PrimaryOn == 1; }
bool IsSecondaryLogOn() { return g_SecondaryOn == 1; }

std::string KeepDebugCopy(const char* path) {
  if (path == nullptr || *path == '\0') return {};
  std::string target = path;
  // Drop the dot and the three-letter extension of the file name (not a dot
  // in a directory name).
  const std::size_t nameStart = [&] {
    const std::size_t sep = target.rfind(kPathSeparator);
    return sep == std::string::npos ? 0 : sep + 1;
  }();
  const std::size_t dot = target.rfind('.');
  if (dot != std::string::npos && dot >= nameStart) target.erase(dot, 4);
  const double seconds = static_cast<double>(std::time(nullptr));
  // Two copies of one name within a second (mail files are numbered per
  // message, spool files may be numbered again after a wrap) must both be
  // kept: the second gets "-2", "-3" ... after the seconds count.
  for (int n = 1; n <= kDebugCopyNameAttempts; ++n) {
    char stamp[64];
    if (n == 1) {
      std::snprintf(stamp, sizeof(stamp), "-%.0f.debug", seconds);
    } else {
      std::snprintf(stamp, sizeof(stamp), "-%.0f-%d.debug", seconds, n);
    }
    if (FileMove(path, target + stamp)) return target + stamp;
    if (PlatformGetLastError() != static_cast<DWORD>(ERROR_ALREADY_EXISTS)) break;
  }
  return {};  // a failure leaves the file under its old name
}

void PathFileNamePart(const char* path, char* out, std::size_t outSize) {
  if (out == nullptr || outSize == 0) return;
  out[0] = '\0';
  if (path == nullptr) return;
  const char* sep = std::strrchr(path, kPathSeparator);
  std::snprintf(out, outSize, "%s", sep != nullptr ? sep : path);
}
