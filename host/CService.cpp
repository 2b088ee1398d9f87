// host/CService.cpp: the service object and the hand-over to the service manager.
//
// Threading: Initservice runs on the main thread before any other thread of
// the service exists; the running-service pointer is written there only.
#include "host/CService.h"

#include <cstdlib>
#include <cstring>

#include "log/DebugLog.h"
#include "platform/WinCodes.h"

namespace {

CService* g_RunningService = nullptr;

// A service manager that starts the gateway announces itself in the
// environment (systemd sets one of these for its services).
bool StartedByServiceManager() {
  return std::getenv("NOTIFY_SOCKET") != nullptr || std::getenv("INVOCATION_ID") != nullptr;
}

}  // namespace

CService* RunningService() { return g_RunningService; }

CService::CService() = default;

CService::~CService() = default;

int CService::Initservice(const char* serviceName, ServiceUserFunction userFunction) {
  g_RunningService = this;
  m_UserFunction = userFunction;
  const std::size_t length = serviceName != nullptr ? std::strlen(serviceName) : 0;
  m_ServiceName = std::make_unique<char[]>(length + 1);
  if (length > 0) std::memcpy(m_ServiceName.get(), serviceName, length);
  m_ServiceName[length] = '\0';

  DebugLog("Before dispatcher in Initservice.", CV_SRC, __LINE__);
  if (!StartedByServiceManager()) {
    PlatformSetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return 0;
  }
  // TODO: running under systemd (status through the notify socket, SIGTERM as
  // the stop control) is the service controller's work item and not in this
  // build yet; until then the dispatcher is reported as not started.
  PlatformSetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  return 0;
}
