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

#include "platform/SystemLog.h"
#include "platform/Text.h"
#include "platform/win32/Win32Api.h"

namespace {
constexpr std::size_t kMaxCopiedText = 1024;

std::mutex g_Mutex;
HANDLE g_Source = nullptr;  // guarded by g_Mutex; kept for the life of the process
std::string g_SourceName;   // guarded by g_Mutex

void AppendCopy(const char* source, std::uint16_t type, std::uint32_t eventId,
                const std::vector<const char*>& strings) {
  const char* path = std::getenv("CVSMTPGW_EVENT_COPY");
  if (path == nullptr || *path == '\0') return;
  std::string line = PrintableText(source != nullptr ? source : "", kMaxCopiedText) + ": event " +
                     std::to_string(eventId) + " type " + std::to_string(type) + ":";
  for (std::size_t i = 0; i < strings.size(); ++i) {
    line += i == 0 ? " " : ", ";
    line += PrintableText(strings[i], kMaxCopiedText);
  }
  line += "\n";
  std::FILE* file = std::fopen(path, "ab");
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
