// spool/RegText.h: bounded reads of text values from the gateway's registry key.
//
// A text value read here either fits its buffer whole, terminator included, or
// is treated as absent: the buffer is left empty and never written past its
// capacity. Values stored without a terminator are terminated when there is
// room for it. Thread-safe (no state of its own).
#pragma once

#include <cstddef>

#include "platform/Registry.h"

// Reads `name` into buf (capacity cap bytes, the most the read may take).
// ERROR_SUCCESS and a terminated text, or the registry error (ERROR_MORE_DATA
// for a value that does not fit) and an empty buffer.
long ReadTextValue(const CRegKey& key, const char* name, char* buf, std::size_t cap);

// Reads a 32-bit number through a 4-byte read without checking the type. A
// failed read leaves *value as it was; a shorter value overwrites only its own
// bytes, as a raw registry read does.
long ReadNumberValue(const CRegKey& key, const char* name, DWORD* value);
