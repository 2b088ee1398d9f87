// fuzz/FuzzSandbox.cpp: the fuzz targets' private directory and helpers.
#include "FuzzSandbox.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "platform/Registry.h"
#include "platform/posix/HiveFormat.h"

namespace fs = std::filesystem;

// Present when a sanitizer runtime is linked in (weak: the replay build may have none).
extern "C" void __sanitizer_report_error_summary(const char* text) __attribute__((weak));

constexpr std::string_view kNextInput = "\n%%NEXT%%\n";

CFuzzSandbox::CFuzzSandbox(const CSettings& settings) {
  std::error_code error;
  const fs::path base = fs::temp_directory_path(error);
  std::random_device random;
  for (int attempt = 0; attempt < 100 && m_Root.empty() && !error; ++attempt) {
    const fs::path candidate = base / ("cvsmtpgw-fuzz-" + std::to_string(random()));
    if (fs::create_directory(candidate, error)) m_Root = candidate.string() + "/";
  }
  if (m_Root.empty()) FuzzFail("cannot create a private directory below " + base.string());
  fs::permissions(m_Root, fs::perms::owner_all, error);
  for (const std::string& dir : {In(), Out(), Tmp()}) fs::create_directories(dir, error);

  CHive hive;
  CHiveKey& key = hive.AddKey(std::string("HKEY_LOCAL_MACHINE\\") + kGatewayKey);
  CHive::SetValue(key, "ProgramPath", REG_SZ, ProgramPath() + '\0');
  for (const auto& [name, text] : settings.texts) CHive::SetValue(key, name, REG_SZ, text + '\0');
  for (const auto& [name, number] : settings.numbers) {
    std::string bytes;  // little-endian, as the registry keeps a dword
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(number >> shift));
    CHive::SetValue(key, name, REG_DWORD, bytes);
  }
  WriteFile(m_Root + "hive.reg", hive.Serialize());
  ::setenv("CVSMTPGW_HIVE", (m_Root + "hive.reg").c_str(), 1);
  ::setenv("TMP", Tmp().c_str(), 1);
  ::setenv("CVSMTPGW_SYSLOG_SOCKET", (m_Root + "no-syslog").c_str(), 1);
}

CFuzzSandbox::~CFuzzSandbox() {
  // Changes the registry holds go to the hive first, so that nothing writes
  // into the directory after it is gone.
  CRegKey key;
  if (CRegKey::Open(kGatewayKey, key) == ERROR_SUCCESS) key.Flush();
  std::error_code ignored;
  fs::remove_all(m_Root, ignored);
}

CFuzzSandbox& FuzzSandbox(const CFuzzSandbox::CSettings& settings) {
  static CFuzzSandbox sandbox(settings);
  return sandbox;
}

std::vector<std::string> CFuzzSandbox::Names(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void CFuzzSandbox::Clear(const std::string& dir) {
  std::error_code error;
  for (const std::string& name : Names(dir)) fs::remove_all(fs::path(dir) / name, error);
}

void CFuzzSandbox::WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) FuzzFail("cannot write " + path);
}

std::string CFuzzSandbox::ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void FuzzFail(const std::string& what) {
  const std::string text = "fuzz invariant broken: " + what;
  // libFuzzer's -close_fd_mask closes standard error but keeps the
  // sanitizers' report stream: the text goes there when there is one.
  if (__sanitizer_report_error_summary != nullptr) __sanitizer_report_error_summary(text.c_str());
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  std::abort();
}

std::vector<std::string_view> SplitInputs(std::string_view input, std::size_t limit) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < limit) {
    const std::size_t at = input.find(kNextInput);
    if (at == std::string_view::npos) break;
    parts.push_back(input.substr(0, at + 1));  // the mail keeps its last line end
    input.remove_prefix(at + kNextInput.size());
  }
  parts.push_back(input);
  return parts;
}
