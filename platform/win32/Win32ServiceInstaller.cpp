// platform/win32/Win32ServiceInstaller.cpp: the service in the service control
// manager (OpenSCManagerA, OpenServiceA, CreateServiceA, QueryServiceStatus,
// DeleteService) and its event source's registry key.
//
// The service's command is the program path in double quotes: unquoted, a
// path with a space would let the system try "C:\Program.exe" first. The
// entry removes quotes before it reads the switch, so the service still runs
// in service mode. Main thread only.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/ServiceInstaller.h"
#include "platform/ServiceManager.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

namespace {

constexpr DWORD kProgramPathLimit = 512;
constexpr const char kEventSourceKeys[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr const char kServiceKeys[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr DWORD kTypesSupported = 7;  // error, warning, information
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;  // a day without failure starts the count again

// Closes a service manager or service handle.
class CServiceHandle {
 public:
  explicit CServiceHandle(SC_HANDLE handle) : m_Handle(handle) {}
  CServiceHandle(const CServiceHandle&) = delete;
  CServiceHandle& operator=(const CServiceHandle&) = delete;
  ~CServiceHandle() {
    if (m_Handle != nullptr) ::CloseServiceHandle(m_Handle);
  }
  SC_HANDLE Get() const { return m_Handle; }

 private:
  SC_HANDLE m_Handle;
};

std::string Problem(const char* call) {
  const DWORD error = TakeSystemError();
  return std::string(call) + ": " + PlatformErrorText(error) + " (" + std::to_string(error) + ")";
}

SC_HANDLE OpenManager(DWORD access) { return ::OpenSCManagerA(nullptr, nullptr, access); }

}  // namespace

bool PlatformProgramFilePath(std::string& path) {
  char buffer[kProgramPathLimit];
  const DWORD n = ::GetModuleFileNameA(nullptr, buffer, kProgramPathLimit);
  if (n == 0 || n >= kProgramPathLimit) {
    if (n == 0)
      TakeSystemError();
    else
      PlatformSetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  path.assign(buffer, n);
  return true;
}

bool PlatformOpenServiceManager(std::string& problem) {
  const CServiceHandle manager(OpenManager(SC_MANAGER_ALL_ACCESS));
  if (manager.Get() == nullptr) {
    problem = Problem("OpenSCManagerA");
    return false;
  }
  return true;
}

bool PlatformServiceInstalled(const CServiceDefinition& service) {
  const CServiceHandle manager(OpenManager(SC_MANAGER_CONNECT));
  if (manager.Get() == nullptr) return TakeSystemError(), false;
  const CServiceHandle handle(::OpenServiceA(manager.Get(), service.name.c_str(), SERVICE_ALL_ACCESS));
  if (handle.Get() == nullptr) return TakeSystemError(), false;
  return true;
}

namespace {
// A switch of the service's configuration that ChangeServiceConfig2A sets
// where the service manager knows its level; one that does not (an older
// system, wine) reads the same value from the service's key, where it is
// written then.
bool SetServiceSwitch(SC_HANDLE handle, const CServiceDefinition& service, DWORD level, void* info,
                      const char* valueName, const char* what, std::string& problem) {
  if (::ChangeServiceConfig2A(handle, level, info)) return true;
  const DWORD error = TakeSystemError();
  if (error != ERROR_INVALID_LEVEL && error != ERROR_INVALID_PARAMETER) {
    problem = std::string("ChangeServiceConfig2A (") + what + "): " + PlatformErrorText(error) + " (" +
              std::to_string(error) + ")";
    return false;
  }
  const std::string subKey = kServiceKeys + service.name;
  CRegKey key;
  long rc = CRegKey::Open(subKey.c_str(), key);
  if (rc == ERROR_SUCCESS) rc = RegWriteDword(key, valueName, 1);
  if (rc == ERROR_SUCCESS) rc = key.Flush();
  if (rc != ERROR_SUCCESS) {
    PlatformSetLastError(static_cast<DWORD>(rc));
    problem = "HKEY_LOCAL_MACHINE\\" + subKey + " (" + what + "): " + PlatformErrorText(static_cast<DWORD>(rc));
    return false;
  }
  return true;
}

// The settings CreateServiceA has no place for. A failure leaves the service
// as created; the caller removes it.
bool ConfigureService(SC_HANDLE handle, const CServiceDefinition& service, std::string& problem) {
  std::string description = service.description;
  SERVICE_DESCRIPTIONA text{description.data()};
  if (!description.empty() && !::ChangeServiceConfig2A(handle, SERVICE_CONFIG_DESCRIPTION, &text)) {
    problem = Problem("ChangeServiceConfig2A (description)");
    return false;
  }
  if (!service.restartDelaysMs.empty()) {
    std::vector<SC_ACTION> actions;
    for (std::uint32_t delay : service.restartDelaysMs) actions.push_back(SC_ACTION{SC_ACTION_RESTART, delay});
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = kFailureResetSeconds;
    failure.cActions = static_cast<DWORD>(actions.size());
    failure.lpsaActions = actions.data();
    // A stop that reports an error (a port that stays taken) counts as a
    // failure too, not only a crash.
    SERVICE_FAILURE_ACTIONS_FLAG onErrors{TRUE};
    if (!::ChangeServiceConfig2A(handle, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
      problem = Problem("ChangeServiceConfig2A (recovery actions)");
      return false;
    }
    if (!SetServiceSwitch(handle, service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrors,
                          "FailureActionsOnNonCrashFailures", "recovery after a stop with an error", problem))
      return false;
  }
  // After the other automatic services: the network and its name service are up.
  SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
  if (!SetServiceSwitch(handle, service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed, "DelayedAutostart",
                        "delayed automatic start", problem))
    return false;
  SERVICE_PRESHUTDOWN_INFO preshutdown{service.preshutdownTimeoutMs};
  if (service.preshutdownTimeoutMs != 0 &&
      !::ChangeServiceConfig2A(handle, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown)) {
    problem = Problem("ChangeServiceConfig2A (pre-shutdown time-out)");
    return false;
  }
  return true;
}
}  // namespace

bool PlatformCreateService(const CServiceDefinition& service, std::string& problem) {
  const CServiceHandle manager(OpenManager(SC_MANAGER_ALL_ACCESS));
  if (manager.Get() == nullptr) {
    problem = Problem("OpenSCManagerA");
    return false;
  }
  const std::string command = "\"" + service.programPath + "\"";
  const CServiceHandle created(::CreateServiceA(manager.Get(), service.name.c_str(), service.name.c_str(),
                                                SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                                SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                                nullptr, nullptr, "", nullptr, nullptr));
  if (created.Get() == nullptr) {
    problem = Problem("CreateServiceA");
    return false;
  }
  // Installing is one step: a service without its recovery is taken back.
  if (!ConfigureService(created.Get(), service, problem)) {
    const DWORD error = PlatformGetLastError();
    ::DeleteService(created.Get());
    PlatformSetLastError(error);
    return false;
  }
  return true;
}

bool PlatformInstallEventSource(const CServiceDefinition& service, std::string& problem) {
  const std::string subKey = kEventSourceKeys + service.name;
  CRegKey key;
  long rc = CRegKey::Create(subKey.c_str(), key);
  if (rc == ERROR_SUCCESS)
    rc = key.SetValue("EventMessageFile", REG_EXPAND_SZ, service.programPath.c_str(),
                      static_cast<DWORD>(service.programPath.size() + 1));
  if (rc == ERROR_SUCCESS) rc = RegWriteDword(key, "TypesSupported", kTypesSupported);
  if (rc != ERROR_SUCCESS) {
    PlatformSetLastError(static_cast<DWORD>(rc));
    problem = "HKEY_LOCAL_MACHINE\\" + subKey + ": " + PlatformErrorText(static_cast<DWORD>(rc));
    return false;
  }
  return true;
}

bool PlatformQueryServiceState(const CServiceDefinition& service, DWORD& state, std::string& problem) {
  const CServiceHandle manager(OpenManager(SC_MANAGER_CONNECT));
  if (manager.Get() == nullptr) {
    problem = Problem("OpenSCManagerA");
    return false;
  }
  const CServiceHandle handle(::OpenServiceA(manager.Get(), service.name.c_str(), SERVICE_QUERY_STATUS));
  SERVICE_STATUS status{};
  if (handle.Get() == nullptr || !::QueryServiceStatus(handle.Get(), &status)) {
    problem = Problem(handle.Get() == nullptr ? "OpenServiceA" : "QueryServiceStatus");
    return false;
  }
  state = status.dwCurrentState;
  return true;
}

bool PlatformDeleteService(const CServiceDefinition& service, std::string& problem) {
  const CServiceHandle manager(OpenManager(SC_MANAGER_CREATE_SERVICE));
  if (manager.Get() == nullptr) {
    problem = Problem("OpenSCManagerA");
    return false;
  }
  const CServiceHandle handle(::OpenServiceA(manager.Get(), service.name.c_str(), SERVICE_ALL_ACCESS));
  if (handle.Get() == nullptr || !::DeleteService(handle.Get())) {
    problem = Problem(handle.Get() == nullptr ? "OpenServiceA" : "DeleteService");
    return false;
  }
  return true;
}

std::string PlatformFirewallCommand(const CServiceDefinition& service) {
  return "netsh advfirewall firewall add rule name=\"" + service.name +
         "\" dir=in action=allow protocol=TCP localport=" + std::to_string(service.port) + " program=\"" +
         service.programPath + "\" enable=yes";
}
