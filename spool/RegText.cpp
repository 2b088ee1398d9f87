// spool/RegText.cpp: bounded reads of text and number values (see RegText.h).
#include "spool/RegText.h"

#include <cstring>

long ReadTextValue(const CRegKey& key, const char* name, char* buf, std::size_t cap) {
  if (buf == nullptr || cap == 0) return ERROR_INVALID_PARAMETER;
  buf[0] = '\0';
  if (!key.IsOpen()) return ERROR_INVALID_HANDLE;
  DWORD size = static_cast<DWORD>(cap);
  DWORD type = REG_NONE;
  const long rc = key.QueryValue(name, &type, buf, &size);
  if (rc != ERROR_SUCCESS) {
    buf[0] = '\0';
    return rc;
  }
  if (size > cap) size = static_cast<DWORD>(cap);  // never trust a length beyond the buffer
  if (std::memchr(buf, '\0', size) != nullptr) return ERROR_SUCCESS;
  // Stored without a terminator: add one if it fits, else the text is too long.
  if (size < cap) {
    buf[size] = '\0';
    return ERROR_SUCCESS;
  }
  buf[0] = '\0';
  return ERROR_MORE_DATA;
}

long ReadNumberValue(const CRegKey& key, const char* name, DWORD* value) {
  if (!key.IsOpen()) return ERROR_INVALID_HANDLE;
  DWORD size = sizeof(DWORD);
  return key.QueryValue(name, nullptr, value, &size);
}
