// smtpin/SMTPInThread.h: one inbound SMTP session (HELO, EHLO, STARTTLS,
// MAIL, RCPT, DATA, HELP, QUIT, NOOP, RSET) on an accepted connection.
//
// The session stores each message with a trace line in a spool file OUT/n.zqx
// and hands the stored file on for fax submission. It relays nothing. Who may
// send is decided by the access settings current when the client connected
// (spool/AccessSettings.h), kept for the whole session: a client outside
// ClientNetworks gets "554" in place of the greeting; a recipient whose fax
// number the lists do not permit gets "550"; the hourly limits give "451".
// Each mail leaves one line in the mail log (log/MailLog.h). Commands are
// dispatched from a table that says in which states each is allowed; every
// reply leaves through Reply. After STARTTLS (RFC 3207) the session forgets
// all it was told and waits for a new EHLO; what the client sent after the
// command in plaintext is never read.
//
// Threading: created, run and destroyed on its connection thread; its fields
// are touched by that thread only. The server's file manager and submission
// lock are shared with the other sessions.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "log/MailLog.h"
#include "mime/RecipientList.h"
#include "net/C_WSTHREAD.h"
#include "platform/File.h"
#include "smtpin/HandOffQueue.h"
#include "spool/AccessSettings.h"
#include "spool/SpoolRecord.h"

class SMTPIn;

class SMTPInThread : public C_WSTHREAD {
 public:
  // Session states.
  static constexpr int kWaitHelo = 1;
  static constexpr int kWaitMail = 2;
  static constexpr int kWaitRcptOrData = 3;
  static constexpr int kReceivingData = 101;

  // Command codes of RecognizeCommand.
  enum Command {
    kUnknown = 0, kHelo, kMail, kRcpt, kData, kHelp, kQuit, kNoop, kRset, kEhlo, kStartTls, kCommandCount
  };

  static constexpr int kCommandLineSize = 100;  // a longer line comes in pieces, each a command
  static constexpr int kDataLineSize = 100;     // data is read in pieces of this size
  static constexpr std::size_t kSpoolPathSize = 260;
  static constexpr std::size_t kDomainNameSize = 80;
  // RFC 5321's minimum; a mail to more is sent again for the rest.
  static constexpr std::size_t kMaxRecipients = 100;
  // Time limit of a session: from the connection, and again from the end of
  // each mail's data, a client has this long to get its next mail to the end
  // of its data (or to leave). The receive time-out alone does not end a
  // client that sends a byte every few seconds; this does, with "421". Ten
  // minutes are more than any client needs for the commands of one mail.
  static constexpr std::uint32_t kMailTimeLimitMs = 10 * 60 * 1000;
  // The data of a mail extends the limit by a second for every this many
  // bytes kept, so that a large mail on a slow line still arrives: a client
  // that sends its data at 1 KiB/s or faster never reaches the limit.
  static constexpr std::uint32_t kDataBytesPerSecond = 1024;
  // The "421" at the time limit waits no longer than this to be sent.
  static constexpr int kFarewellSendMs = 2000;
  // A refused mail's spool file: the sync that puts its removal on disk is
  // tried this often before the session gives up on refusing it.
  static constexpr int kWithdrawSyncAttempts = 3;
  // A TLS handshake must be over within this time (and within the session's
  // time limit), so a client that stalls in it holds no thread for long.
  static constexpr std::uint32_t kTlsHandshakeMs = 30000;
  // A client outside ClientNetworks: after "554" the connection ends at its
  // next command, or after this long (CVSMTPGW_DENIED_WAIT_MS in the test build).
  static constexpr std::uint32_t kDeniedWaitMs = 10000;
  // Recipients of one mail named in its mail-log line; the rest are counted.
  static constexpr std::size_t kMaxLoggedRecipients = 200;

  SMTPInThread();
  ~SMTPInThread() override;

  int Run() override;
  // A refused connection gets no word: the listener closes it.
  int Refuse() override;
  // A mail being received is finished first unless `force`.
  void StopRequested(bool force) override;
  // Sets the time limit of each mail (kMailTimeLimitMs unless a test shortens it).
  void SetMailTimeLimitMs(std::uint32_t milliseconds) { m_MailTimeLimitMs = milliseconds; }

  // The command of a line, case-insensitive: from its first four characters,
  // or for STARTTLS its whole first word.
  static int RecognizeCommand(const char* line);

  int State() const { return m_State; }
  const std::string& Helo() const { return m_Helo; }
  const std::string& MailFrom() const { return m_MailFrom; }
  const CRecipientList& Recipients() const { return m_Recipients; }
  const char* SpoolFile() const { return m_SpoolFile; }

 private:
  using Handler = void (SMTPInThread::*)(std::string_view argument, const char* line);
  struct CommandEntry {
    const char* verb;        // as recognised (four characters, or a longer word); null for unknown
    unsigned allowedStates;  // bit per command state; others get 503
    bool sequenceStep;       // HELO, MAIL, RCPT, DATA: logged as "received" where allowed
    Handler handler;
  };
  static const CommandEntry kCommandTable[kCommandCount];

  SMTPIn* Server() const;
  void Dispatch(const char* line);
  void LogWait() const;
  void LogUnexpected(const char* line) const;

  void OnHelo(std::string_view argument, const char* line);
  void OnEhlo(std::string_view argument, const char* line);
  void OnStartTls(std::string_view argument, const char* line);
  void OnMail(std::string_view argument, const char* line);
  void OnRcpt(std::string_view argument, const char* line);
  void OnData(std::string_view argument, const char* line);
  void OnHelp(std::string_view argument, const char* line);
  void OnQuit(std::string_view argument, const char* line);
  void OnNoop(std::string_view argument, const char* line);
  void OnRset(std::string_view argument, const char* line);
  void OnUnknown(std::string_view argument, const char* line);

  // Reads the message after "354" into a new spool file until the end line,
  // acknowledges it only once it is on disk, and hands it on.
  void ReceiveMessage();
  // Removes the spool file of a mail about to be refused and puts that
  // removal on disk; false when it may still be found after a power cut.
  bool WithdrawSpoolFile(CFileMan& fileMan, const CFileIdentity& identity);
  // The one place where a stored and acknowledged message leaves the session.
  void HandOffSpoolFile(CSpoolRecord record, const CFileIdentity& identity);
  // Sends one reply (all its lines in one send) and logs it.
  void Reply(std::string_view text);
  // The next mail's time limit starts now.
  void RenewTimeLimit();
  // The time limit has passed: "421" and the end of the session.
  void EndAtTimeLimit();
  // A client outside ClientNetworks: "554", its next command answered, the end.
  void RefuseClient();
  // The mail-log line of the current mail: begun at MAIL, a recipient and its
  // verdict added, written with why no submission came (an accepted mail's
  // line goes with its hand-off and is written once it is submitted).
  void NoteRecipient(std::string_view argument, bool accepted, std::string_view why);
  void EndMailLog(std::string noSubmission);

  std::string m_Helo;           // argument of the last accepted HELO
  std::string m_MailFrom;       // argument of the last accepted MAIL, "FROM:" and brackets kept
  CRecipientList m_Recipients;  // RCPT arguments since the last MAIL; kept by RSET
  int m_State = kWaitHelo;
  char m_SpoolFile[kSpoolPathSize] = {};  // spool file of the message being or last received
  char m_DomainName[kDomainNameSize] = {};
  bool m_Ending = false;                                   // QUIT answered, or the connection is gone
  std::uint32_t m_MailTimeLimitMs;                         // see kMailTimeLimitMs
  std::chrono::steady_clock::time_point m_MailDeadline{};  // the current mail's, before its data
  std::atomic<bool> m_InData{false};                       // receiving a mail (read by StopRequested)
  std::atomic<bool> m_StopAfterData{false};                // the server stops: end after this mail
  CHandOffQueue::CSlot m_HandOffSlot;                      // reserved at DATA for the mail being received
  std::shared_ptr<const CAccessSettings> m_Access;         // as they were when the client connected
  std::uint32_t m_ClientAddress = 0;                       // host byte order
  CInboundMailRecord m_MailLog;                            // the current mail's line
  bool m_MailLogOpen = false;                              // a MAIL was accepted, its line not yet written
};
