// mime/MessageHeaders.h: the Date and Message-ID fields every mail must carry
// (RFC 5322 3.6): receivers refuse mail without a Date, and large mailbox
// providers mail without a Message-ID.
//
// Safe on any thread.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

// `when` as a date-time of RFC 5322 in local time with its offset from UTC:
// "Tue, 14 Nov 2023 23:13:20 +0100".
std::string MessageDate(std::time_t when);

// "<id@host>", different for every call in this process and, through its
// time and random bits, from every other process's: two mails never share one
// (receivers that remove duplicates go by it). `host` is the gateway's own
// name; anything in it that a Message-ID cannot hold is left out, and an
// empty result becomes "localhost".
std::string NewMessageId(std::string_view host);
