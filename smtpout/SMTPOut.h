// smtpout/SMTPOut.h: the outbound deliverer: polls IN for the fax server's
// outbound message files, composes each into a MIME mail and delivers it to
// the receiver domain's mail exchangers over the inherited connection.
//
// Threading: the host thread constructs the object, sets fileMan, calls Start
// and (in tests) destroys it; everything else runs on the one main thread that
// Start creates, which delivers one message at a time. shutdownFlag is the only
// field both threads touch after Start.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/C_WSClient.h"
#include "platform/File.h"
#include "platform/System.h"
#include "smtpout/RelayCache.h"

class CFileMan;

class SMTPOut : public C_WSClient {
 public:
  static constexpr std::size_t kMailFromSize = 260;
  static constexpr int kReplyTimeoutMs = 35000;  // each awaited reply line of a remote server
  static constexpr std::uint32_t kPollMs = 10000;
  static constexpr std::uint32_t kInUsePauseMs = 20000;
  static constexpr std::uint32_t kStopWaitMs = 10000;
  static constexpr int kAttempts = 5;

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

  // One SMTP delivery of the composed mail in `mailFile` to `bareAddress`;
  // `work` (capacity `size`) holds the receiver name on entry. 0 delivered;
  // 2 no host accepted a connection; 3 the dialogue broke off.
  std::uint32_t SendOutboundMsg(CFile& mailFile, const char* bareAddress, char* work, int size);
  // The dialogue on a connection already made (part of SendOutboundMsg): 0 or 3.
  std::uint32_t RunDialogue(CFile& mailFile, const char* bareAddress, char* work, int size);

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

  // Test seams: a shorter reply time-out, a fixed identifier. The product
  // never calls them (a test build of the program takes its reply time-out
  // from CVSMTPGW_REPLY_TIMEOUT_MS instead, see TestDurationMs).
  void SetReplyTimeout(int milliseconds) { m_ReplyTimeoutMs = milliseconds; }
  using IdentifierSource = std::int32_t (*)(char* buffer, std::size_t size);
  void SetIdentifierSource(IdentifierSource source) { m_IdentifierSource = source; }

  std::int32_t remotePort = 25;
  std::int32_t maxDeliveries = 1;
  std::unique_ptr<ThreadHandle[]> m_DeliveryThreads;  // maxDeliveries slots; unused
  std::int32_t activeDeliveries = 0;                  // main thread only
  std::unique_ptr<char[]> dnsServerName;
  std::uint8_t rfcMode = 0;
  char mailFromValue[kMailFromSize] = {};
  bool mailFromFound = false;
  bool setMailFrom = false;
  CFileMan* fileMan = nullptr;  // the process's file manager, not owned; set before Start
  std::atomic<std::int32_t> shutdownFlag{0};
  ThreadHandle m_MainThreadID = 0;

  // Wakes the idle main thread at once when the destructor sets shutdownFlag.
  void IdleWait(std::uint32_t milliseconds);

 private:
  int m_ReplyTimeoutMs = kReplyTimeoutMs;
  IdentifierSource m_IdentifierSource;
  std::function<void()> m_AcceptedHook;  // main thread only
  CRelayCache m_RelayCache;              // main thread only
  std::mutex m_IdleMutex;
  std::condition_variable m_IdleWake;  // guarded by m_IdleMutex
};

// The main thread's routine: polls IN until shutdownFlag is set. First it
// removes the mail files (IN/*.zqx) of deliveries that a crash interrupted.
unsigned SMTPMainThread(SMTPOut* self);
// One delivery run for the next message in IN, with up to kAttempts attempts.
// True when a message left the queue (delivered, dropped or given its error
// name); false when none was taken or the one taken stays for a later run.
bool SMTPOutThread(SMTPOut* self);

// The receive buffer of the dialogue: a reply line and its terminator.
constexpr int kWorkBufferSize = 200;
// Reply code at the start of a reply line (0 when there is none); logs the line.
std::int32_t ReadAck(const char* line);

// The error name of an undeliverable message: its file name ("abc.tmp") with
// the extension replaced by `suffix`, the name's letters upper-cased first
// when `upper`; the directories keep their letters.
std::string OutboundErrorName(const std::string& path, const char* suffix, bool upper);
