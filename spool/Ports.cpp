// spool/Ports.cpp: SmtpRxPort and SmtpTxPort from the gateway's key, through
// the settings table.
//
// Threading: no state; each call opens the key on its own.
#include "spool/Ports.h"

#include "spool/Settings.h"

std::int32_t GetSmtpRxPort() { return static_cast<std::int32_t>(SettingNumber(Setting::kSmtpRxPort)); }

std::int32_t GetSmtpTxPort() { return static_cast<std::int32_t>(SettingNumber(Setting::kSmtpTxPort)); }
