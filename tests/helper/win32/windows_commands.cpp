// tests/helper/win32/windows_commands.cpp: what the Windows tests need from a
// second process that only Windows calls can do: a run without a desktop,
// the service manager's view of a service and a control sent to it (wine's
// sc sends none but start and stop), and a reader that does not share
// deletion (as a virus scanner or a backup agent opens files).
// Single-threaded.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/File.h"
#include "platform/win32/Win32Api.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// no-desktop <program> [args...]: runs the program in a window station of its
// own that is not visible (as a service session or a remote shell is), with
// this process's standard handles; its exit status.
int NoDesktop(int argc, char** argv) {
  const HWINSTA station = ::CreateWindowStationA("cvsmtpgw-test-nodesktop", 0, WINSTA_ALL_ACCESS, nullptr);
  if (station == nullptr) return std::fprintf(stderr, "CreateWindowStation: %lu\n", ::GetLastError()), 90;
  const HWINSTA own = ::GetProcessWindowStation();
  ::SetProcessWindowStation(station);
  const HDESK desktop = ::CreateDesktopA("Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  ::SetProcessWindowStation(own);
  if (desktop == nullptr) return std::fprintf(stderr, "CreateDesktop: %lu\n", ::GetLastError()), 91;
  std::string command;
  for (int i = 0; i < argc; ++i) command += std::string(i == 0 ? "" : " ") + "\"" + argv[i] + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  char where[] = "cvsmtpgw-test-nodesktop\\Default";
  startup.lpDesktop = where;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
    return std::fprintf(stderr, "CreateProcess: %lu\n", ::GetLastError()), 92;
  ::WaitForSingleObject(info.hProcess, 120000);
  DWORD code = 93;
  ::GetExitCodeProcess(info.hProcess, &code);
  return static_cast<int>(code);
}

bool PortAnswers(int port) {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = ::htons(static_cast<u_short>(port));
  to.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  const bool answered = ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  ::closesocket(s);
  return answered;
}

// service-watch <name> <port> <ms>: QueryServiceStatusEx every 5 ms for up to
// <ms>; one line per change "t=<ms> state=<n> checkpoint=<n> hint=<n>
// controls=<hex> exit=<n> specific=<n>", and at the first running state
// whether the port takes a connection ("port answered" or "port silent").
// Ends once the service has stopped after being anything else.
int ServiceWatch(char** argv) {
  WSADATA data;
  ::WSAStartup(0x0202, &data);
  const SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  const int port = std::atoi(argv[1]);
  const auto start = Clock::now();
  const auto end = start + std::chrono::milliseconds(std::atol(argv[2]));
  SERVICE_STATUS_PROCESS last{};
  bool seen = false, left = false, running = false;
  while (Clock::now() < end) {
    const SC_HANDLE service = manager != nullptr ? ::OpenServiceA(manager, argv[0], SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS now{};
    DWORD needed = 0;
    const bool got = service != nullptr && ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                                                  reinterpret_cast<BYTE*>(&now), sizeof now, &needed);
    if (service != nullptr) ::CloseServiceHandle(service);
    if (got && (!seen || now.dwCurrentState != last.dwCurrentState || now.dwCheckPoint != last.dwCheckPoint ||
                now.dwWaitHint != last.dwWaitHint || now.dwControlsAccepted != last.dwControlsAccepted)) {
      std::printf("t=%lld state=%lu checkpoint=%lu hint=%lu controls=0x%lx exit=%lu specific=%lu\n", MsSince(start),
                  now.dwCurrentState, now.dwCheckPoint, now.dwWaitHint, now.dwControlsAccepted, now.dwWin32ExitCode,
                  now.dwServiceSpecificExitCode);
      if (now.dwCurrentState == SERVICE_RUNNING && !running) {
        running = true;
        std::printf(PortAnswers(port) ? "port answered\n" : "port silent\n");
      }
      std::fflush(stdout);
      seen = true;
      last = now;
      if (now.dwCurrentState != SERVICE_STOPPED) left = true;
      if (left && now.dwCurrentState == SERVICE_STOPPED) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (manager != nullptr) ::CloseServiceHandle(manager);
  return left && last.dwCurrentState == SERVICE_STOPPED ? 0 : 1;
}

// service-config <name>: what the installation set besides CreateServiceA,
// one "name=value" line each.
int ServiceConfig(char** argv) {
  const SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  const SC_HANDLE service = manager != nullptr ? ::OpenServiceA(manager, argv[0], SERVICE_QUERY_CONFIG) : nullptr;
  if (service == nullptr) return 1;
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  if (::QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(), 8192, &needed)) {
    const auto* text = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer.data());
    std::printf("description=%s\n", text->lpDescription != nullptr ? text->lpDescription : "");
  }
  if (::QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), 8192, &needed)) {
    const auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer.data());
    std::printf("reset=%lu\nactions=", failure->dwResetPeriod);
    for (DWORD i = 0; i < failure->cActions; ++i)
      std::printf("%s%d:%lu", i == 0 ? "" : ",", static_cast<int>(failure->lpsaActions[i].Type),
                  failure->lpsaActions[i].Delay);
    std::printf("\n");
  }
  if (::QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, buffer.data(), 8192, &needed))
    std::printf("onerrors=%d\n", reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(buffer.data())->fFailureActionsOnNonCrashFailures);
  if (::QueryServiceConfig2A(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, buffer.data(), 8192, &needed))
    std::printf("delayed=%d\n", reinterpret_cast<SERVICE_DELAYED_AUTO_START_INFO*>(buffer.data())->fDelayedAutostart);
  if (::QueryServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, buffer.data(), 8192, &needed))
    std::printf("preshutdown=%lu\n", reinterpret_cast<SERVICE_PRESHUTDOWN_INFO*>(buffer.data())->dwPreshutdownTimeout);
  ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);
  return 0;
}

HANDLE OpenWithoutDeleteSharing(const std::string& path) {
  return ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// open-no-delete <path>: opens the file for reading, sharing reads and writes
// but not deletion; prints "opened" or "refused <error>" and holds it until
// standard input ends.
int OpenNoDelete(char** argv) {
  const HANDLE file = OpenWithoutDeleteSharing(argv[0]);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("refused %lu\n", ::GetLastError());
  } else {
    std::printf("opened\n");
  }
  std::fflush(stdout);
  while (std::fgetc(stdin) != EOF) {
  }
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  return 0;
}

// scan <ms> <directory> <pattern>...: for <ms>, opens every file of the
// directory that matches a pattern as a scanner does (no deletion shared),
// holds it 20 ms and closes it, again and again; prints how often an open
// succeeded and how often a sharing violation kept it out.
int Scan(int argc, char** argv) {
  const auto end = Clock::now() + std::chrono::milliseconds(std::atol(argv[0]));
  const std::string directory = argv[1];
  long opened = 0, refused = 0;
  while (Clock::now() < end) {
    for (int p = 2; p < argc; ++p) {
      std::vector<std::string> names;
      FindFiles(directory, argv[p], names);
      for (const std::string& name : names) {
        const HANDLE file = OpenWithoutDeleteSharing(directory + "\\" + name);
        if (file == INVALID_HANDLE_VALUE) {
          if (::GetLastError() == ERROR_SHARING_VIOLATION) ++refused;
          continue;
        }
        ++opened;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::CloseHandle(file);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::printf("opened=%ld refused=%ld\n", opened, refused);
  return 0;
}

// service-paramchange <name>: sends the service SERVICE_CONTROL_PARAMCHANGE; 0
// when the service took it.
int ServiceParamChange(char** argv) {
  const SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  const SC_HANDLE service = manager != nullptr ? ::OpenServiceA(manager, argv[0], SERVICE_PAUSE_CONTINUE) : nullptr;
  if (service == nullptr) return 1;
  SERVICE_STATUS status{};
  const bool taken = ::ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status) != 0;
  if (!taken) std::printf("refused: %lu\n", ::GetLastError());
  ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);
  return taken ? 0 : 1;
}

}  // namespace

int StoreCertificate(char** argv);  // certificate_commands.cpp
int TlsClient(char** argv);         // certificate_commands.cpp

int PlatformHelperCommand(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "store-certificate") == 0) return StoreCertificate(argv + 2);
  if (argc == 6 && std::strcmp(argv[1], "tls-client") == 0) return TlsClient(argv + 2);
  if (argc >= 3 && std::strcmp(argv[1], "no-desktop") == 0) return NoDesktop(argc - 2, argv + 2);
  if (argc == 5 && std::strcmp(argv[1], "service-watch") == 0) return ServiceWatch(argv + 2);
  if (argc == 3 && std::strcmp(argv[1], "service-config") == 0) return ServiceConfig(argv + 2);
  if (argc == 3 && std::strcmp(argv[1], "service-paramchange") == 0) return ServiceParamChange(argv + 2);
  if (argc == 3 && std::strcmp(argv[1], "open-no-delete") == 0) return OpenNoDelete(argv + 2);
  if (argc >= 5 && std::strcmp(argv[1], "scan") == 0) return Scan(argc - 2, argv + 2);
  return -1;
}
