// spool/StagedNames.cpp: staged names of submission files.
#include "spool/StagedNames.h"

namespace {
constexpr char kMark = '~';
constexpr std::string_view kEnvelope = "ENV";
constexpr std::size_t kMaxNumberDigits = 20;
}  // namespace

std::string SpoolNumber(std::string_view spoolPath) {
  const std::size_t sep = spoolPath.find_last_of("/\\");
  std::string_view name = sep == std::string_view::npos ? spoolPath : spoolPath.substr(sep + 1);
  const std::size_t dot = name.find('.');
  return std::string(dot == std::string_view::npos ? name : name.substr(0, dot));
}

std::string StagedPrefix(std::string_view number) { return kMark + std::string(number) + kMark; }

std::string StagedEnvelopeName(std::string_view number) { return StagedName(number, kEnvelope); }

std::string StagedName(std::string_view number, std::string_view finalName) {
  return StagedPrefix(number) + std::string(finalName);
}

bool ParseStagedName(std::string_view name, std::string& number, std::string& rest) {
  if (name.size() < 3 || name[0] != kMark) return false;
  const std::size_t end = name.find(kMark, 1);
  if (end == std::string_view::npos || end == 1 || end - 1 > kMaxNumberDigits || end + 1 >= name.size())
    return false;
  for (std::size_t i = 1; i < end; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  number.assign(name.substr(1, end - 1));
  rest.assign(name.substr(end + 1));
  return true;
}
