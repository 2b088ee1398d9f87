// tests/unit/SpoolTestSupport.h: a private hive and spool directory per test.
// CVSMTPGW_HIVE points at a fresh hive in a temporary directory holding
// ProgramPath (ending in the separator) with IN/ and OUT/; at the end the debug
// logs are switched off and it all goes. One test thread at a time.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "log/DebugLog.h"
#include "platform/File.h"
#include "platform/Registry.h"

class SpoolSandbox {
 public:
  SpoolSandbox() {
    std::filesystem::create_directories(In());
    std::filesystem::create_directories(Out());
    ::setenv("CVSMTPGW_HIVE", HivePath().c_str(), 1);
  }
  ~SpoolSandbox() {
    SetText("logfile", "");
    SetText("logfileb", "");
    ReadDebugSettings();
    ::unsetenv("CVSMTPGW_HIVE");
  }

  std::string Root() const { return m_Dir.Path() + kPathSeparatorText; }
  std::string HivePath() const { return Root() + "hive.reg"; }
  std::string ProgramPath() const { return Root() + "spool" + kPathSeparatorText; }
  std::string In() const { return ProgramPath() + "IN" + kPathSeparatorText; }
  std::string Out() const { return ProgramPath() + "OUT" + kPathSeparatorText; }

  void SetNumber(const char* name, DWORD value) const {
    CRegKey key = Key();
    RegWriteDword(key, name, value);
  }
  void SetText(const char* name, const std::string& text) const {
    CRegKey key = Key();
    RegWriteString(key, name, text.c_str());
  }
  DWORD Number(const char* name) const {  // 0xFFFFFFFF when missing
    CRegKey key = Key();
    DWORD value = 0xFFFFFFFF;
    RegReadDword(key, name, &value);
    return value;
  }
  void WithProgramPath() const { SetText("ProgramPath", ProgramPath()); }
  void EnableLogs() const {
    SetText("logfile", Root() + "primary.log");
    SetText("logfileb", Root() + "secondary.log");
    ReadDebugSettings();
  }
  std::string PrimaryLog() const { return ReadWholeFile(Root() + "primary.log"); }
  std::string SecondaryLog() const { return ReadWholeFile(Root() + "secondary.log"); }

  static void Touch(const std::string& path) { WriteWholeFile(path, "x"); }
  static std::string ReadWhole(const std::string& path) { return ReadWholeFile(path); }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  static CRegKey Key() {
    CRegKey key;
    CRegKey::Create(kGatewayKey, key);
    return key;
  }
  CTempDir m_Dir;
};
