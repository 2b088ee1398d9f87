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
#include "host/UserMessage.h"
#include "log/DebugLog.h"
#include "platform/ServiceManager.h"
#include "platform/System.h"
#include "platform/WinCodes.h"
#include "spool/Settings.h"

namespace {

constexpr std::uint32_t kKeyPollMs = 1000;
constexpr unsigned kHandOffFinishMs = 60000;  // each hand-off takes far less

CService g_Service;  // the service mode's object, alive for the whole process

// Runs until a lowercase q is read: exit status 1, as ever. At the end of
// input every read returns at once, so the loop then wakes every second until
// the process is ended. A gateway that cannot start ends at once with the
// start's reason as its exit status (its line is on standard error).
int RunConsole() {
  auto service = std::make_unique<CService>();
  const int started = StartGateway(service.get());
  if (started != kGatewayStarted) {
    StopGateway(kHandOffFinishMs);  // what the start recovered is handed off first
    return started;
  }
  ConsoleWatchReload(ReloadSettings);
  std::fputs("Press q to stop the gateway\n", stdout);
  std::fflush(stdout);
  int c = ConsoleReadChar();
  while (c != 'q') {
    SleepMs(kKeyPollMs);
    c = ConsoleReadChar();
  }
  StopGateway(kHandOffFinishMs);
  return 1;
}

// The exit status: what the service's stopped report said (0 only after a
// clean stop), or 1 when the dispatcher could not start.
int RunService() {
  // The service's own trace begins before the dispatcher; the start routine,
  // which reads these switches too, runs only once the service is starting.
  ReadDebugSettings();
  if (g_Service.Initservice(kServiceName, StartGateway) != 0) return PlatformServiceExitCode();
  const DWORD error = PlatformGetLastError();
  ShowUserMessage("Command prompt:Service will about to start", "Startup Message", MB_OK_CODE);
  ShowUserMessage(PlatformErrorText(error), "Error", MB_ICONINFORMATION_CODE);
  return 1;
}

}  // namespace

int main() {
  TuneProcessMemory();
  int exitCode = 1;
  switch (ChooseMode(ProcessCommandLine())) {
    case GatewayMode::kConsole:
      exitCode = RunConsole();
      break;
    case GatewayMode::kInstall:
      exitCode = InstallService() ? 0 : 1;
      break;
    case GatewayMode::kRemove:
      exitCode = RemoveService() ? 0 : 1;
      break;
    case GatewayMode::kService:
      exitCode = RunService();
      break;
  }
  // The gateway's threads are never stopped and may still be logging or
  // reading the registry: the process ends without running static destructors
  // under them. Installation and removal exit 0 when they succeeded and 1
  // when not, so that a script can tell; a service exits with what its stopped
  // report said, which its service manager reads; a console run with 1, or
  // the reason it could not start.
  std::fflush(stdout);
  std::fflush(stderr);
  QuickExit(exitCode);
}
