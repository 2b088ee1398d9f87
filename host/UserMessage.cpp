// host/UserMessage.cpp: message boxes that never hold up a service.
#include "host/UserMessage.h"

#include <cstdio>
#include <string>

#include "log/DebugLog.h"
#include "platform/ServiceManager.h"
#include "platform/System.h"

void ShowUserMessage(const char* text, const char* caption, unsigned flags) {
  if (!PlatformStartedByServiceManager()) {
    ShowMessageBox(text, caption, flags);
    return;
  }
  const std::string line =
      std::string(caption != nullptr ? caption : "") + ": " + (text != nullptr ? text : "");
  DebugLog(line.c_str(), CV_SRC, __LINE__);
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}
