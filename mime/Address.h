// mime/Address.h: the mail address helpers shared by the inbound recipient
// check and the outbound side: the bare address of a header entry, its user
// part, the display form of a TO line and the fax-number test.
//
// Pure functions over byte strings; safe on any thread.
#pragma once

#include <string>
#include <string_view>

// The address inside the last "<...>", else the text from its last double
// quote on; blanks, "<" and ">" stripped from both ends.
std::string BareAddress(std::string_view text);

// The bare address up to its first "@" (unless the "@" is its first character).
std::string AddressUser(std::string_view text);

// "\"name\" <address>" (withName 1) or "<address>" (withName 0). The name is
// the text before the last "<" less its last character (the blank before the
// bracket), without "@" and double quotes, else the user part of the address.
std::string FormatAddress(std::string_view text, int withName);

// What the fax number lists (FaxNumberAllow, FaxNumberDeny) are matched
// against: the user part of the address with every "-" removed (a fax
// number keeps a leading "+"). A RCPT argument's "TO:" is dropped first.
std::string FaxNumberKey(std::string_view address);

// 1 when the user part, without "+" and "-", is only decimal digits (or empty).
int IsFaxNumberAddress(std::string_view text);

// True when `bare` (a bare address) is a mailbox that an SMTP command can
// name: a local part and a domain (a host name or an address literal), in
// plain ASCII, no longer than a path may be.
bool IsMailbox(std::string_view bare);
