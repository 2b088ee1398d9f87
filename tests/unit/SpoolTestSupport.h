// tests/unit/SpoolTestSupport.h: a private hive (CVSMTPGW_HIVE) and spool directory
// ProgramPath/IN/ and OUT/ per test; the debug logs go off at the end. One test thread at a time.
#pragma once

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "log/DebugLog.h"
#include "spool/Settings.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/Registry.h"

class SpoolSandbox {
 public:
  SpoolSandbox() {
    std::filesystem::create_directories(In());
    std::filesystem::create_directories(Out());
    SetEnvironmentValue("CVSMTPGW_HIVE", HivePath().c_str());
    // Where the registry is the system's, every test starts from an empty key.
    CRegKey::DeleteKey(kGatewayKey);
  }
  ~SpoolSandbox() {
    SetLogs("", "");
    SetEnvironmentValue("CVSMTPGW_HIVE", nullptr);
  }

  std::string Root() const { return m_Dir.Path() + kPathSeparatorText; }
  std::string HivePath() const { return Root() + "hive.reg"; }
  std::string ProgramPath() const { return Root() + "spool" + kPathSeparatorText; }
  std::string In() const { return ProgramPath() + "IN" + kPathSeparatorText; }
  std::string Out() const { return ProgramPath() + "OUT" + kPathSeparatorText; }

  // Written at once (a change waits in memory otherwise), so other processes
  // see it without waiting for the registry's own write, and nothing is left
  // pending when the sandbox goes.
  void SetNumber(const char* name, DWORD value) const {
    CRegKey key = Key();
    RegWriteDword(key, name, value);
    key.Flush();
  }
  void SetText(const char* name, const std::string& text) const {
    CRegKey key = Key();
    RegWriteString(key, name, text.c_str());
    key.Flush();
  }
  DWORD Number(const char* name) const {  // 0xFFFFFFFF when missing
    DWORD value = 0xFFFFFFFF;
    RegReadDword(Key(), name, &value);
    return value;
  }
  void WithProgramPath() const { SetText("ProgramPath", ProgramPath()); }
  void EnableLogs() const { SetLogs(Root() + "primary.log", Root() + "secondary.log"); }
  void SetLogs(const std::string& primary, const std::string& secondary) const {
    SetText("logfile", primary);
    SetText("logfileb", secondary);
    ReadDebugSettings();
  }
  std::string PrimaryLog() const { return ReadWholeFile(Root() + "primary.log"); }
  std::string SecondaryLog() const { return ReadWholeFile(Root() + "secondary.log"); }

  // The gateway's key, made if missing.
  static CRegKey Key() {
    CRegKey key;
    CRegKey::Create(kGatewayKey, key);
    return key;
  }
  static void Touch(const std::string& path) { WriteWholeFile(path, "x"); }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  CTempDir m_Dir;
};

// The names in `dir`, sorted.
inline std::vector<std::string> DirectoryNames(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}
