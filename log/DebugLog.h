// log/DebugLog.h: the primary and secondary debug logs and the debug copies.
//
// Entries are one line each: the text, spaces to a width of 75, " ", the local
// time "%H:%M:%S %d/%m/%y", " (", the caller's source file name, " - ", the
// line, ")" and CR LF. Every caller passes its own file and line: use CV_SRC
// and __LINE__. Both logs are off unless their registry value names a file of
// 4 or more characters. The switches are set once at start-up
// (ApplyDebugSettings) before any other thread exists and only read afterwards.
// Entries may come from any thread; each is appended whole, in one write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/WinCodes.h"

// The caller's source file as the log expects it: a dot, a backslash and the
// file name (the log prints the part after the last backslash).
#define CV_SRC ".\\" __FILE_NAME__

constexpr std::size_t kLogLineBuffer = 1000;  // an entry is cut at 999 bytes
constexpr std::size_t kLogPathBuffer = 260;

int DebugLog(const char* text, const char* sourceFile, int line);
// text + value (no separator added) to the primary log.
int DebugLogStr(const char* text, const char* value, const char* sourceFile, int line);
// text + value to the secondary log.
int DebugLog2Str(const char* text, const char* value, const char* sourceFile, int line);
// "WSA Socket Error: (%d)" with the thread's last error; returns the code.
DWORD LogLastErrorAt(const char* sourceFile, int line);
#define LogLastError() LogLastErrorAt(CV_SRC, __LINE__)

// The debug logs' settings, read by the settings module (above this one) and
// handed down: ReadDebugSettings in spool/Settings.h. A key that did not open
// leaves both switches as they were; a path that was not read, or is shorter
// than 4 characters, turns its log off.
struct CDebugLogSettings {
  bool keyOpen = false;
  bool secondaryRead = false;  // logfileb
  std::string secondary;
  bool primaryRead = false;  // logfile
  std::string primary;
};
void ApplyDebugSettings(const CDebugLogSettings& settings);

bool IsPrimaryLogOn();
bool IsSecondaryLogOn();

// Renames a processed spool file to its debug-copy name ("41.zqx" becomes
// "41-<seconds>.debug") and gives that name; a failure leaves the file where
// it is and gives an empty text.
std::string KeepDebugCopy(const char* path);
// Copies into `out` (capacity outSize) the part of `path` from its last path
// separator on, separator included; a path without one is copied whole. Cut to fit.
void PathFileNamePart(const char* path, char* out, std::size_t outSize);

// Formats one entry line (without CR LF) into `out` (capacity kLogLineBuffer);
// exposed for tests of the layout.
std::size_t FormatLogEntry(const char* text, const char* sourceFile, int line, char* out);
