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

#include "platform/win32/Win32Api.h"

namespace {

using Clock = std::chrono::steady_clock;

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
      std::printf("t=%lld state=%lu checkpoint=%lu hint=%lu controls=0x%lx exit=%lu specific=%lu\n",
                  static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()),
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

// open-no-delete <path>: opens the file for reading, sharing reads and writes
// but not deletion; prints "opened" or "refused <error>" and holds it until
// standard input ends.
int OpenNoDelete(char** argv) {
  const HANDLE file = ::CreateFileA(argv[0], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
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

int PlatformHelperCommand(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "store-certificate") == 0) return StoreCertificate(argv + 2);
  if (argc >= 3 && std::strcmp(argv[1], "no-desktop") == 0) return NoDesktop(argc - 2, argv + 2);
  if (argc == 5 && std::strcmp(argv[1], "service-watch") == 0) return ServiceWatch(argv + 2);
  if (argc == 3 && std::strcmp(argv[1], "service-paramchange") == 0) return ServiceParamChange(argv + 2);
  if (argc == 3 && std::strcmp(argv[1], "open-no-delete") == 0) return OpenNoDelete(argv + 2);
  return -1;
}
