// host/UserMessage.cpp: message boxes that never hold up a service or an
// unattended run.
#include "host/UserMessage.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "host/ServiceInstall.h"
#include "log/DebugLog.h"
#include "log/EventLog.h"
#include "platform/ServiceManager.h"
#include "platform/System.h"

void ShowUserMessage(const char* text, const char* caption, unsigned flags) {
  const std::string line =
      std::string(caption != nullptr ? caption : "") + ": " + (text != nullptr ? text : "");
  if (PlatformStartedByServiceManager()) {
    DebugLog(line.c_str(), CV_SRC, __LINE__);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    return;
  }
  if (PlatformInteractiveDesktop()) {
    ShowMessageBox(text, caption, flags);
    return;
  }
  // Nobody sees a box here (a service session, a remote shell, a deployment
  // tool), and one would wait for ever: the line goes to the console and,
  // for whoever looks later, to the event log.
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  const bool error = caption != nullptr && (std::strcmp(caption, "Error") == 0 || std::strcmp(caption, "ERROR") == 0 ||
                                            std::strcmp(caption, "Warning") == 0);
  ReportServiceEvent(error ? kEventTypeError : kEventTypeInformation, GatewayEvent::kUserMessage,
                     {kServiceName, caption != nullptr ? caption : "", text != nullptr ? text : ""});
}
