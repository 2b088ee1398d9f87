// smtpin/SMTPIn.h: the inbound SMTP server: a C_WINSOCK whose connections are
// SMTPInThread sessions.
//
// Threading: created once at start-up and never destroyed. m_FileMan is set
// before the accept thread starts and only read afterwards. The base's
// m_ServerLock is the submission lock: hand-offs of all sessions run under it,
// one at a time. Sessions leave their hand-offs to m_HandOffs.
#pragma once

#include "net/C_WINSOCK.h"
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
  std::recursive_mutex& SubmissionLock() { return m_ServerLock; }
  CHandOffQueue& HandOffs() { return m_HandOffs; }
  CRateLimits& RateLimits() { return m_RateLimits; }

 private:
  CFileMan* m_FileMan = nullptr;  // the process's file manager, not owned
  CHandOffQueue m_HandOffs{m_ServerLock};
  CRateLimits m_RateLimits;  // the hour is the test build's CVSMTPGW_RATE_WINDOW_MS there
};
