// tests/unit/TempDir.h: a private temporary directory for one test, removed
// with everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/File.h"

class CTempDir {
 public:
  CTempDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && m_Path.empty(); ++attempt) {
      const auto candidate = std::filesystem::temp_directory_path() / ("cvsmtpgw-test-" + std::to_string(random()));
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
