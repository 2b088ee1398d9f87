// spool/ProgramPathCheck.cpp: the start's checks of the program directory
// (see the header). Each check names what it found; the probes leave
// nothing behind.
//
// Threading: see the header.
#include "spool/ProgramPathCheck.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/Registry.h"
#include "spool/CFileMan.h"
#include "spool/Settings.h"

namespace {

constexpr char kProbeName[] = ".cvsmtpgw-start-check";  // names with a dot first are no queue entries
constexpr char kProbeLinkName[] = ".cvsmtpgw-start-check-link";

std::string Because(const char* what, const std::string& where) {
  const DWORD error = PlatformGetLastError();
  return std::string(what) + " " + where + ": " + PlatformErrorText(error) + " (" + std::to_string(error) + ")";
}

bool IsSeparator(char c) { return c == kPathSeparator || c == '/'; }

// Whether `path` is a directory that can be read; the reason when not.
std::string DirectoryProblem(const std::string& path, const char* what) {
  std::vector<std::string> names;
  const long rc = FindFiles(path, "*", names);
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return {};
  PlatformSetLastError(static_cast<DWORD>(rc));
  return Because(what, path.empty() ? "." : path);
}

// Makes, writes and syncs a file in `directory` and removes it through its
// handle; in OUT it also gets a second name, as every hand-off's files do.
std::string ProbeProblem(const std::string& directory, bool withLink) {
  const std::string probe = directory + kPathSeparatorText + kProbeName;
  const std::string link = directory + kPathSeparatorText + kProbeLinkName;
  FileDelete(link);  // left by a start that was cut short
  // Shared, so that its second name can be removed while it is open.
  CFile file = CFile::Open(probe, FileAccess::kReadWriteAndDelete, FileShare::kReadWrite, FileCreation::kCreateAlways);
  if (!file.IsValid()) return Because("no file can be made in", directory);
  std::string problem;
  if (file.Write("x", 1) != 1 || !file.Sync()) {
    problem = Because("a file cannot be written and put on disk in", directory);
  } else if (withLink && !FileLink(probe, link)) {
    const std::string system = FileSystemName(directory);
    problem = Because("a file cannot get a second name (a hard link, which every hand-off needs) in", directory);
    if (!system.empty()) problem += "; its file system is " + system;
  } else if (withLink && !FileDelete(link)) {
    problem = Because("a file cannot be removed from", directory);
  }
  if (!file.DeleteThrough() && problem.empty()) problem = Because("a file cannot be removed from", directory);
  file.Close();
  if (!problem.empty()) FileDelete(probe);
  return problem;
}

}  // namespace

CProgramPathCheck CheckProgramPath() {
  CProgramPathCheck check;
  CRegKey key;
  if (CRegKey::Open(kGatewayKey, key) != ERROR_SUCCESS) {
    check.problem = std::string("it is not set (the key HKEY_LOCAL_MACHINE\\") + kGatewayKey + " does not exist)";
    return check;
  }
  const CTextSetting read = ReadTextSetting(key, Setting::kProgramPath);
  check.value = read.stored;
  if (read.state == SettingState::kAbsent || (read.Used() && check.value.empty())) {
    check.problem = "it is not set";
    return check;
  }
  if (read.state == SettingState::kWrongType) {
    check.problem = "it is not a string";
    return check;
  }
  if (!read.Used()) {
    check.problem =
        "it is longer than " + std::to_string(SettingInfo(Setting::kProgramPath).maxLength) + " characters";
    return check;
  }
  if (!key.TextFitsCodePage("ProgramPath")) {
    check.problem =
        "it holds characters that the system's ANSI code page cannot show, so the gateway would use another "
        "path; choose a directory whose name has none";
    return check;
  }
  const std::string& path = check.value;
  if (!IsSeparator(path.back())) {
    check.problem = std::string("it does not end with ") + kPathSeparatorText +
                    ", and the spool's names are made by appending to it";
    return check;
  }
  check.problem = ProgramDirectoryProblem(path);
  if (!check.problem.empty()) return check;
  const std::string bare = path.substr(0, path.size() - 1);
  const std::string in = path + "IN", out = path + "OUT";
  for (const auto& [directory, what] :
       {std::pair{bare, "the directory cannot be read:"}, std::pair{in, "its directory IN cannot be read:"},
        std::pair{out, "its directory OUT cannot be read:"}}) {
    check.problem = DirectoryProblem(directory, what);
    if (!check.problem.empty()) return check;
  }
  check.problem = ProbeProblem(out, true);
  if (check.problem.empty()) check.problem = ProbeProblem(in, false);
  // The program directory's own, on the spool's volume: every hand-off syncs
  // OUT's names so (OUT itself is left alone, for the count of its syncs).
  if (check.problem.empty() && !DirectorySync(bare))
    check.problem = Because("the names in a directory cannot be put on disk:", bare);
  return check;
}
