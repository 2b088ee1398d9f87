// mime/FragmentDir.cpp: naming, creation, counting and expiry of fragment
// set directories. Called under the submission lock only (see the header).
#include "mime/FragmentDir.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "base/Sha256.h"
#include "base/Text.h"
#include "log/DebugLog.h"
#include "mime/Decoder.h"
#include "platform/File.h"
#include "platform/System.h"
#include "platform/WinCodes.h"

namespace {

constexpr char kPartsName[] = "parts";
constexpr std::size_t kJoinChunk = 64 * 1024;

bool IsAllowedNameChar(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return std::strchr("-_^$~!#%&{}@`'()", c) != nullptr && c != '\0';
}

// A directory that is already there counts as made. `made`: it was made now.
bool EnsureDirectory(const std::string& path, bool ownerOnly, bool* made = nullptr) {
  if (FileExists(path)) return true;
  if (ownerOnly ? DirectoryCreatePrivate(path) : DirectoryCreate(path)) {
    if (made != nullptr) *made = true;
    return true;
  }
  const DWORD error = PlatformGetLastError();
  if (FileExists(path)) return true;  // made by someone else meanwhile
  PlatformSetLastError(error);
  return false;
}

}  // namespace

std::string WithoutTrailingSeparator(const std::string& dir) {
  if (!dir.empty() && dir.back() == kPathSeparator) return dir.substr(0, dir.size() - 1);
  return dir;
}

int IsDeviceName(const char* name) {
  static constexpr const char* kDevices[] = {"aux",  "con",  "nul",  "prn",  "com1", "com2",
                                             "com3", "com4", "lpt1", "lpt2", "lpt3"};
  for (const char* device : kDevices)
    if (EqualsNoCase(name, device)) return 1;
  return 0;
}

std::string FragmentShortName(std::string_view id) {
  std::string name;
  std::size_t taken = 0;
  for (char c : id) {
    if (taken == kFragmentShortNameChars) break;
    if (!IsAllowedNameChar(static_cast<unsigned char>(c))) continue;
    if (taken == 8) name += '.';
    name += c;
    ++taken;
  }
  if (taken == 0 || IsDeviceName(name.c_str())) name += 'x';
  return name;
}

std::string FragmentDirName(std::string_view id) {
  // The suffix must not be forgeable, or a crafted id could slip its
  // fragments into somebody else's set.
  CSha256 digest;
  digest.Add(reinterpret_cast<const unsigned char*>(id.data()), id.size());
  const std::array<unsigned char, kSha256DigestSize> sum = digest.Finish();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = FragmentShortName(id);
  name += '-';
  for (std::size_t i = 0; i < 16; ++i) {  // 128 bits are plenty against collisions
    name += kHex[sum[i] >> 4];
    name += kHex[sum[i] & 0x0f];
  }
  return name;
}

std::string FragmentPartsDir() {
  std::string base = TempDirectory();
  if (base.size() > kFragmentBaseMaxLength) base.resize(kFragmentBaseMaxLength);
  if (base.empty()) {
    // An empty TMP would put the store at the root of the file system.
    PlatformSetLastError(ERROR_PATH_NOT_FOUND);
    PrintFileError("TMP");
    return std::string();
  }
  EnsureDirectory(base, false);  // the default base may be missing; TMP's is the user's business
  std::string parts = base;
  if (parts.back() != kPathSeparator) parts += kPathSeparator;
  parts += kPartsName;
  bool made = false;
  if (!EnsureDirectory(parts, true, &made)) {
    PrintFileError(parts);
    return std::string();
  }
  // Its name must outlive a power cut as the fragments below it do; the
  // hand-offs sync the store itself and the sets in it.
  if (made && !DirectorySync(base)) PrintFileError(base);
  // In a shared TMP another user could have made "parts" first and could then
  // steer or read what is stored below it.
  if (!DirectoryIsPrivate(parts)) {
    PrintFileError(parts);
    DebugLogStr("DECODE - Fragment store is not private to the gateway's user: ", parts.c_str(), CV_SRC,
                __LINE__);
    return std::string();
  }
  return parts;
}

std::optional<std::string> MakeFragmentDir(std::string_view id) {
  const std::string parts = FragmentPartsDir();
  if (parts.empty()) return std::nullopt;
  const std::string dir = parts + kPathSeparator + FragmentDirName(id);
  if (!EnsureDirectory(dir, true)) {
    PrintFileError(dir);
    return std::nullopt;
  }
  return dir + kPathSeparator;
}

int ParseFragmentNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate towards the sign so that INT_MIN is reachable, stop at the bound.
  constexpr long long kMax = std::numeric_limits<int>::max();
  constexpr long long kMin = std::numeric_limits<int>::min();
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (negative ? -(text[i] - '0') : (text[i] - '0'));
    if (value > kMax) return static_cast<int>(kMax);
    if (value < kMin) return static_cast<int>(kMin);
  }
  return static_cast<int>(value);
}

bool WriteFragmentCount(const std::string& dir, int total) {
  const std::string path = dir + kCountFileName;
  CStdioFile file = CStdioFile::Open(path, "w");
  if (!file.IsOpen()) {
    PrintFileError(path);
    return false;
  }
  char text[16];
  std::snprintf(text, sizeof text, "%d\n", total);
  const std::size_t length = std::strlen(text);
  const bool written = file.Write(text, length) == length;
  if (!file.Close() || !written) {
    PrintFileError(path);
    return false;
  }
  return true;
}

int ReadFragmentCount(const std::string& dir) {
  CStdioFile file = CStdioFile::Open(dir + kCountFileName, "r");
  if (!file.IsOpen()) return 0;
  char line[64];
  if (file.GetLine(line, sizeof line) == nullptr) return 0;
  const int total = ParseFragmentNumber(line);
  return (total < 0 || total > kMaxFragments) ? 0 : total;
}

bool RemoveFragmentSet(const std::string& dir) {
  const std::string bare = WithoutTrailingSeparator(dir);
  std::vector<std::string> names;
  if (FindFiles(bare, "*", names) == ERROR_SUCCESS)
    for (const std::string& name : names) FileDelete(dir + name);
  return DirectoryRemove(bare);
}

int ExpireFragmentSets(const std::string& partsDir, std::string_view keepName, std::int64_t maxAgeSeconds) {
  std::vector<std::string> sets;
  if (FindFiles(partsDir, "*", sets) != ERROR_SUCCESS) return 0;
  int removed = 0;
  for (const std::string& name : sets) {
    if (name == keepName) continue;
    const std::string dir = partsDir + kPathSeparator + name + kPathSeparator;
    std::vector<std::string> files;
    const long found = FindFiles(WithoutTrailingSeparator(dir), "*", files);
    if (found != ERROR_SUCCESS && found != ERROR_FILE_NOT_FOUND) continue;  // not a directory
    // The youngest of the directory and its files decides: storing a fragment
    // again rewrites a file without touching the directory.
    std::int64_t age = FileAgeSeconds(WithoutTrailingSeparator(dir));
    for (const std::string& file : files) {
      const std::int64_t fileAge = FileAgeSeconds(dir + file);
      if (fileAge < 0 || fileAge < age) age = fileAge;
    }
    if (age < 0 || age < maxAgeSeconds) continue;
    DebugLogStr("DECODE - Removing fragments of an incomplete partial message: ", dir.c_str(), CV_SRC,
                __LINE__);
    const std::string warning = "removing fragments of an incomplete partial message untouched for " +
                                std::to_string(maxAgeSeconds / 86400) + " days: " + name;
    Warn(warning.c_str());
    if (RemoveFragmentSet(dir))
      ++removed;
    else
      DebugLogStr("DECODE - Could not remove fragment directory: ", dir.c_str(), CV_SRC, __LINE__);
  }
  return removed;
}

bool JoinFragments(const std::string& dir, int total) {
  const std::string joinedPath = dir + kJoinedFileName;
  CStdioFile joined = CStdioFile::Open(joinedPath, "w");
  if (!joined.IsOpen()) {
    PrintFileError(joinedPath);
    return false;
  }
  std::unique_ptr<char[]> chunk(new char[kJoinChunk]);
  bool ok = true;
  for (int number = 1; ok && number <= total; ++number) {
    const std::string path = dir + std::to_string(number);
    CStdioFile fragment = CStdioFile::Open(path, "r");
    if (!fragment.IsOpen()) {
      PrintFileError(path);
      DebugLogStr("DECODE - Partial message fragment vanished before the join: ", path.c_str(), CV_SRC,
                  __LINE__);
      ok = false;
      break;
    }
    for (std::size_t got; ok && (got = fragment.Read(chunk.get(), kJoinChunk)) > 0;)
      ok = joined.Write(chunk.get(), got) == got;
    if (ok && fragment.Error()) {
      PrintFileError(path);
      ok = false;
    } else if (!ok) {
      PrintFileError(joinedPath);
    }
  }
  if (!joined.Close() && ok) {
    PrintFileError(joinedPath);
    ok = false;
  }
  if (!ok) {
    FileDelete(joinedPath);
    Warn("partial message not reassembled; its fragments are kept");
  }
  return ok;
}

void PrintFileError(const std::string& path) {
  std::fprintf(stderr, "%s: %s\n", path.c_str(), PlatformErrorText(PlatformGetLastError()));
}
