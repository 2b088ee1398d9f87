// platform/FaultInjection.cpp: the rules armed for the fault seam.
//
// The state lives on the heap and is never destroyed: checks may still come
// from threads that run while the process ends (quick_exit runs no
// destructors, exit runs them under live threads). Guarded by its mutex; the
// counters and the "anything armed" flag are atomics so that an unarmed check
// takes no lock.
#include "platform/FaultInjection.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/File.h"

namespace {

constexpr std::size_t kOpCount = 8;
constexpr std::size_t kMaxRules = 64;  // rules come from one test; more is a mistake
constexpr int kMaxCount = 1000000;

struct CFaultRule {
  FaultOp op;
  std::string pattern;
  int left;
  int error;
  int skip = 0;  // matching calls still to let pass first
};

struct CFaultState {
  std::mutex mutex;
  std::vector<CFaultRule> rules;  // guarded by mutex
  std::atomic<bool> armed{false};
  std::array<std::atomic<std::uint64_t>, kOpCount> checks{};
  std::once_flag environment;
  std::string stepLog;  // CVSMTPGW_STEP_LOG, read with the rules
};

CFaultState& State() {
  static CFaultState* state = new CFaultState;  // never destroyed, see above
  return *state;
}

std::size_t Index(FaultOp op) { return static_cast<std::size_t>(op); }

bool ParseOp(std::string_view text, FaultOp& op) {
  static constexpr std::pair<std::string_view, FaultOp> kOps[] = {
      {"create", FaultOp::kCreate}, {"write", FaultOp::kWrite}, {"sync", FaultOp::kSync},
      {"rename", FaultOp::kRename}, {"read", FaultOp::kRead},   {"crash", FaultOp::kCrash},
      {"power", FaultOp::kPowerCut}, {"delete", FaultOp::kDelete}};
  for (const auto& [name, value] : kOps) {
    if (text == name) {
      op = value;
      return true;
    }
  }
  return false;
}

bool ParseError(std::string_view text, int& error) {
  if (text.empty() || text == "EIO") {
    error = EIO;
    return true;
  }
  if (text == "ENOSPC") {
    error = ENOSPC;
    return true;
  }
  if (text == "EACCES" || text == "EPERM") {  // a file someone else keeps
    error = text == "EACCES" ? EACCES : EPERM;
    return true;
  }
  return false;
}

bool ParseNumber(std::string_view text, int& number) {
  if (text.empty() || text.size() > 7) return false;
  number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  return number <= kMaxCount;
}

// "count" or "skip+count".
bool ParseCount(std::string_view text, int& count, int& skip) {
  skip = 0;
  const std::size_t plus = text.find('+');
  if (plus != std::string_view::npos) {
    if (!ParseNumber(text.substr(0, plus), skip)) return false;
    text.remove_prefix(plus + 1);
  }
  return ParseNumber(text, count) && count > 0;
}

// Reads one "op:count:error:pattern" rule.
bool ParseRule(std::string_view text, CFaultRule& rule) {
  std::string_view fields[3];
  for (std::string_view& field : fields) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    field = text.substr(0, colon);
    text.remove_prefix(colon + 1);
  }
  if (text.empty()) return false;
  rule.pattern = std::string(text);
  return ParseOp(fields[0], rule.op) && ParseCount(fields[1], rule.left, rule.skip) &&
         ParseError(fields[2], rule.error);
}

void ArmFromEnvironment() {
#ifdef CVSMTPGW_FAULT_INJECTION
  if (const char* log = std::getenv("CVSMTPGW_STEP_LOG"); log != nullptr) State().stepLog = log;
  const char* ruleText = std::getenv("CVSMTPGW_FAULTS");
  if (ruleText != nullptr && *ruleText != '\0' && !ArmFaultsFromText(ruleText))
    std::fprintf(stderr, "CVSMTPGW_FAULTS: cannot read the rules; no fault armed\n");
#endif
}

}  // namespace

bool FaultInjected(FaultOp op, const std::string& path) {
  CFaultState& state = State();
  std::call_once(state.environment, ArmFromEnvironment);
  state.checks[Index(op)].fetch_add(1, std::memory_order_relaxed);
  if (!state.armed.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> guard(state.mutex);
  for (auto it = state.rules.begin(); it != state.rules.end(); ++it) {
    if (it->op != op || !WildcardMatch(it->pattern.c_str(), path.c_str())) continue;
    if (it->skip > 0) {
      --it->skip;
      return false;
    }
    const int error = it->error;
    if (--it->left == 0) state.rules.erase(it);
    if (state.rules.empty()) state.armed.store(false, std::memory_order_release);
    errno = error;
    return true;
  }
  return false;
}

void ArmFault(FaultOp op, const std::string& pattern, int count, int error, int skip) {
  if (count <= 0 || skip < 0) return;
  CFaultState& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (state.rules.size() >= kMaxRules) return;
  state.rules.push_back({op, pattern, count, error != 0 ? error : EIO, skip});
  state.armed.store(true, std::memory_order_release);
}

void ClearFaults() {
  CFaultState& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.rules.clear();
  state.armed.store(false, std::memory_order_release);
}

std::uint64_t FaultChecks(FaultOp op) { return State().checks[Index(op)].load(std::memory_order_relaxed); }

bool ArmFaultsFromText(std::string_view ruleText) {
  std::vector<CFaultRule> rules;
  while (!ruleText.empty()) {
    const std::size_t end = ruleText.find(';');
    CFaultRule rule{};
    if (rules.size() >= kMaxRules || !ParseRule(ruleText.substr(0, end), rule)) return false;
    rules.push_back(std::move(rule));
    ruleText.remove_prefix(end == std::string_view::npos ? ruleText.size() : end + 1);
  }
  for (const CFaultRule& rule : rules) ArmFault(rule.op, rule.pattern, rule.left, rule.error, rule.skip);
  return true;
}

void FaultStep(const char* step) {
  CFaultState& state = State();
  std::call_once(state.environment, ArmFromEnvironment);
  if (!state.stepLog.empty()) {
    std::lock_guard<std::mutex> guard(state.mutex);
    if (std::FILE* log = std::fopen(state.stepLog.c_str(), "a")) {
      std::fprintf(log, "%s\n", step);
      std::fclose(log);
    }
  }
  if (!state.armed.load(std::memory_order_acquire)) return;
  const std::string name(step);
  if (FaultInjected(FaultOp::kCrash, name)) KillProcessNow();
  if (FaultInjected(FaultOp::kPowerCut, name)) PowerCutNow();
}

std::uint32_t TestLimit(const char* name, std::uint32_t normal) { return TestDurationMs(name, normal); }

bool TestFlag(const char* name) {
  if (!FaultEnvironmentHonoured() || name == nullptr) return false;
  const char* text = std::getenv(name);
  return text != nullptr && std::string_view(text) == "1";
}

std::uint32_t TestDurationMs(const char* name, std::uint32_t normal) {
  if (!FaultEnvironmentHonoured() || name == nullptr) return normal;
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return normal;
  int value = 0;
  if (!ParseNumber(text, value) || value == 0) {
    std::fprintf(stderr, "%s: not a number; ignored\n", name);
    return normal;
  }
  return static_cast<std::uint32_t>(value);
}

bool FaultEnvironmentHonoured() {
#ifdef CVSMTPGW_FAULT_INJECTION
  return true;
#else
  return false;
#endif
}
