// tests/unit/TempDir.h: a private temporary directory for one test, removed
// with everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include "platform/File.h"

class CTempDir {
 public:
  CTempDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && m_Path.empty(); ++attempt) {
      const auto candidate =
          std::filesystem::temp_directory_path() / ("cvsmtpgw-test-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) m_Path = candidate.string();
    }
    if (m_Path.empty()) ADD_FAILURE() << "cannot create a temporary directory";
  }
  CTempDir(const CTempDir&) = delete;
  ~CTempDir() {
    std::error_code ignored;
    if (!m_Path.empty()) std::filesystem::remove_all(m_Path, ignored);
  }
  const std::string& Path() const { return m_Path; }
  std::string File(const std::string& name) const { return m_Path + kPathSeparatorText + name; }

 private:
  std::string m_Path;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
// Polls `condition` every 10 ms for at most `seconds`; whether it came true.
inline bool WaitUntil(const std::function<bool()>& condition, int seconds = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(10)))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}
