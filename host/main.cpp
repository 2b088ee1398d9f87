// host/main.cpp: the process entry; the last two characters of the command
// line choose install (-i), remove (-u), console (-m) or service mode.
//
// Threading: the main thread either waits in the console key loop or in the
// service manager's dispatcher; the gateway's work runs on the threads that
// StartGateway starts.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "host/CService.h"
#include "host/CommandLine.h"
#include "host/ServiceInstall.h"
#include "host/StartGateway.h"
#include "platform/System.h"
#include "platform/WinCodes.h"

namespace {

constexpr const char kServiceName[] = "Corvane SMTP Server";
constexpr std::uint32_t kKeyPollMs = 1000;
constexpr unsigned kHandOffFinishMs = 60000;  // each hand-off takes far less

CService g_Service;  // the service mode's object, alive for the whole process

// Runs until a lowercase q is read. At the end of input every read returns at
// once, so the loop then wakes every second until the process is ended.
void RunConsole() {
  auto service = std::make_unique<CService>();
  StartGateway(service.get());
  std::fputs("Press q to stop the gateway\n", stdout);
  std::fflush(stdout);
  int c = ConsoleReadChar();
  while (c != 'q') {
    SleepMs(kKeyPollMs);
    c = ConsoleReadChar();
  }
  StopGateway(kHandOffFinishMs);
}

void RunService() {
  if (g_Service.Initservice(kServiceName, StartGateway) != 0) return;
  const DWORD error = PlatformGetLastError();
  ShowMessageBox("Command prompt:Service will about to start", "Startup Message", MB_OK_CODE);
  ShowMessageBox(PlatformErrorText(error), "Error", MB_ICONINFORMATION_CODE);
}

}  // namespace

int main() {
  TuneProcessMemory();
  switch (ChooseMode(ProcessCommandLine())) {
    case GatewayMode::kConsole:
      RunConsole();
      break;
    case GatewayMode::kInstall:
      InstallService();
      break;
    case GatewayMode::kRemove:
      RemoveService();
      break;
    case GatewayMode::kService:
      RunService();
      break;
  }
  // The gateway's threads are never stopped and may still be logging or
  // reading the registry: the process ends without running static destructors
  // under them. The exit code is 1 whatever happened.
  std::fflush(stdout);
  std::fflush(stderr);
  std::quick_exit(1);
}
