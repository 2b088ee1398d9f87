// tests/unit/SpoolTestSupport.h: a private hive and spool directory per test,
// and running programs through the shell.
//
// Each SpoolSandbox points CVSMTPGW_HIVE at a fresh hive file in its own temp
// directory, which holds ProgramPath (ending in the separator) with IN/ and
// OUT/, and removes it all at the end. Debug logs are switched off again when
// the sandbox ends. Used by one test thread at a time.
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
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
      m_Root = base / ("cvsmtpgw-test-" + std::to_string(random()));
      if (std::filesystem::create_directory(m_Root)) break;
    }
    std::filesystem::create_directories(m_Root / "spool" / "IN");
    std::filesystem::create_directories(m_Root / "spool" / "OUT");
    m_ProgramPath = (m_Root / "spool").string() + kPathSeparatorText;
    ::setenv("CVSMTPGW_HIVE", HivePath().c_str(), 1);
  }
  SpoolSandbox(const SpoolSandbox&) = delete;
  SpoolSandbox& operator=(const SpoolSandbox&) = delete;
  ~SpoolSandbox() {
    // A key without log values switches both logs off for the next test.
    Key().DeleteValue("logfile");
    Key().DeleteValue("logfileb");
    ReadDebugSettings();
    ::unsetenv("CVSMTPGW_HIVE");
    std::error_code ignored;
    std::filesystem::remove_all(m_Root, ignored);
  }

  std::string Root() const { return m_Root.string() + kPathSeparatorText; }
  std::string HivePath() const { return (m_Root / "hive.reg").string(); }
  const std::string& ProgramPath() const { return m_ProgramPath; }
  std::string In() const { return m_ProgramPath + "IN" + kPathSeparatorText; }
  std::string Out() const { return m_ProgramPath + "OUT" + kPathSeparatorText; }

  CRegKey Key() const {
    CRegKey key;
    CRegKey::Create(kGatewayKey, key);
    return key;
  }
  void SetNumber(const char* name, DWORD value) const {
    CRegKey key = Key();
    RegWriteDword(key, name, value);
  }
  void SetText(const char* name, const std::string& text) const {
    CRegKey key = Key();
    RegWriteString(key, name, text.c_str());
  }
  // Reads a number; `fallback` when it is missing.
  DWORD Number(const char* name, DWORD fallback = 0xFFFFFFFF) const {
    CRegKey key = Key();
    DWORD value = fallback;
    DWORD size = sizeof(value);
    if (key.QueryValue(name, nullptr, &value, &size) != ERROR_SUCCESS) return fallback;
    return value;
  }
  std::string Text(const char* name) const {
    CRegKey key = Key();
    char buffer[1024] = {};
    DWORD size = sizeof(buffer) - 1;
    if (key.QueryValue(name, nullptr, buffer, &size) != ERROR_SUCCESS) return "<absent>";
    return buffer;
  }
  // Sets ProgramPath and switches the primary (and, if given, secondary) log on.
  void WithProgramPath() const { SetText("ProgramPath", m_ProgramPath); }
  std::string EnableLogs() const {
    SetText("logfile", Root() + "primary.log");
    SetText("logfileb", Root() + "secondary.log");
    ReadDebugSettings();
    return Root() + "primary.log";
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
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
  }

 private:
  std::filesystem::path m_Root;
  std::string m_ProgramPath;
};

