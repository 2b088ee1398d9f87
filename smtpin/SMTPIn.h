// smtpin/SMTPIn.h: the inbound SMTP server: a C_WINSOCK whose connections are
// SMTPInThread sessions.
//
// Threading: created once at start-up and never destroyed. m_FileMan is set
// before the accept thread starts and only read afterwards. The base's
// m_ServerLock is the submission lock: hand-offs of all sessions run under it,
// one at a time. Sessions leave their hand-offs to m_HandOffs. The TLS context
// and RequireTls are set before the accept thread starts and only read after.
#pragma once

#include <memory>

#include "net/C_WINSOCK.h"
#include "platform/TlsChannel.h"
#include "smtpin/HandOffQueue.h"
#include "smtpin/RateLimits.h"

class CFileMan;

class SMTPIn : public C_WINSOCK {
 public:
  // Pending connections the system may hold before the accept thread takes
  // them. A full queue here does not refuse a client: its handshake completes
  // and it then waits for a greeting that never comes. So the queue is made
  // deep enough for a burst; the connection limit still decides who is served.
  static constexpr int kListenBacklog = 128;

  SMTPIn();
  ~SMTPIn() override = default;

  C_WSTHREAD* CreateThreadInstance() override;
  void ReleaseThreadInstance(C_WSTHREAD* instance) override;

  void SetFileMan(CFileMan* fileMan) {
    m_FileMan = fileMan;
    m_HandOffs.SetFileMan(fileMan);
  }
  CFileMan* FileMan() const { return m_FileMan; }
  // The certificate's context (null: no STARTTLS) and RequireTls.
  void SetTls(std::unique_ptr<CTlsContext> context, bool requireTls) {
    m_TlsContext = std::move(context);
    m_RequireTls = requireTls;
  }
  CTlsContext* TlsContext() const { return m_TlsContext.get(); }
  bool RequireTls() const { return m_RequireTls; }
  std::recursive_mutex& SubmissionLock() { return m_ServerLock; }
  CHandOffQueue& HandOffs() { return m_HandOffs; }
  CRateLimits& RateLimits() { return m_RateLimits; }

 private:
  CFileMan* m_FileMan = nullptr;  // the process's file manager, not owned
  std::unique_ptr<CTlsContext> m_TlsContext;
  bool m_RequireTls = false;
  CHandOffQueue m_HandOffs{m_ServerLock};
  CRateLimits m_RateLimits;  // the hour is the test build's CVSMTPGW_RATE_WINDOW_MS there
};
