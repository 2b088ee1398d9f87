// host/StartGateway.h: brings the gateway's components up in their fixed order.
//
// Runs once per process, on the main thread (console) or the service's start
// thread, before any thread that uses the components exists.
#pragma once

class CService;
class CFileMan;

// What StartGateway gives: 0 once the gateway takes mail, else why it does
// not, which a service reports as its service-specific exit code and a
// console run exits with. Each failure has been reported as an event.
enum GatewayStartResult : int {
  kGatewayStarted = 0,
  kStartBadProgramPath = 2,  // the program directory cannot hold the spool (event 425)
  kStartNoListener = 3,      // the SMTP port could not be opened in time (event 424)
  kStartAbandoned = 4,       // a stop came while the port was still being tried
  kStartBadSetting = 5,      // a client network or fax number list cannot be used (event 430)
  kStartTlsUnusable = 6,     // the TLS certificate or its key cannot be used (event 433)
};

// Debug log switches, the check of the program directory, the file manager,
// the inbound server (a port that is taken is tried again for up to 30
// seconds), the name flags, the outbound deliverer.
int StartGateway(CService* service);

// Reads again the settings that apply without a restart (who may send a fax,
// the limits, the mail log): SIGHUP or the service's parameter-change
// control. Sessions already open keep what they had. Any thread.
void ReloadSettings();

// Makes a StartGateway that is still trying the port give up at once (a stop
// during the start). Any thread.
void AbandonStart();

// The process's one file manager; null before StartGateway has made it.
CFileMan* TheFileMan();

// The clean stop, before the process ends (console q, service stop): stops
// taking mail and waits up to `milliseconds` for the received mails still
// waiting for their hand-off, so none is left behind acknowledged but not given
// to the fax server. True when none is left.
bool StopGateway(unsigned milliseconds);
