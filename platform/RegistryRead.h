// platform/RegistryRead.h: the registry's read rule, shared by both backends'
// CRegKey::QueryValue once they have a value's bytes whole. Not for callers
// above platform/: they use CRegKey (Registry.h).
//
// Pure function; any thread.
#pragma once

#include "platform/WinCodes.h"

// Hands out a value of `valueType` and `needed` bytes at `bytes` as
// RegQueryValueExA does: the type (when asked); with a buffer too small,
// ERROR_MORE_DATA and the size it takes, the buffer untouched (never a part
// of the value); else the bytes and their count. `data` and `type` may be
// null; `size` may be null only when `data` is.
long RegistryHandOut(DWORD valueType, const void* bytes, DWORD needed, DWORD* type, void* data, DWORD* size);
