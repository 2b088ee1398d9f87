// host/StartGateway.h: brings the gateway's components up in their fixed order.
//
// Runs once per process, on the main thread (console) or the service's start
// thread, before any thread that uses the components exists.
#pragma once

class CService;
class CFileMan;

// Debug log switches, the file manager, the inbound server, the name flags,
// the outbound deliverer; returns the outbound start result.
int StartGateway(CService* service);

// The process's one file manager; null before StartGateway has made it.
CFileMan* TheFileMan();

// The clean stop, before the process ends (console q, service stop): stops
// taking mail and waits up to `milliseconds` for the received mails still
// waiting for their hand-off, so none is left behind acknowledged but not given
// to the fax server. True when none is left.
bool StopGateway(unsigned milliseconds);
