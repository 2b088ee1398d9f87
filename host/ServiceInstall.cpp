// host/ServiceInstall.cpp: installation and removal of the service (-i, -u).
//
// Threading: main thread only.
#include "host/ServiceInstall.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "host/UserMessage.h"
#include "log/DebugLog.h"
#include "log/EventLog.h"
#include "platform/File.h"
#include "platform/Registry.h"
#include "platform/ServiceManager.h"
#include "platform/System.h"
#include "spool/CFileMan.h"
#include "spool/Ports.h"
#include "spool/Settings.h"

namespace {

constexpr char kDescription[] =
    "Receives mail for the fax server and hands it over as fax jobs; delivers received faxes and reports "
    "as mail.";
// Restarts after a failure, as the Linux unit's Restart=on-failure does:
// twice soon (a port still held after a quick restart), then each minute.
constexpr std::uint32_t kRestartDelaysMs[] = {5000, 5000, 60000};
// A system shutdown gives the stop this long: the hand-offs finish first.
constexpr std::uint32_t kPreshutdownTimeoutMs = 30000;

// A message box, then the reason in one more line on standard error: the box
// texts are fixed and name no cause.
void Tell(const char* text, const char* caption, const std::string& problem) {
  ShowUserMessage(text, caption, MB_OK_CODE);
  if (problem.empty()) return;
  std::fprintf(stderr, "%s: %s\n", kServiceShortName, problem.c_str());
  std::fflush(stderr);
}

std::string DirectoryOfFile(const char* path) {
  const char* separator = std::strrchr(path, kPathSeparator);
  return separator == nullptr ? std::string() : std::string(path, static_cast<std::size_t>(separator - path));
}

}  // namespace

CServiceDefinition GatewayServiceDefinition(const std::string& programPath) {
  CServiceDefinition service;
  service.name = kServiceName;
  service.shortName = kServiceShortName;
  service.programPath = programPath;
  service.description = kDescription;
  service.restartDelaysMs.assign(std::begin(kRestartDelaysMs), std::end(kRestartDelaysMs));
  service.preshutdownTimeoutMs = kPreshutdownTimeoutMs;
  service.port = GetSmtpRxPort();
  // Read-only and with the limits the gateway reads them with, so that the
  // service may write exactly where the gateway will.
  CRegKey key;
  if (CRegKey::Open(kGatewayKey, key) != ERROR_SUCCESS) return service;
  const CTextSetting programDir = ReadTextSetting(key, Setting::kProgramPath);
  if (programDir.Used() && !programDir.value.empty()) {
    service.writableDirectories.push_back(programDir.value);
    // Stored fragments of split mails are kept until their set is complete:
    // a private /tmp, emptied at every stop, would lose acknowledged mail.
    service.temporaryDirectory = programDir.value + "tmp";
  }
  for (const Setting log : {Setting::kLogFile, Setting::kLogFileB}) {
    const CTextSetting path = ReadTextSetting(key, log);
    // A path too short to switch its log on names no file the gateway writes.
    if (path.Used() && path.value.size() >= 4) {
      const std::string dir = DirectoryOfFile(path.value.c_str());
      if (!dir.empty()) service.writableDirectories.push_back(dir);
    }
  }
  return service;
}

bool InstallService() {
  std::string programPath;
  if (!PlatformProgramFilePath(programPath)) {
    DebugLog("Unable to get the module path name.", CV_SRC, __LINE__);
    ShowUserMessage("Unable to get the module path name", "ERROR", MB_OK_CODE);
    return false;
  }
  std::string problem;
  if (!PlatformOpenServiceManager(problem)) {
    Tell("Failed to Open NT Service Manager", "Error", problem);
    return false;
  }
  const CServiceDefinition service = GatewayServiceDefinition(programPath);
  if (PlatformServiceInstalled(service)) {
    Tell("Installation: Service Is already installed!! ", "Error", "");
    return false;
  }
  if (!PlatformCreateService(service, problem)) {
    Tell("Failed to Install NT Service", "Error", problem);
    return false;
  }
  // As on Windows, a service whose event source could not be registered
  // stays installed; the run still fails, so that a script sees it.
  if (!PlatformInstallEventSource(service, problem)) {
    Tell("Unable to Install Event Log for the Service", "Error", problem);
    return false;
  }
  ReportServiceEvent(kEventTypeInformation, GatewayEvent::kInstalled, {kServiceName});
  Tell("Service Successfully Installed", "Finished", "");
  // Mail from other hosts reaches the port only once the firewall lets it.
  const std::string firewall = PlatformFirewallCommand(service);
  if (!firewall.empty()) {
    std::printf("To let mail in through the firewall, run as an administrator:\n  %s\n", firewall.c_str());
    std::fflush(stdout);
  }
  return true;
}

bool RemoveService() {
  std::string problem;
  if (!PlatformOpenServiceManager(problem)) {
    Tell("Failed to Open NT Service Manager", "Error", problem);
    return false;
  }
  // Removal needs no settings; the definition only names the service.
  CServiceDefinition service;
  service.name = kServiceName;
  service.shortName = kServiceShortName;
  if (!PlatformServiceInstalled(service)) {
    Tell("Failed to Locate Installed Service", "Error", "");
    return false;
  }
  DWORD state = 0;
  if (!PlatformQueryServiceState(service, state, problem)) {
    Tell("Failed to QUERRY the Installed Service", "Error", problem);
    return false;
  }
  if (state != kServiceStopped) {
    Tell("Service is RUNNING.First STOP it to uninstall the SERVICE!!", "Error", "");
    return false;
  }
  if (PlatformDeleteService(service, problem)) {
    ReportServiceEvent(kEventTypeInformation, GatewayEvent::kRemoved, {kServiceName});
    Tell("Service Removed !!, Please Reboot To Finish", "Finished", "");
    return true;
  }
  ReportServiceEvent(kEventTypeError, GatewayEvent::kNotRemoved, {kServiceName});
  Tell("Failed To Remove Service", "Warning", problem);
  return false;
}
