// host/StartGateway.cpp: the start routine shared by console and service
// mode, and the clean stop.
//
// Threading: StartGateway runs before any component thread exists; the file
// manager, inbound server and outbound deliverer pointers are written there
// once and only read afterwards. StopGateway runs on the thread that stops
// the process.
#include "host/StartGateway.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include "host/CService.h"
#include "host/ServiceInstall.h"
#include "log/DebugLog.h"
#include "log/EventLog.h"
#include "log/MailLog.h"
#include "mime/FragmentDir.h"
#include "platform/FaultInjection.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "platform/TlsChannel.h"
#include "smtpin/SMTPIn.h"
#include "smtpin/SpoolRecovery.h"
#include "smtpout/SMTPOut.h"
#include "spool/AccessSettings.h"
#include "spool/CFileMan.h"
#include "spool/FileNaming.h"
#include "spool/Ports.h"
#include "spool/Settings.h"
#include "spool/ProgramPathCheck.h"

namespace {

CFileMan* g_FileMan = nullptr;  // lives until the process ends
SMTPIn* g_SMTPIn = nullptr;     // lives until the process ends
SMTPOut* g_SMTPOut = nullptr;   // lives until the process ends

// Mails found in OUT at start are handed off before the first client is
// served; a hand-off that cannot finish in this time goes on in the background.
constexpr std::uint32_t kRecoveryWaitMs = 120000;
// At a stop, sessions receiving a mail get this long to finish it.
constexpr std::uint32_t kSessionFinishMs = 5000;
constexpr std::uint32_t kPollMs = 20;
// A port still held by the last run (or by another server being stopped) is
// tried again for this long before the start gives up.
constexpr std::uint32_t kBindRetryMs = 30000;
constexpr std::uint32_t kBindRetryIntervalMs = 1000;

std::atomic<bool> g_StartAbandoned{false};

// A reason the gateway does not start: the debug log, the event log and, for
// whoever runs it in a console, standard error.
void ReportStartFailure(GatewayEvent event, const std::string& first, const std::string& second) {
  std::string what;
  if (event == GatewayEvent::kNoListener) {
    what = "TCP port " + first + " could not be opened: " + second;
  } else if (event == GatewayEvent::kTlsUnusable) {
    what = "the TLS certificate cannot be used: " + first;
  } else {
    what = "ProgramPath \"" + first + "\" cannot be used: " + second;
  }
  const std::string line = std::string(kServiceShortName) + ": cannot start: " + what;
  DebugLog(line.c_str(), CV_SRC, __LINE__);
  if (event == GatewayEvent::kNoListener) MailLogNotice(line);
  if (event == GatewayEvent::kTlsUnusable) {
    ReportServiceEvent(kEventTypeError, event, {kServiceName, first.c_str()});
  } else {
    ReportServiceEvent(kEventTypeError, event, {kServiceName, first.c_str(), second.c_str()});
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

// Opens the listening socket, trying a port that is taken again until
// kBindRetryMs (the test build's CVSMTPGW_BIND_RETRY_MS) have passed.
bool Listen(int port) {
  const std::uint32_t total = TestDurationMs("CVSMTPGW_BIND_RETRY_MS", kBindRetryMs);
  const std::uint32_t pause = std::min(kBindRetryIntervalMs, std::max<std::uint32_t>(total / 10, 10));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total);
  for (int attempt = 1;; ++attempt) {
    if (g_SMTPIn->ConnectToPort(port, SMTPIn::kListenBacklog) == 0) return true;
    const DWORD error = PlatformGetLastError();
    if (attempt == 1) {
      char text[120];
      std::snprintf(text, sizeof text, "SMTPIn- Port %d could not be opened (%lu); trying again for %lu ms", port,
                    static_cast<unsigned long>(error), static_cast<unsigned long>(total));
      DebugLog(text, CV_SRC, __LINE__);
    }
    for (std::uint32_t slept = 0; slept < pause && !g_StartAbandoned.load(); slept += kPollMs) SleepMs(kPollMs);
    if (g_StartAbandoned.load() || std::chrono::steady_clock::now() >= deadline) {
      PlatformSetLastError(error);
      return false;
    }
  }
}

// Hands off what an earlier run left acknowledged but not handed off.
void RecoverReceivedMails() {
  const auto started = std::chrono::steady_clock::now();
  CSpoolRecovery found = RecoverSpool(g_FileMan->OutDirectory());
  // Spool files that could not be judged now wait in OUT and are looked at again.
  for (std::string& spoolFile : found.later) g_SMTPIn->HandOffs().AddLater(std::move(spoolFile));
  if (found.handOff.empty()) return;
  const std::size_t count = found.handOff.size();
  for (CRecoveredMail& mail : found.handOff) {
    if (!g_SMTPIn->HandOffs().Add(mail.spoolFile, std::move(mail.record), mail.identity)) break;
  }
  const bool done = g_SMTPIn->HandOffs().WaitIdle(kRecoveryWaitMs);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  char text[160];
  std::snprintf(text, sizeof text, "SMTPIn- Received mails of an earlier run handed off at start: %zu in %lld ms%s",
                count, static_cast<long long>(took.count()), done ? "" : " (some still waiting)");
  DebugLog(text, CV_SRC, __LINE__);
}

// The SMTP server's certificate: a server that was told to offer TLS and
// cannot does not start (its clients would send in the clear, or not at all).
bool SetUpInboundTls() {
  const std::string certificate = SettingText(Setting::kTlsCertificateFile);
  const std::string thumbprint = SettingText(Setting::kTlsCertificateThumbprint);
  std::string key = SettingText(Setting::kTlsKeyFile);
  if (key.empty()) key = certificate;
  const bool require = SettingNumber(Setting::kRequireTls) == 1;
  if ((certificate.empty() && thumbprint.empty()) || !TlsAvailable()) {
    if (!certificate.empty() || !thumbprint.empty())
      DebugLog("SMTPIn- A TLS certificate is set, but this build has no TLS: STARTTLS is not offered", CV_SRC,
               __LINE__);
    if (require) DebugLog("SMTPIn- RequireTls is set without TLS: every MAIL is refused", CV_SRC, __LINE__);
    g_SMTPIn->SetTls(nullptr, require);
    return true;
  }
  std::string error;
  std::unique_ptr<CTlsContext> context = CTlsContext::ForServer(certificate, key, thumbprint, error);
  if (!context) {
    ReportStartFailure(GatewayEvent::kTlsUnusable, error, "");
    return false;
  }
  if (thumbprint.empty())
    DebugLogStr("SMTPIn- STARTTLS offered with the certificate of ", certificate.c_str(), CV_SRC, __LINE__);
  else
    DebugLogStr("SMTPIn- STARTTLS offered with the machine store's certificate ", thumbprint.c_str(), CV_SRC,
                __LINE__);
  g_SMTPIn->SetTls(std::move(context), require);
  return true;
}

}  // namespace

CFileMan* TheFileMan() { return g_FileMan; }

bool StopGateway(unsigned milliseconds) {
  if (g_SMTPIn == nullptr) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  const auto left = [&] {
    const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<std::uint32_t>(std::max<long long>(0, rest.count()));
  };
  // No new delivery (one under way may be cut: its message stays in IN).
  if (g_SMTPOut != nullptr) g_SMTPOut->shutdownFlag = 1;
  // No new client; sessions waiting for a command end, those receiving a mail
  // may finish it (and have it acknowledged, since it is then on disk).
  g_SMTPIn->StopAccepting();
  g_SMTPIn->StopConnections(false);
  const std::uint32_t sessionWait = std::min(left(), kSessionFinishMs);
  for (std::uint32_t waited = 0; g_SMTPIn->LiveConnections() > 0 && waited < sessionWait; waited += kPollMs)
    SleepMs(kPollMs);
  g_SMTPIn->StopConnections(true);
  // Every mail acknowledged so far is in its spool file; the hand-offs get
  // the rest of the time, and what they cannot finish waits for the next start.
  const bool handedOff = g_SMTPIn->HandOffs().Stop(left());
  if (!handedOff) DebugLog("SMTPIn- Stopped with received mails left for the next start", CV_SRC, __LINE__);
  CRegKey key;
  if (CRegKey::Create(kGatewayKey, key) == ERROR_SUCCESS) key.Flush();
  return handedOff;
}

void AbandonStart() { g_StartAbandoned.store(true); }

void ReloadSettings() {
  DebugLog("Settings- Reload requested", CV_SRC, __LINE__);
  std::string problem;
  LoadAccessSettings(false, problem);  // a value that cannot be used is reported; the old ones stay
}

int StartGateway(CService* service) {
  // 1. Debug switches first, so that every constructor below can trace.
  ReadDebugSettings();
  // Values the gateway passes over are said once, before anything uses them.
  if (g_FileMan == nullptr) ReportSettingProblems();

  // Nothing is written below a program directory that cannot hold the spool.
  if (g_FileMan == nullptr) {
    const CProgramPathCheck check = CheckProgramPath();
    if (!check.problem.empty()) {
      ReportStartFailure(GatewayEvent::kBadProgramPath, check.value, check.problem);
      return kStartBadProgramPath;
    }
  }

  // Who may send a fax (after the program directory's check: the mail log
  // may write below it): a list that cannot be read stops the start rather
  // than let everyone through.
  if (g_FileMan == nullptr) {
    std::string problem;
    if (!LoadAccessSettings(true, problem)) {
      std::fprintf(stderr, "%s: cannot start: %s\n", kServiceShortName, problem.c_str());
      std::fflush(stderr);
      return kStartBadSetting;
    }
  }

  // 2. The file manager reads the settings; both directions are given it.
  //    Stored fragments of split mails are synced with their own file system.
  if (g_FileMan == nullptr) {
    g_FileMan = new CFileMan();
    const std::string fragments = FragmentPartsDir();
    if (!fragments.empty()) g_FileMan->SpoolSync().AddDirectory(fragments);
  }

  // 3. The inbound server, not yet listening.
  const bool newServer = g_SMTPIn == nullptr;
  if (newServer) {
    g_SMTPIn = new SMTPIn();
    g_SMTPIn->SetFileMan(g_FileMan);
  }
  service->m_SMTPIN = g_SMTPIn;

  // 4. Flags left set by an earlier run must not hold up name drawing.
  ReleaseFileName();
  ReleaseFileNameAtt();

  // The certificate before any client, and before a mail of an earlier run
  // is touched: a start that stops here changes nothing.
  if (newServer && !SetUpInboundTls()) return kStartTlsUnusable;

  // Before any client: what an earlier run acknowledged and did not hand off.
  if (newServer) RecoverReceivedMails();

  // 5-8. Listen and accept. A gateway that cannot take mail does not run:
  //      a service that looked alive while taking no mail would hide it.
  if (newServer) {
    const int port = GetSmtpRxPort();
    if (!Listen(port)) {
      const DWORD error = PlatformGetLastError();
      if (g_StartAbandoned.load()) {
        DebugLog("SMTPIn- Start abandoned for a stop while the port was tried", CV_SRC, __LINE__);
        return kStartAbandoned;
      }
      ReportStartFailure(GatewayEvent::kNoListener, std::to_string(port),
                         std::string(PlatformErrorText(error)) + " (" + std::to_string(error) + ")");
      return kStartNoListener;
    }
    char text[260];
    std::snprintf(text, sizeof text, "SMTPIn listening to port %d", port);
    DebugLog(text, CV_SRC, __LINE__);
    if (g_SMTPIn->StartAcceptThread() != 0) {
      ReportStartFailure(GatewayEvent::kNoListener, std::to_string(port), "its accept thread could not be started");
      return kStartNoListener;
    }
  }

  // 9-10. The outbound deliverer, once the inbound side accepts mail. A
  //       deliverer that does not start is in the debug log; mail is still
  //       taken and waits in IN for the next start.
  if (g_SMTPOut == nullptr) {
    g_SMTPOut = new SMTPOut();
    g_SMTPOut->fileMan = g_FileMan;
    service->m_SMTPOUT = g_SMTPOut;
    g_SMTPOut->Start();
    return kGatewayStarted;
  }
  service->m_SMTPOUT = g_SMTPOut;
  return kGatewayStarted;
}
