// spool/FileNaming.cpp: counters, last names and name-in-use flags in the
// registry, and the search for a free attachment list name in a directory.
//
// Threading: no lock of its own. Each counter step is one RegIncrementCounter
// call, made under the hive's exclusive lock, so even two processes never get
// the same number; the callers serialise the rest (name, flag) of a drawing.
// A drawing (counter, last name, flag) is one registry transaction: all of it
// or nothing. None of it is put on disk here: the hand-off does that once for
// its submissions (FlushFileNames).
#include "spool/FileNaming.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "log/DebugLog.h"
#include "platform/File.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "spool/Settings.h"

namespace {

constexpr DWORD kCounterWrap = 65535;
constexpr std::size_t kPathBuffer = 260;
constexpr std::size_t kShortNameRead = 80;  // FileName, FileNameAtt and GetProgramPath
constexpr std::size_t kAutoNameBuffer = 100;
constexpr std::uint32_t kAutoFileRetryMs = 5000;
constexpr std::uint32_t kNameInUseWaitMs = 25000;

// Reads a flag at each use, 0 when it is missing or the key does not open
// (the key is created when missing).
int ReadFlag(Setting setting) {
  CRegKey key;
  if (CRegKey::Create(kGatewayKey, key) != ERROR_SUCCESS) return 0;
  return static_cast<int>(ReadNumberSetting(key, setting).value);
}

// Reads a text at each use into out (capacity `cap`, at least the table's
// limit and its terminator); empty on any failure.
void ReadText(Setting setting, char* out, std::size_t cap) {
  if (out == nullptr) return;
  out[0] = '\0';
  CRegKey key;
  if (CRegKey::Create(kGatewayKey, key) != ERROR_SUCCESS) return;
  const CTextSetting read = ReadTextSetting(key, setting);
  if (read.Used() && read.value.size() < cap) std::memcpy(out, read.value.c_str(), read.value.size() + 1);
}

// Sets the flag to 0 (the key opened, or created, and written in one step).
void ClearFlag(Setting setting) {
  CRegKey key;
  if (CRegKey::Create(kGatewayKey, key) != ERROR_SUCCESS) return;
  RegWriteDword(key, SettingInfo(setting).name, 0);
}

// Puts the registry on disk; the wait holds no registry lock.
long FlushKey() {
  CRegKey key;
  const long rc = CRegKey::Create(kGatewayKey, key);
  return rc == ERROR_SUCCESS ? key.Flush() : rc;
}

void LogRefused(const char* what, const std::string& path) {
  DebugLogStr(what, path.c_str(), CV_SRC, __LINE__);
}

// The program path into out (kPathBuffer bytes), read at each use. False, with
// `what` logged, when it is there but cannot be used (too long, not a string):
// no name is made from it. An absent one is empty.
bool ReadProgramPath(char* out, const char* what) {
  out[0] = '\0';
  CRegKey key;
  if (CRegKey::Create(kGatewayKey, key) != ERROR_SUCCESS) return true;
  const CTextSetting read = ReadTextSetting(key, Setting::kProgramPath);
  if (read.state == SettingState::kWrongType || read.state == SettingState::kOutOfRange) {
    LogRefused(what, read.stored);
    return false;
  }
  std::snprintf(out, kPathBuffer, "%s", read.value.c_str());
  return true;
}

}  // namespace

long DrawCounter(const char* valueName, long& value) {
  DWORD drawn = 0;
  const long rc = RegIncrementCounter(kGatewayKey, valueName, kCounterWrap, &drawn);
  if (rc == ERROR_SUCCESS) value = static_cast<long>(drawn);
  return rc;
}

long MakeEnvFileName() {
  CRegTransaction tx;
  if (tx.Status() != ERROR_SUCCESS) return tx.Status();
  CRegKey key;
  long rc = CRegKey::Create(kGatewayKey, key);
  if (rc != ERROR_SUCCESS) return rc;
  char programPath[kPathBuffer];
  const CTextSetting path = ReadTextSetting(key, Setting::kProgramPath);
  if (path.state == SettingState::kAbsent) return ERROR_FILE_NOT_FOUND;
  if (!path.Used()) {
    LogRefused("MakeEnvFileName Error: envelope path too long: ", path.stored);
    return ERROR_FILENAME_EXCED_RANGE;
  }
  std::snprintf(programPath, sizeof(programPath), "%s", path.value.c_str());
  // The counter must exist: its number is read before anything changes.
  if (ReadNumberSetting(key, Setting::kOUTIndex).state == SettingState::kAbsent) return ERROR_FILE_NOT_FOUND;
  AddTrailingBackslash(programPath, sizeof(programPath));

  long value = 0;
  rc = DrawCounter("OUTIndex", value);
  if (rc != ERROR_SUCCESS) return rc;
  char name[kPathBuffer];
  const int length = std::snprintf(name, sizeof(name), "%sOUT%cENV%ld", programPath, kPathSeparator, value);
  // The name is read back through an 80-byte buffer; a longer one would come
  // back empty, so it is refused here.
  if (length < 0 || static_cast<std::size_t>(length) >= kShortNameRead) {
    LogRefused("MakeEnvFileName Error: envelope path too long: ", programPath);
    return ERROR_FILENAME_EXCED_RANGE;
  }
  rc = RegWriteString(key, "FileName", name);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegWriteDword(key, "FileNameUse", 1);
  if (rc != ERROR_SUCCESS) return rc;
  return tx.Commit();
}

void GetFileName(char* out) { ReadText(Setting::kFileName, out, kShortNameRead); }

int IsFileNameInUse() { return ReadFlag(Setting::kFileNameUse); }

void ReleaseFileName() {
  ClearFileNameInUse();
  FlushFileNames();
}

void ClearFileNameInUse() { ClearFlag(Setting::kFileNameUse); }

long FlushFileNames() { return FlushKey(); }

long MakeAttFileName(const char* extension) {
  if (extension == nullptr) extension = "";
  CRegTransaction tx;
  if (tx.Status() != ERROR_SUCCESS) return tx.Status();
  CRegKey key;
  long rc = CRegKey::Create(kGatewayKey, key);
  if (rc != ERROR_SUCCESS) return rc;
  long value = 0;
  rc = DrawCounter("OUTIndexAtt", value);
  if (rc != ERROR_SUCCESS) return rc;
  char name[kPathBuffer];
  const int length = std::snprintf(name, sizeof(name), "ATT%ld.%s", value, extension);
  if (length < 0 || static_cast<std::size_t>(length) >= kShortNameRead) {
    LogRefused("MakeAttFileName Error: extension too long: ", extension);
    return ERROR_FILENAME_EXCED_RANGE;
  }
  rc = RegWriteString(key, "FileNameAtt", name);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegWriteDword(key, "FileNameUseAtt", 1);
  if (rc != ERROR_SUCCESS) return rc;
  return tx.Commit();
}

void GetFileNameAtt(char* out) { ReadText(Setting::kFileNameAtt, out, kShortNameRead); }

int IsFileNameAttInUse() { return ReadFlag(Setting::kFileNameUseAtt); }

// The hand-off puts the registry on disk once for the whole submission, not
// once per attachment.
void ReleaseFileNameAtt() { ClearFlag(Setting::kFileNameUseAtt); }

namespace {
std::mutex g_WaitMutex;
std::condition_variable g_WaitStopped;
bool g_WaitsStopped = false;  // guarded by g_WaitMutex
}  // namespace

bool WaitWhileNameInUse(int (*inUse)(), const char* text) {
  while (inUse() == 1) {
    // Logged each time round: a flag that something else never clears must
    // show up in the log, not just as a silent stall.
    DebugLog2Str(text, "", CV_SRC, __LINE__);
    DebugLogStr(text, "", CV_SRC, __LINE__);
    std::unique_lock<std::mutex> lock(g_WaitMutex);
    if (g_WaitStopped.wait_for(lock, std::chrono::milliseconds(kNameInUseWaitMs),
                               [] { return g_WaitsStopped; }))
      return false;
  }
  return true;
}

void StopNameWaits(bool stop) {
  {
    std::lock_guard<std::mutex> lock(g_WaitMutex);
    g_WaitsStopped = stop;
  }
  g_WaitStopped.notify_all();
}

void GetProgramPath(char* out) { ReadText(Setting::kProgramPath, out, kShortNameRead); }

void GetMsgCountFileName(char* out) {
  if (out == nullptr) return;
  char programPath[kPathBuffer];
  if (!ReadProgramPath(programPath, "GetMsgCountFileName Error: path too long: ")) {
    out[0] = '\0';
    return;
  }
  const int length = std::snprintf(out, kPathBuffer, "%sOUT%cMsgcnt.imp", programPath, kPathSeparator);
  if (length < 0 || static_cast<std::size_t>(length) >= kPathBuffer) {
    LogRefused("GetMsgCountFileName Error: path too long: ", programPath);
    out[0] = '\0';
  }
}

void CreateAutoFile(char* out, CFile* held) {
  if (out == nullptr) return;
  out[0] = '\0';
  char programPath[kPathBuffer];
  if (!ReadProgramPath(programPath, "CreateAutoFile Error: path too long: ")) return;
  const std::string directory = std::string(programPath) + "OUT" + kPathSeparatorText;
  if (directory.size() >= kPathBuffer) {
    LogRefused("CreateAutoFile Error: path too long: ", programPath);
    return;
  }

  char name[kAutoNameBuffer] = {};
  int rc = CreateUniqueFile("ATTC", "imp", directory.c_str(), name, sizeof(name), held);
  if (rc != 0) {
    const std::string code = std::to_string(rc);
    bool retry = true;
    switch (rc) {
      case 2:
        DebugLog2Str("SMTPIn- CreateAutoFile failed, no more handles: ", code.c_str(), CV_SRC, __LINE__);
        break;
      case 3:
        DebugLog2Str("SMTPIn- CreateAutoFile failed, invalid path: ", code.c_str(), CV_SRC, __LINE__);
        retry = false;
        break;
      case 4:
        DebugLog2Str("SMTPIn- CreateAutoFile failed, out of file names: ", code.c_str(), CV_SRC, __LINE__);
        retry = false;
        break;
      default:
        DebugLog2Str("SMTPIn- CreateAutoFile failed, unknown error: ", code.c_str(), CV_SRC, __LINE__);
        break;
    }
    if (retry) {
      // Handles or other resources may be free again a moment later.
      SleepMs(kAutoFileRetryMs);
      name[0] = '\0';
      rc = CreateUniqueFile("ATTC", "imp", directory.c_str(), name, sizeof(name), held);
      if (rc != 0) DebugLog2Str("SMTPIn- CreateAutoFile failed second attempt", "", CV_SRC, __LINE__);
    }
    if (rc != 0) name[0] = '\0';
  }
  std::snprintf(out, kPathBuffer, "%s%s", directory.c_str(), name);
}

namespace {

constexpr long kSequentialLimit = 39;
constexpr int kPhase2Budget = 20;
constexpr long kNumberSpace = 46656;  // 36^3

enum class Phase { kSequential, kDecimal, kRadix36 };

// Three digits of n in `radix`, most significant first, 0-9 then A-Z.
void ThreeDigits(long n, int radix, char out[4]) {
  static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (int i = 2; i >= 0; --i) {
    out[i] = kDigits[n % radix];
    n /= radix;
  }
  out[3] = '\0';
}

// Files in `directory` whose name is `stem` before the dot, any extension.
// ERROR_SUCCESS and the count (up to `limit`), or the search failure.
long CountStem(const std::string& directory, const std::string& stem, std::size_t limit, std::size_t& count) {
  const long rc = CountMatchingEntries(directory, (stem + ".*").c_str(), limit, count);
  if (rc == ERROR_PATH_NOT_FOUND) {
    count = 0;
    return ERROR_SUCCESS;
  }
  return rc;
}

bool IsPlainNamePart(const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == '*' || c == '?' || c == '/' || c == '\\' || c == '.') return false;
  }
  return true;
}

// The next candidate number after `n` has been found taken, by phase; -1 when
// every number has been tried.
struct CandidateSequence {
  long n = 0;
  int radix = 10;
  Phase phase = Phase::kSequential;
  int budget = kPhase2Budget;
  long start = -1;  // first number of the radix-36 phase

  static void Clock(long& seconds, long& milliseconds) {
    std::int64_t s = 0;
    int ms = 0;
    SystemTimeNow(s, ms);
    seconds = static_cast<long>(s % 60);
    milliseconds = ms;
  }

  // Chooses the number to try next (n is the one after the last tried).
  bool Next() {
    long seconds = 0;
    long milliseconds = 0;
    switch (phase) {
      case Phase::kSequential:
        if (n <= kSequentialLimit) return true;
        Clock(seconds, milliseconds);
        n = (seconds + milliseconds) % (999 - kSequentialLimit) + kSequentialLimit + 1;
        phase = Phase::kDecimal;
        return true;
      case Phase::kDecimal:
        if (n >= 1000) n = kSequentialLimit + 1;
        if (budget > 0) {
          --budget;
          return true;
        }
        Clock(seconds, milliseconds);
        n = (milliseconds * 53 + seconds) % (kNumberSpace - 10) + 10;
        start = n;
        radix = 36;
        phase = Phase::kRadix36;
        return true;
      case Phase::kRadix36:
        // After the wrap the start is checked too, so the search ends even when
        // it began at the lowest number.
        if (n >= kNumberSpace) n = 10;
        return n != start;
    }
    return false;
  }
};

}  // namespace

int CreateUniqueFile(const char* prefix, const char* extension, const char* directory, char* out,
                     std::size_t outSize, CFile* held) {
  if (prefix == nullptr || extension == nullptr || directory == nullptr || out == nullptr) return 1;
  const std::size_t directoryLength = std::strlen(directory);
  if (directoryLength > 256 || std::strlen(prefix) != 4 || std::strlen(extension) > 3) return 1;
  if (!IsPlainNamePart(prefix) || !IsPlainNamePart(extension)) return 1;
  // "~" + prefix + three digits + "." + extension + NUL.
  if (outSize < 1 + 4 + 3 + 1 + std::strlen(extension) + 1) return 1;
  if (directoryLength == 0 || directory[directoryLength - 1] != kPathSeparator) return 5;
  out[0] = '\0';

  const std::string dir = directory;
  CandidateSequence candidates;
  for (;;) {
    if (!candidates.Next()) return 4;
    if (candidates.n >= kNumberSpace) return 4;
    char digits[4];
    ThreeDigits(candidates.n, candidates.radix, digits);
    const std::string stem = std::string("~") + prefix + digits;
    const std::string name = stem + "." + extension;
    const std::string path = dir + name;

    // The name is created first and the directory searched once, after: a
    // search reads the whole directory, and a stem already taken with another
    // extension is found by that one search as well.
    CFile file = CFile::Open(path, held != nullptr ? FileAccess::kReadWriteAndDelete : FileAccess::kReadWrite,
                             FileShare::kReadWrite, FileCreation::kCreateNew);
    if (!file.IsValid()) {
      const long error = static_cast<long>(PlatformGetLastError());
      if (error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) return 3;
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
        ++candidates.n;
        continue;
      }
      if (error == ERROR_TOO_MANY_OPEN_FILES) return 2;
      return 5;
    }
    if (held == nullptr) file.Close();

    // Our file must be the only one with this stem, whatever the extension; a
    // file of another process that appeared meanwhile counts too: then neither
    // keeps it.
    std::size_t matches = 0;
    const long rc = CountStem(dir, stem, 2, matches);
    if (rc != ERROR_SUCCESS) {
      if (held != nullptr) file.DeleteThrough();
      return 5;
    }
    if (matches == 1) {
      std::snprintf(out, outSize, "%s", name.c_str());
      if (held != nullptr) *held = std::move(file);
      return 0;
    }
    if (held == nullptr || !file.DeleteThrough()) FileDelete(path);
    ++candidates.n;
  }
}

void AddTrailingBackslash(char* path, std::size_t size) {
  if (path == nullptr || size == 0) return;
  const void* end = std::memchr(path, '\0', size);
  if (end == nullptr) return;  // not a terminated text within its buffer
  const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(end) - path);
  if (length == 0 || path[length - 1] == kPathSeparator) return;
  if (length + 1 >= size) {
    DebugLogStr("AddTrailingBackslash Error: no room for the separator: ", path, CV_SRC, __LINE__);
    return;
  }
  path[length] = kPathSeparator;
  path[length + 1] = '\0';
}
