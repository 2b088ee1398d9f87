// smtpin/SMTPIn.cpp: factory and disposal of the inbound sessions.
//
// Threading: both run on the connection thread that owns the session.
#include "smtpin/SMTPIn.h"

#include <new>

#include "platform/FaultInjection.h"
#include "smtpin/SMTPInThread.h"

SMTPIn::SMTPIn() : m_RateLimits(TestDurationMs("CVSMTPGW_RATE_WINDOW_MS", CRateLimits::kHourMs)) {}

C_WSTHREAD* SMTPIn::CreateThreadInstance() { return new (std::nothrow) SMTPInThread; }

void SMTPIn::ReleaseThreadInstance(C_WSTHREAD* instance) { delete instance; }
