// smtpout/HeaderFields.h: the header of a composed mail file read field by
// field, for the receiver and the sender: only the header counts, never the
// body, however much a body line looks like a header.
//
// Threading: none of its own; the outbound main thread's.
#pragma once

#include <cstddef>
#include <string>

#include "platform/File.h"

// A field longer than this (unfolded) names no address anybody can use.
constexpr std::size_t kMaxAddressField = 1000;

// The bare address of the first header field of the mail file that begins
// with `name` (such as "TO:", case ignored). 0 and the address in `bare`;
// 1 the header has no such field; 2 the field is longer than
// kMaxAddressField. The file is left at its start.
int FindHeaderAddress(CFile& mail, const char* name, std::string& bare);
