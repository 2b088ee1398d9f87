// host/StartGateway.cpp: the start routine shared by console and service mode.
//
// Threading: runs before any component thread exists; the file manager pointer
// is written here once and only read afterwards.
#include "host/StartGateway.h"

#include "host/CService.h"
#include "log/DebugLog.h"
#include "spool/CFileMan.h"
#include "spool/FileNaming.h"

namespace {

CFileMan* g_FileMan = nullptr;  // lives until the process ends

}  // namespace

CFileMan* TheFileMan() { return g_FileMan; }

int StartGateway(CService* service) {
  (void)service;  // records m_SMTPIN and m_SMTPOUT once those components join

  // 1. Debug switches first, so that every constructor below can trace.
  ReadDebugSettings();

  // 2. The file manager reads the settings; both directions are given it.
  if (g_FileMan == nullptr) g_FileMan = new CFileMan();

  // 3. TODO(inbound server): create SMTPIn, give it TheFileMan(), record it in
  //    service->m_SMTPIN.

  // 4. Flags left set by an earlier run must not hold up name drawing.
  ReleaseFileName();
  ReleaseFileNameAtt();

  // 5-8. TODO(inbound server): port from GetSmtpRxPort(), ConnectToPort with
  //      backlog 5, the "SMTPIn listening to port %d" entry, the accept thread.

  // 9-10. TODO(outbound deliverer): create SMTPOut, give it TheFileMan(),
  //       record it in service->m_SMTPOUT, start its main thread and return
  //       that result.
  return 0;
}
