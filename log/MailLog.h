// log/MailLog.h: the mail log: one line per mail and direction for the
// administrator (who sent what to which number, what became of it), apart
// from the debug log and on by default.
//
// Lines go to the system's mail log through platform/SystemLog.h: syslog with
// the facility mail on Linux, a daily file below the program directory on
// Windows. Fields are "name=value" pairs; values from peers are made printable
// and cut, so no client can split or forge a line.
//
// Threading: ConfigureMailLog at start and at a reload; the writers from any
// thread (the switch is an atomic, the directory is read under a lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One recipient of an inbound mail and its verdict.
struct CMailLogRecipient {
  std::string address;  // as the client gave it (RCPT argument)
  bool accepted = false;
  std::string why;  // the reply when refused
};

struct CInboundMailRecord {
  std::string client;  // the client's address
  std::string helo;
  std::string sender;  // MAIL argument
  std::vector<CMailLogRecipient> recipients;
  std::size_t unlisted = 0;  // recipients past the ones listed (a client may send any number of refused ones)
  std::uint64_t size = 0;   // bytes of the mail as received (0 when it never came)
  std::string submission;   // the envelope name, when there is one
  std::string noSubmission; // else why there is none
};

// Plain fields, so that one can be added without touching the callers.
struct COutboundMailRecord {
  std::string messageFile;  // the outbound message file in IN
  std::string recipient;
  std::string exchanger;  // the host that gave the last reply; empty when none was reached
  std::string tls;        // the TLS version of that connection ("TLSv1.3"); empty: plaintext
  std::string reply;      // its reply to the end of data (or the last reply it gave)
  std::string outcome;    // "delivered", "deferred" or "refused"
};

// On (the default) or off (MailLog 0); `directory` is the program directory.
void ConfigureMailLog(bool on, const std::string& directory);
bool IsMailLogOn();

// The lines, each "in: ..." or "out: ..." (see MailLog.cpp for the fields).
std::string InboundMailLine(const CInboundMailRecord& record);
std::string OutboundMailLine(const COutboundMailRecord& record);
void MailLogInbound(const CInboundMailRecord& record);
void MailLogOutbound(const COutboundMailRecord& record);
// A line of its own for what concerns no single mail (a listener that cannot bind).
void MailLogNotice(const std::string& text);
