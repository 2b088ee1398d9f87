// smtpout/SMTPOut.h: the outbound deliverer: watches IN for the fax server's
// outbound message files, composes each into a MIME mail and delivers it to
// the receiver domain's mail exchangers over the inherited connection.
//
// Each message has a delivery state of its own (DeliveryState.h): attempts
// are counted per message file and spread over about an hour, and a message
// waiting for its next attempt never holds up the others. A message the
// receiver has confirmed with its 250 is never sent again.
//
// Threading: the host thread constructs the object, sets fileMan, calls Start
// and (in tests) destroys it; everything else runs on the one main thread that
// Start creates, which delivers one message at a time. shutdownFlag is the only
// field both threads touch after Start (the destructor also wakes the watch).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/C_WSClient.h"
#include "platform/DirectoryWatch.h"
#include "platform/File.h"
#include "platform/System.h"
#include "platform/TlsChannel.h"
#include "smtpout/DeliveryState.h"
#include "smtpout/RelayCache.h"
#include "smtpout/SmartHost.h"

class CFileMan;

// Results of SendOutboundMsg (and RunDialogue).
constexpr std::uint32_t kSendDelivered = 0;
constexpr std::uint32_t kSendNoHost = 2;    // no exchanger took a connection, or no usable DNS answer
constexpr std::uint32_t kSendBroken = 3;    // the connection broke or a reply did not come in time
constexpr std::uint32_t kSendDeferred = 4;  // a 4xx reply: try again later
constexpr std::uint32_t kSendRefused = 5;   // a 5xx reply, or no such domain: never again
// The relay host cannot be used as configured (its 535 to our credentials, or
// no TLS to send them over): the mail waits, no attempt counted, and the
// event is reported once.
constexpr std::uint32_t kSendRelayUnusable = 6;

class SMTPOut : public C_WSClient {
 public:
  static constexpr std::size_t kMailFromSize = 260;
  static constexpr int kReplyTimeoutMs = 35000;  // each reply line of a remote server
  // The reply to the end of the data (RFC 5321 4.5.3.2.6): a receiver may
  // scan the mail first, and giving up early would send it twice.
  static constexpr int kDataEndTimeoutMs = 10 * 60 * 1000;
  static constexpr std::uint32_t kPollMs = 10000;  // IN is looked at this often even without a change
  // While a message is held by another process (being written), IN is looked
  // at this often: its writer's close may not be reported.
  static constexpr std::uint32_t kHeldPollMs = 1000;
  static constexpr std::uint32_t kStopWaitMs = 10000;
  static constexpr int kAttempts = CDeliverySchedule::kAttempts;

  // Reads DNSName, RFCMode, SmtpTxPort, MailFrom and SetMailFrom.
  SMTPOut();
  // Sets shutdownFlag and waits for the main thread: up to kStopWaitMs, then,
  // if a delivery is still running, until it ends (it is bounded by its
  // time-outs), so that the thread never outlives the object.
  ~SMTPOut() override;

  // 0 the main thread runs; 1 shutdownFlag is already set; 2 no thread.
  std::uint32_t Start();
  int Stop();
  int Pause();
  int Resume();

  // One SMTP delivery of the composed mail in `mailFile` from the envelope
  // sender `sender` to `bareAddress`; `work` (capacity `size`) holds the
  // receiver name on entry. One of the kSend results; LastReply() says why
  // for any but kSendDelivered.
  std::uint32_t SendOutboundMsg(CFile& mailFile, const char* sender, const char* bareAddress, char* work,
                                int size);
  // The dialogue on a connection already made (part of SendOutboundMsg).
  std::uint32_t RunDialogue(CFile& mailFile, const char* sender, const char* bareAddress, char* work, int size);
  // The remote server's reply (or the lookup's finding) that ended the last
  // delivery that failed, fit for a log line; empty when there was none.
  const std::string& LastReply() const { return m_LastReply; }
  void SetLastReply(std::string reply) { m_LastReply = std::move(reply); }
  // The TLS version of the last delivery's connection ("TLSv1.3"), empty
  // when it went in plaintext: for the mail log.
  const std::string& LastTls() const { return m_LastTls; }
  void SetLastTls(std::string version) { m_LastTls = std::move(version); }

  // OutboundTls: 0 STARTTLS when offered, else plaintext; 1 TLS required;
  // 2 required, and the certificate verified against the system's trust
  // store and the host name. The constructor sets it from the setting.
  void SetOutboundTls(std::uint32_t level);
  std::uint32_t OutboundTls() const { return m_OutboundTls; }
  // SmartHost, SmartHostUser and SmartHostPasswordFile; the constructor sets
  // them from the settings. An empty host: mail goes to the receivers' MX.
  void SetSmartHost(const std::string& value, const std::string& user, const std::string& passwordFile);
  const CSmartHost* SmartHost() const { return m_SmartHost.host.empty() ? nullptr : &m_SmartHost; }
  const std::string& SmartHostUser() const { return m_SmartHostUser; }
  // The password from SmartHostPasswordFile (its first line); false with
  // `error` when it cannot be read. The password is never logged.
  bool ReadSmartHostPassword(std::string& password, std::string& error) const;
  // Reports event 436 for a relay host that cannot be used, once until a
  // delivery succeeds again.
  void ReportRelayUnusable(const std::string& why);
  void RelayUsable() { m_RelayReported = false; }

  // The client context for STARTTLS; null when this build has none.
  CTlsContext* TlsContext() const { return m_TlsContext.get(); }
  // The host name of the connection being made (what a certificate must name).
  const std::string& CurrentHost() const { return m_CurrentHost; }
  // Set by the dialogue when the host failed for a reason another exchanger
  // may not have (TLS): the next candidate is tried at once.
  void SetTryNextHost() { m_TryNextHost = true; }
  // For the mail log: the exchanger the last delivery reached (empty when
  // none), and its reply to the end of the data (empty when it got that far not).
  const std::string& LastExchanger() const { return m_LastExchanger; }
  const std::string& DataEndReply() const { return m_DataEndReply; }
  void SetDataEndReply(std::string reply) { m_DataEndReply = std::move(reply); }

  // The envelope sender for a composed mail: MailFrom when SetMailFrom says
  // so, else the address of the mail's FROM: line when it is a mailbox, else
  // postmaster at DomainName.
  std::string EnvelopeSender(CFile& mailFile) const;

  // Called by the dialogue the moment the receiver has taken the mail (its 250
  // to the end of the data), before QUIT: the delivery run settles the
  // message there. Set for one SendOutboundMsg call; empty: nothing is called.
  void SetAcceptedHook(std::function<void()> hook) { m_AcceptedHook = std::move(hook); }
  void MailAccepted() {
    if (m_AcceptedHook) m_AcceptedHook();
  }

  // The identifier that names a mail's MIME boundary (os_genid).
  std::int32_t MakeIdentifier(char* buffer, std::size_t size) const {
    return m_IdentifierSource(buffer, size);
  }
  // The Date and Message-ID fields' values for a new mail.
  std::string MakeDate() const { return m_DateSource(); }
  std::string MakeMessageId() const { return m_MessageIdSource(MessageIdHost()); }

  // Test seams: shorter time-outs, fixed identifiers. The product never calls
  // them (a test build of the program takes its time scale from
  // CVSMTPGW_REPLY_TIMEOUT_MS, CVSMTPGW_DATA_END_TIMEOUT_MS and
  // CVSMTPGW_RETRY_MINUTE_MS instead, see TestDurationMs).
  void SetReplyTimeout(int milliseconds) { m_ReplyTimeoutMs = milliseconds; }
  void SetDataEndTimeout(int milliseconds) { m_DataEndTimeoutMs = milliseconds; }
  using IdentifierSource = std::int32_t (*)(char* buffer, std::size_t size);
  void SetIdentifierSource(IdentifierSource source) { m_IdentifierSource = source; }
  using DateSource = std::string (*)();
  void SetDateSource(DateSource source) { m_DateSource = source; }
  using MessageIdSource = std::string (*)(std::string_view host);
  void SetMessageIdSource(MessageIdSource source) { m_MessageIdSource = source; }

  std::int32_t remotePort = 25;
  std::int32_t maxDeliveries = 1;
  std::unique_ptr<ThreadHandle[]> m_DeliveryThreads;  // maxDeliveries slots; unused
  std::int32_t activeDeliveries = 0;                  // main thread only
  std::unique_ptr<char[]> dnsServerName;
  std::uint8_t rfcMode = 0;  // read and logged; the greeting is always awaited
  char mailFromValue[kMailFromSize] = {};
  bool mailFromFound = false;
  bool setMailFrom = false;
  CFileMan* fileMan = nullptr;  // the process's file manager, not owned; set before Start
  std::atomic<std::int32_t> shutdownFlag{0};
  ThreadHandle m_MainThreadID = 0;

  // Main thread only: the messages' delivery states and the watch on IN.
  CDeliverySchedule& Schedule() { return m_Schedule; }
  CDirectoryWatch& Watch() { return m_Watch; }
  std::uint32_t PollMs() const { return m_PollMs; }

 private:
  std::string MessageIdHost() const;

  int m_ReplyTimeoutMs = kReplyTimeoutMs;
  int m_DataEndTimeoutMs = kDataEndTimeoutMs;
  std::uint32_t m_PollMs = kPollMs;
  IdentifierSource m_IdentifierSource;
  DateSource m_DateSource;
  MessageIdSource m_MessageIdSource;
  std::function<void()> m_AcceptedHook;  // main thread only
  CRelayCache m_RelayCache;              // main thread only
  std::string m_LastReply;               // main thread only
  std::string m_LastTls;                 // main thread only
  std::string m_CurrentHost;             // main thread only
  bool m_TryNextHost = false;            // main thread only
  std::uint32_t m_OutboundTls = 0;
  CSmartHost m_SmartHost;         // host empty: none
  bool m_SmartHostBroken = false;  // SmartHost is set but of no usable form: nothing is sent
  std::string m_SmartHostUser;
  std::string m_SmartHostPasswordFile;
  bool m_RelayReported = false;    // main thread only
  std::unique_ptr<CTlsContext> m_TlsContext;
  std::string m_LastExchanger;           // main thread only
  std::string m_DataEndReply;            // main thread only
  CDeliverySchedule m_Schedule;          // main thread only
  CDirectoryWatch m_Watch;               // Wait on the main thread; Wake from the destructor
};

// The main thread's routine: serves IN until shutdownFlag is set. First it
// removes the mail files (IN/*.zqx) of deliveries that a crash interrupted.
unsigned SMTPMainThread(SMTPOut* self);
// One delivery attempt of the message file `name` in IN, which the schedule
// says is due. False when the message could not be taken (another process
// holds it): the caller goes on with the next one.
bool SMTPOutThread(SMTPOut* self, const std::string& name);

// The receive buffer of the dialogue: a reply line and its terminator.
constexpr int kWorkBufferSize = 200;
// Reply code at the start of a reply line (0 when there is none); logs the line.
std::int32_t ReadAck(const char* line);

// The error name of an undeliverable message: its file name ("abc.tmp") with
// the extension replaced by `suffix`, the name's letters upper-cased first
// when `upper`; the directories keep their letters.
std::string OutboundErrorName(const std::string& path, const char* suffix, bool upper);
