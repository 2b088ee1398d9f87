// tests/unit/SpoolTestSupport.h: a private hive and spool directory per test.
//
// A SpoolSandbox points CVSMTPGW_HIVE at a fresh hive in its own temp
// directory, which holds ProgramPath (ending in the separator) with IN/ and
// OUT/; at the end it switches the debug logs off and removes it all.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "log/DebugLog.h"
#include "platform/File.h"
#include "platform/Registry.h"

class SpoolSandbox {
 public:
  SpoolSandbox() {
    std::random_device random;
    do {
      m_Root = std::filesystem::temp_directory_path() / ("cvsmtpgw-test-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(m_Root));
    std::filesystem::create_directories(m_Root / "spool" / "IN");
    std::filesystem::create_directories(m_Root / "spool" / "OUT");
    ::setenv("CVSMTPGW_HIVE", HivePath().c_str(), 1);
  }
  ~SpoolSandbox() {
    SetText("logfile", "");
    SetText("logfileb", "");
    ReadDebugSettings();
    ::unsetenv("CVSMTPGW_HIVE");
    std::error_code ignored;
    std::filesystem::remove_all(m_Root, ignored);
  }

  std::string Root() const { return m_Root.string() + kPathSeparatorText; }
  std::string HivePath() const { return Root() + "hive.reg"; }
  std::string ProgramPath() const { return Root() + "spool" + kPathSeparatorText; }
  std::string In() const { return ProgramPath() + "IN" + kPathSeparatorText; }
  std::string Out() const { return ProgramPath() + "OUT" + kPathSeparatorText; }

  void SetNumber(const char* name, DWORD value) const {
    CRegKey key;
    CRegKey::Create(kGatewayKey, key);
    RegWriteDword(key, name, value);
  }
  void SetText(const char* name, const std::string& text) const {
    CRegKey key;
    CRegKey::Create(kGatewayKey, key);
    RegWriteString(key, name, text.c_str());
  }
  DWORD Number(const char* name) const {  // 0xFFFFFFFF when missing
    CRegKey key;
    CRegKey::Create(kGatewayKey, key);
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
  std::string PrimaryLog() const { return ReadWhole(Root() + "primary.log"); }
  std::string SecondaryLog() const { return ReadWhole(Root() + "secondary.log"); }

  // Runs a shell command line; its exit status, or -1 if it did not run.
  int RunShell(const std::string& command) const {
    const std::string rcFile = Root() + "exit-status";
    std::filesystem::remove(rcFile);
    std::system(("(" + command + "); echo $? > '" + rcFile + "'").c_str());
    int rc = -1;
    std::ifstream(rcFile) >> rc;
    return rc;
  }

  static void Touch(const std::string& path) { std::ofstream(path, std::ios::binary) << "x"; }
  static std::string ReadWhole(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::filesystem::path m_Root;
};
