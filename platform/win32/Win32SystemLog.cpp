// platform/win32/Win32SystemLog.cpp: events to the application event log
// (RegisterEventSourceA, ReportEventA).
//
// One source handle per process, registered at the first report and kept.
// Where the event log keeps nothing (wine's is a stub), an administrator or a
// test can have a copy of every event appended as a line to the file named by
// CVSMTPGW_EVENT_COPY: "<source>: event <id> type <type>: <insertion strings>",
// the strings made printable and joined by ", ". Thread-safe.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "base/Text.h"
#include "platform/Process.h"
#include "platform/SystemLog.h"
#include "platform/win32/Win32Api.h"

namespace {
constexpr std::size_t kMaxCopiedText = 1024;

std::mutex g_Mutex;
HANDLE g_Source = nullptr;  // guarded by g_Mutex; kept for the life of the process
std::string g_SourceName;   // guarded by g_Mutex

void AppendCopy(const char* source, std::uint16_t type, std::uint32_t eventId,
                const std::vector<const char*>& strings) {
  const std::string path = EnvironmentValue("CVSMTPGW_EVENT_COPY", "");
  if (path.empty()) return;
  std::string line = PrintableText(source != nullptr ? source : "", kMaxCopiedText) + ": event " +
                     std::to_string(eventId) + " type " + std::to_string(type) + ":";
  bool first = true;
  for (const char* text : strings) {
    if (*text == '\0') continue;  // a place filled for the message table
    line += first ? " " : ", ";
    first = false;
    line += PrintableText(text, kMaxCopiedText);
  }
  line += "\n";
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}
}  // namespace

bool PlatformReportEvent(const char* source, std::uint16_t type, std::uint32_t eventId,
                         const char* const* strings, int count) {
  std::vector<const char*> texts;
  for (int i = 0; strings != nullptr && i < count; ++i) {
    if (strings[i] != nullptr) texts.push_back(strings[i]);
  }
  std::lock_guard<std::mutex> lock(g_Mutex);
  const std::string name = source != nullptr ? source : "";
  if (g_Source == nullptr || g_SourceName != name) {
    const HANDLE handle = ::RegisterEventSourceA(nullptr, name.c_str());
    if (handle == nullptr) return false;
    if (g_Source != nullptr) ::DeregisterEventSource(g_Source);
    g_Source = handle;
    g_SourceName = name;
  }
  ::ReportEventA(g_Source, type, 0, eventId, nullptr, static_cast<WORD>(texts.size()), 0,
                 texts.empty() ? nullptr : const_cast<const char**>(texts.data()), nullptr);
  AppendCopy(source, type, eventId, texts);
  return true;
}

namespace {

constexpr std::size_t kMaxMailLogText = 8000;
constexpr int kMailLogKeepDays = 30;
constexpr char kMailLogFolder[] = "MailLog";

std::mutex g_MailLogMutex;
std::string g_MailLogDay;  // guarded by g_MailLogMutex: the day whose old files were last swept

// Days since 1601 of a file name "YYYYMMDD.log"; -1 when it is not one.
long long DayNumber(const std::string& name) {
  if (name.size() != 12 || name.compare(8, 4, ".log") != 0) return -1;
  for (int i = 0; i < 8; ++i)
    if (name[i] < '0' || name[i] > '9') return -1;
  SYSTEMTIME day{};
  day.wYear = static_cast<WORD>(std::stoi(name.substr(0, 4)));
  day.wMonth = static_cast<WORD>(std::stoi(name.substr(4, 2)));
  day.wDay = static_cast<WORD>(std::stoi(name.substr(6, 2)));
  FILETIME time{};
  if (!::SystemTimeToFileTime(&day, &time)) return -1;
  const unsigned long long ticks = (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<long long>(ticks / (10000000ull * 86400ull));
}

// Once a day: the files of days more than kMailLogKeepDays ago go.
void SweepOldFiles(const std::string& folder, const std::string& today) {
  const long long todayNumber = DayNumber(today);
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA((folder + "\\*.log").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const long long day = DayNumber(found.cFileName);
    if (day >= 0 && todayNumber - day > kMailLogKeepDays) ::DeleteFileA((folder + "\\" + found.cFileName).c_str());
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
}

}  // namespace

void PlatformWriteMailLog(const char*, const char* directory, const char* text) {
  // A daily file <program directory>\MailLog\YYYYMMDD.log, one line a mail.
  if (directory == nullptr || *directory == '\0' || text == nullptr) return;
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  char day[16], stamp[32];
  std::snprintf(day, sizeof day, "%04u%02u%02u.log", now.wYear, now.wMonth, now.wDay);
  std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute, now.wSecond);
  std::string folder = directory;
  if (folder.back() == '\\' || folder.back() == '/') folder.pop_back();
  folder += std::string("\\") + kMailLogFolder;
  const std::string line = stamp + PrintableText(text, kMaxMailLogText) + "\r\n";
  std::lock_guard<std::mutex> lock(g_MailLogMutex);
  ::CreateDirectoryA(folder.c_str(), nullptr);  // there already, as a rule
  if (g_MailLogDay != day) {
    g_MailLogDay = day;
    SweepOldFiles(folder, day);
  }
  std::FILE* file = std::fopen((folder + "\\" + day).c_str(), "ab");
  if (file == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}
