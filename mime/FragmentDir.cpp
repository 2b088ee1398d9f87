// mime/FragmentDir.cpp: naming, creation, counting and expiry of fragment
// set directories. Called under the submission lock only (see the header).
#include "mime/FragmentDir.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "log/DebugLog.h"
#include "mime/Decoder.h"
#include "platform/File.h"
#include "platform/System.h"
#include "platform/Text.h"
#include "platform/WinCodes.h"

namespace {

constexpr char kPartsName[] = "parts";
constexpr std::size_t kJoinChunk = 64 * 1024;

// SHA-256 (FIPS 180-4): the directory suffix must not be forgeable, or a
// crafted id could slip its fragments into somebody else's set.
class CSha256 {
 public:
  void Add(const unsigned char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      m_Block[m_Used++] = data[i];
      if (m_Used == 64) {
        Compress();
        m_Used = 0;
      }
    }
    m_Bits += static_cast<std::uint64_t>(size) * 8;
  }

  std::array<unsigned char, 32> Finish() {
    const std::uint64_t bits = m_Bits;
    const unsigned char pad = 0x80;
    Add(&pad, 1);
    const unsigned char zero = 0;
    while (m_Used != 56) Add(&zero, 1);
    unsigned char length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Add(length, 8);
    std::array<unsigned char, 32> out{};
    for (int i = 0; i < 8; ++i)
      for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<unsigned char>(m_State[i] >> (24 - 8 * j));
    return out;
  }

 private:
  static std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

  void Compress() {
    static constexpr std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = (std::uint32_t{m_Block[4 * i]} << 24) | (std::uint32_t{m_Block[4 * i + 1]} << 16) |
             (std::uint32_t{m_Block[4 * i + 2]} << 8) | std::uint32_t{m_Block[4 * i + 3]};
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t v[8];
    std::memcpy(v, m_State, sizeof v);
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t s1 = Rotr(v[4], 6) ^ Rotr(v[4], 11) ^ Rotr(v[4], 25);
      const std::uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
      const std::uint32_t t1 = v[7] + s1 + ch + k[i] + w[i];
      const std::uint32_t s0 = Rotr(v[0], 2) ^ Rotr(v[0], 13) ^ Rotr(v[0], 22);
      const std::uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
      const std::uint32_t t2 = s0 + maj;
      std::memmove(v + 1, v, 7 * sizeof v[0]);
      v[4] += t1;
      v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i) m_State[i] += v[i];
  }

  std::uint32_t m_State[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  unsigned char m_Block[64] = {};
  std::size_t m_Used = 0;
  std::uint64_t m_Bits = 0;
};

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
  CSha256 digest;
  digest.Add(reinterpret_cast<const unsigned char*>(id.data()), id.size());
  const std::array<unsigned char, 32> sum = digest.Finish();
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
