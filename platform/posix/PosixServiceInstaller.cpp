// platform/posix/PosixServiceInstaller.cpp: the service as a systemd unit file,
// enabled and queried through systemctl when systemd runs.
//
// The unit file is written under a temporary name, synced and renamed into
// place, so systemd never reads half of one. Every text that goes into it is
// checked and quoted: a path from the settings can neither end a line nor add
// a directive. systemctl runs with a time limit and is killed after it.
// Main thread only (see ServiceInstaller.h).
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Process.h"
#include "platform/ServiceInstaller.h"
#include "platform/ServiceManager.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixReplaceFile.h"

namespace {

constexpr const char kDefaultUnitDirectory[] = "/etc/systemd/system";
constexpr const char kDefaultSystemdRunDirectory[] = "/run/systemd/system";
constexpr const char kDefaultHivePath[] = "/etc/cvsmtpgw/hive.reg";  // as the registry backend's
constexpr std::size_t kProgramPathLimit = 512;
constexpr int kSystemctlLimitMs = 30000;

std::string ErrnoText(int err) { return std::system_category().message(err); }

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string UnitDirectory() {
  return WithoutTrailingSlashes(EnvironmentValue("CVSMTPGW_UNIT_DIR", kDefaultUnitDirectory));
}

std::string UnitName(const CServiceDefinition& service) { return service.shortName + ".service"; }

std::string UnitPath(const CServiceDefinition& service) { return UnitDirectory() + "/" + UnitName(service); }

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool OnPath(const char* program) {
  const std::string path = EnvironmentValue("PATH", "/usr/bin:/bin");
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = std::min(path.find(':', begin), path.size());
    const std::string dir = end > begin ? path.substr(begin, end - begin) : ".";
    if (::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (end == path.size()) return false;
    begin = end + 1;
  }
}

bool SystemdRuns() {
  return IsDirectory(EnvironmentValue("CVSMTPGW_SYSTEMD_RUN_DIR", kDefaultSystemdRunDirectory)) &&
         OnPath("systemctl");
}

// The settings file, absolute: the service starts in "/".
std::string HivePath() {
  std::string path = EnvironmentValue("CVSMTPGW_HIVE", kDefaultHivePath);
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/" + path;
  }
  return path;
}

// One word of a unit file line: specifiers ("%") are escaped, and the word is
// quoted when it holds a blank, a quote, a backslash or a semicolon. (A "$"
// needs no escape: systemd expands variables in a command's arguments only,
// and the gateway's command line is the program path alone.) False for a
// control character, which no quoting keeps from ending the line.
bool UnitWord(const std::string& text, std::string& out) {
  bool quote = text.empty();
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
    if (c == ' ' || c == '"' || c == '\'' || c == '\\' || c == ';') quote = true;
  }
  std::string word;
  for (char c : text) {
    if (c == '%') word += '%';
    if (quote && (c == '"' || c == '\\')) word += '\\';
    word += c;
  }
  out = quote ? "\"" + word + "\"" : word;
  return true;
}

// The unit file's text, or false and the offending path in `problem`.
bool UnitText(const CServiceDefinition& service, std::string& text, std::string& problem) {
  std::vector<std::string> writable;
  std::vector<std::string> candidates = service.writableDirectories;
  candidates.push_back(PosixDirectoryOf(HivePath()));  // the gateway writes its counters back
  for (const std::string& candidate : candidates) {
    const std::string dir = WithoutTrailingSlashes(candidate);
    // systemd takes absolute paths only; a relative one would name nothing.
    if (dir.empty() || dir[0] != '/') continue;
    if (std::find(writable.begin(), writable.end(), dir) == writable.end()) writable.push_back(dir);
  }

  std::string program, hive, name, temporary;
  const std::string hiveSetting = "CVSMTPGW_HIVE=" + HivePath();
  if (!UnitWord(service.programPath, program)) {
    problem = "the program path cannot be written into a unit file: it holds a control character";
    return false;
  }
  if (!UnitWord(hiveSetting, hive)) {
    problem =
        "the hive path (CVSMTPGW_HIVE) cannot be written into a unit file: it holds a control character";
    return false;
  }
  if (!service.temporaryDirectory.empty() &&
      !UnitWord("TMP=" + WithoutTrailingSlashes(service.temporaryDirectory), temporary)) {
    problem = "the temporary directory cannot be written into a unit file: it holds a control character";
    return false;
  }
  if (!UnitWord(service.shortName, name) ||
      service.shortName.find_first_of(" \"'\\/%$;") != std::string::npos) {
    problem = "the service's short name is not a unit name";
    return false;
  }
  std::string description = service.name;
  std::replace_if(
      description.begin(), description.end(),
      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '%'; }, ' ');

  text = "# " + description +
         ": the mail to fax gateway under systemd.\n"
         "[Unit]\n"
         "Description=" +
         description +
         "\n"
         "Wants=network-online.target\n"
         "After=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" +
         program + "\nExecReload=/bin/kill -HUP $MAINPID\nEnvironment=" + hive + "\n" +
         (temporary.empty() ? "" : "Environment=" + temporary + "\n") +
         "Restart=on-failure\n"
         "RestartSec=5\n"
         "User=" +
         name + "\nGroup=" + name +
         "\n"
         "# Port 25 without root, and nothing more.\n"
         "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
         "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
         "NoNewPrivileges=yes\n"
         "ProtectSystem=strict\n";
  for (const std::string& dir : writable) {
    std::string word;
    if (!UnitWord("-" + dir, word)) {
      problem = "a path from the settings cannot be written into a unit file: it holds a control character";
      return false;
    }
    text += "ReadWritePaths=" + word + "\n";
  }
  text +=
      "PrivateTmp=yes\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";
  return true;
}

// Writes `text` as `path` in one step. False with errno set.
bool WriteFileWhole(const std::string& path, const std::string& text) {
  const std::string temporary =
      PosixDirectoryOf(path) + "/." + path.substr(path.rfind('/') + 1) + ".new";
  // A failed directory sync after the rename leaves a whole file either way.
  const CPosixReplaceOutcome outcome = PosixReplaceFile(path, temporary, text, nullptr);
  if (outcome.placed) return true;
  errno = outcome.err;
  return false;
}

// Runs `systemctl args...` within kSystemctlLimitMs: its exit status, or -1
// with `problem` set when it could not run or finish. `firstLine` takes the
// first line of its output.
int RunSystemctl(const std::vector<std::string>& args, std::string* firstLine, std::string& problem) {
  std::vector<std::string> argv{"systemctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string command = "systemctl";
  for (const std::string& arg : args) command += " " + arg;

  CChildProcess child;
  if (!child.Start(argv)) {
    problem = command + ": could not be started (" + PlatformErrorText(PlatformGetLastError()) + ")";
    return -1;
  }
  child.CloseInput();
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kSystemctlLimitMs);
  const auto left = [deadline] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(ms > 0 ? ms : 0);
  };
  std::string line;
  bool first = true;
  while (child.ReadLine(line, left())) {
    if (first && firstLine != nullptr) *firstLine = line;
    first = false;
  }
  const int status = child.Wait(left());
  if (status < 0) {
    child.Kill();
    child.Wait(kSystemctlLimitMs);
    problem = command + ": did not finish within " + std::to_string(kSystemctlLimitMs / 1000) + " s";
    return -1;
  }
  if (status != 0) problem = command + ": failed (exit status " + std::to_string(status) + ")";
  return status;
}

void SetProblem(std::string& problem, const std::string& text, int err, const std::string& path) {
  problem = text + ": " + ErrnoText(err);
  SetFileError(err, path);
}

}  // namespace

bool PlatformProgramFilePath(std::string& path) {
  char buffer[kProgramPathLimit];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) {
    PlatformSetLastError(n < 0 ? WindowsCodeOfErrno(errno) : static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    return false;
  }
  path.assign(buffer, static_cast<std::size_t>(n));
  return true;
}

bool PlatformOpenServiceManager(std::string& problem) {
  const std::string dir = UnitDirectory();
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    SetProblem(problem, "the unit directory " + dir + " cannot be used", errno, dir);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    SetProblem(problem, "the unit directory " + dir + " cannot be used", ENOTDIR, dir);
    return false;
  }
  return true;
}

bool PlatformServiceInstalled(const CServiceDefinition& service) {
  struct stat st;
  if (::lstat(UnitPath(service).c_str(), &st) == 0) return true;
  PlatformSetLastError(kErrorServiceDoesNotExist);
  return false;
}

bool PlatformCreateService(const CServiceDefinition& service, std::string& problem) {
  std::string text;
  if (!UnitText(service, text, problem)) {
    PlatformSetLastError(ERROR_INVALID_NAME);
    return false;
  }
  const std::string path = UnitPath(service);
  if (!WriteFileWhole(path, text)) {
    SetProblem(problem, "cannot write " + path, errno, path);
    return false;
  }
  if (!SystemdRuns()) return true;
  std::string ignored;
  if (RunSystemctl({"daemon-reload"}, nullptr, problem) == 0 &&
      RunSystemctl({"enable", UnitName(service)}, nullptr, problem) == 0)
    return true;
  // Installing is one step, as creating a Windows service is: a unit that
  // systemd would not start at boot is taken back.
  ::unlink(path.c_str());
  RunSystemctl({"daemon-reload"}, nullptr, ignored);
  PlatformSetLastError(ERROR_GEN_FAILURE);
  return false;
}

bool PlatformInstallEventSource(const CServiceDefinition& /*service*/, std::string& /*problem*/) {
  return true;  // syslog takes any source without a registration
}

bool PlatformQueryServiceState(const CServiceDefinition& service, DWORD& state, std::string& problem) {
  if (!SystemdRuns()) {
    state = kServiceStopped;  // nothing runs a unit without systemd
    return true;
  }
  std::string word;
  // is-active exits nonzero for every state but active; the word tells them apart.
  if (RunSystemctl({"is-active", UnitName(service)}, &word, problem) < 0) {
    PlatformSetLastError(ERROR_GEN_FAILURE);
    return false;
  }
  problem.clear();
  if (word == "active" || word == "reloading" || word == "refreshing") {
    state = kServiceRunning;
  } else if (word == "activating") {
    state = kServiceStartPending;
  } else if (word == "deactivating") {
    state = kServiceStopPending;
  } else if (word == "inactive" || word == "failed" || word == "unknown") {
    state = kServiceStopped;
  } else {
    problem =
        "systemctl is-active " + UnitName(service) + ": unexpected answer \"" + word.substr(0, 40) + "\"";
    PlatformSetLastError(ERROR_GEN_FAILURE);
    return false;
  }
  return true;
}

bool PlatformDeleteService(const CServiceDefinition& service, std::string& problem) {
  const bool systemd = SystemdRuns();
  if (systemd && RunSystemctl({"disable", UnitName(service)}, nullptr, problem) != 0) {
    PlatformSetLastError(ERROR_GEN_FAILURE);
    return false;
  }
  const std::string path = UnitPath(service);
  if (::unlink(path.c_str()) != 0) {
    SetProblem(problem, "cannot remove " + path, errno, path);
    return false;
  }
  std::string ignored;  // the unit is gone; systemd forgets it at the latest when it restarts
  if (systemd) RunSystemctl({"daemon-reload"}, nullptr, ignored);
  return true;
}

std::string PlatformFirewallCommand(const CServiceDefinition& /*service*/) {
  return {};  // firewalls differ from system to system; the README names the port
}
