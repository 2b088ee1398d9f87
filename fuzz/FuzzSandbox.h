// fuzz/FuzzSandbox.h: the private directory a fuzz target works in: a hive
// (CVSMTPGW_HIVE) with the settings it asks for, the spool ProgramPath/IN/
// and OUT/, TMP (the fragment store's base) and a syslog socket path that
// nothing listens on, all below one new directory under TMPDIR that is
// removed when the process ends.
//
// One per process, made before the first registry call and never moved;
// used by the fuzzing thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CFuzzSandbox {
 public:
  // Settings of the gateway's key: text values and numbers (dword).
  struct CSettings {
    std::vector<std::pair<std::string, std::string>> texts;
    std::vector<std::pair<std::string, unsigned>> numbers;
  };

  // Creates the directories, writes the hive (ProgramPath is added) and sets
  // the environment. Ends the process with a message when it cannot.
  explicit CFuzzSandbox(const CSettings& settings);
  CFuzzSandbox(const CFuzzSandbox&) = delete;
  CFuzzSandbox& operator=(const CFuzzSandbox&) = delete;
  ~CFuzzSandbox();  // removes everything below Root()

  const std::string& Root() const { return m_Root; }  // ends with '/'
  std::string ProgramPath() const { return m_Root + "spool/"; }
  std::string In() const { return ProgramPath() + "IN/"; }
  std::string Out() const { return ProgramPath() + "OUT/"; }
  std::string Tmp() const { return m_Root + "tmp"; }

  // The names in `dir`, sorted.
  static std::vector<std::string> Names(const std::string& dir);
  // Removes everything inside `dir`, which stays.
  static void Clear(const std::string& dir);
  static void WriteFile(const std::string& path, std::string_view bytes);
  static std::string ReadFile(const std::string& path);

 private:
  std::string m_Root;
};

// The process's sandbox: made with `settings` by the first call (the target's
// LLVMFuzzerInitialize), returned as it is by later ones.
CFuzzSandbox& FuzzSandbox(const CFuzzSandbox::CSettings& settings = {});

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Ends the process through abort() with `what` on standard error, so that the
// fuzzer records the input as a crash: a broken invariant, not a sanitizer report.
[[noreturn]] void FuzzFail(const std::string& what);
#define FUZZ_CHECK(condition, what)   \
  do {                                \
    if (!(condition)) FuzzFail(what); \
  } while (0)

// The input split at the lines "%%NEXT%%" (LF line ends): several mails or
// messages in one input, at most `limit` of them (the last takes the rest).
std::vector<std::string_view> SplitInputs(std::string_view input, std::size_t limit);
