// host/ServiceInstall.cpp: installation and removal of the service (-i, -u).
//
// Threading: main thread only.
#include "host/ServiceInstall.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "host/UserMessage.h"
#include "log/DebugLog.h"
#include "log/EventLog.h"
#include "platform/File.h"
#include "platform/Registry.h"
#include "platform/ServiceManager.h"
#include "platform/System.h"
#include "spool/CFileMan.h"

namespace {

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
  // Read-only and with the limits the gateway reads them with, so that the
  // service may write exactly where the gateway will.
  CRegKey key;
  if (CRegKey::Open(kGatewayKey, key) != ERROR_SUCCESS) return service;
  char programDir[kProgramPathBuffer] = "";
  if (RegReadString(key, "ProgramPath", programDir, static_cast<DWORD>(kProgramPathRead)) == ERROR_SUCCESS &&
      programDir[0] != '\0') {
    service.writableDirectories.emplace_back(programDir);
    // Stored fragments of split mails are kept until their set is complete:
    // a private /tmp, emptied at every stop, would lose acknowledged mail.
    service.temporaryDirectory = std::string(programDir) + "tmp";
  }
  for (const char* log : {"logfile", "logfileb"}) {
    char path[kLogPathBuffer] = "";
    // A path too short to switch its log on names no file the gateway writes.
    if (RegReadString(key, log, path, static_cast<DWORD>(sizeof path)) == ERROR_SUCCESS &&
        std::strlen(path) >= 4) {
      const std::string dir = DirectoryOfFile(path);
      if (!dir.empty()) service.writableDirectories.push_back(dir);
    }
  }
  return service;
}

void InstallService() {
  std::string programPath;
  if (!PlatformProgramFilePath(programPath)) {
    DebugLog("Unable to get the module path name.", CV_SRC, __LINE__);
    ShowUserMessage("Unable to get the module path name", "ERROR", MB_OK_CODE);
    return;
  }
  std::string problem;
  if (!PlatformOpenServiceManager(problem)) {
    Tell("Failed to Open NT Service Manager", "Error", problem);
    return;
  }
  const CServiceDefinition service = GatewayServiceDefinition(programPath);
  if (PlatformServiceInstalled(service)) {
    Tell("Installation: Service Is already installed!! ", "Error", "");
    return;
  }
  if (!PlatformCreateService(service, problem)) {
    Tell("Failed to Install NT Service", "Error", problem);
    return;
  }
  // As on Windows, a service whose event source could not be registered stays installed.
  if (!PlatformInstallEventSource(service, problem)) {
    Tell("Unable to Install Event Log for the Service", "Error", problem);
    return;
  }
  ReportServiceEvent(kEventTypeInformation, GatewayEvent::kInstalled, {kServiceName});
  Tell("Service Successfully Installed", "Finished", "");
}

void RemoveService() {
  std::string problem;
  if (!PlatformOpenServiceManager(problem)) {
    Tell("Failed to Open NT Service Manager", "Error", problem);
    return;
  }
  // Removal needs no settings; the definition only names the service.
  CServiceDefinition service;
  service.name = kServiceName;
  service.shortName = kServiceShortName;
  if (!PlatformServiceInstalled(service)) {
    Tell("Failed to Locate Installed Service", "Error", "");
    return;
  }
  DWORD state = 0;
  if (!PlatformQueryServiceState(service, state, problem)) {
    Tell("Failed to QUERRY the Installed Service", "Error", problem);
  } else if (state != kServiceStopped) {
    Tell("Service is RUNNING.First STOP it to uninstall the SERVICE!!", "Error", "");
  } else if (PlatformDeleteService(service, problem)) {
    ReportServiceEvent(kEventTypeInformation, GatewayEvent::kRemoved, {kServiceName});
    Tell("Service Removed !!, Please Reboot To Finish", "Finished", "");
  } else {
    ReportServiceEvent(kEventTypeError, GatewayEvent::kNotRemoved, {kServiceName});
    Tell("Failed To Remove Service", "Warning", problem);
  }
}
