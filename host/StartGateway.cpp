// host/StartGateway.cpp: the start routine shared by console and service mode.
//
// Threading: runs before any component thread exists; the file manager,
// inbound server and outbound deliverer pointers are written here once and
// only read afterwards.
#include "host/StartGateway.h"

#include <cstdio>

#include "host/CService.h"
#include "host/Ports.h"
#include "log/DebugLog.h"
#include "smtpin/SMTPIn.h"
#include "smtpout/SMTPOut.h"
#include "spool/CFileMan.h"
#include "spool/FileNaming.h"

namespace {

CFileMan* g_FileMan = nullptr;  // lives until the process ends
SMTPIn* g_SMTPIn = nullptr;     // lives until the process ends
SMTPOut* g_SMTPOut = nullptr;   // lives until the process ends

}  // namespace

CFileMan* TheFileMan() { return g_FileMan; }

bool FinishHandOffs(unsigned milliseconds) {
  if (g_SMTPIn == nullptr) return true;
  g_SMTPIn->StopAccepting();  // no new client
  if (g_SMTPIn->HandOffs().Drain(milliseconds)) return true;
  DebugLog("SMTPIn- Error: stopped with received mails not yet handed off", CV_SRC, __LINE__);
  return false;
}

int StartGateway(CService* service) {
  // 1. Debug switches first, so that every constructor below can trace.
  ReadDebugSettings();

  // 2. The file manager reads the settings; both directions are given it.
  if (g_FileMan == nullptr) g_FileMan = new CFileMan();

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

  // 5-8. Listen and accept. A failed listen is in the log already; start-up
  //      goes on and the accept thread ends on its first accept.
  if (newServer) {
    const int port = GetSmtpRxPort();
    g_SMTPIn->ConnectToPort(port, SMTPIn::kListenBacklog);
    char text[260];
    std::snprintf(text, sizeof text, "SMTPIn listening to port %d", port);
    DebugLog(text, CV_SRC, __LINE__);
    g_SMTPIn->StartAcceptThread();
  }

  // 9-10. The outbound deliverer, once the inbound side accepts mail.
  if (g_SMTPOut == nullptr) {
    g_SMTPOut = new SMTPOut();
    g_SMTPOut->fileMan = g_FileMan;
    service->m_SMTPOUT = g_SMTPOut;
    return static_cast<int>(g_SMTPOut->Start());
  }
  service->m_SMTPOUT = g_SMTPOut;
  return 0;
}
