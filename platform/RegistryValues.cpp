// platform/RegistryValues.cpp: typed helpers over the raw registry calls, the
// counter draw, and the read rule both backends hand values out by.
//
// Byte order: numbers are stored little-endian, as REG_DWORD is everywhere the
// gateway runs. Thread-safe as the raw calls are.
#include <cstring>
#include <vector>

#include "platform/Registry.h"
#include "platform/RegistryRead.h"

long RegistryHandOut(DWORD valueType, const void* bytes, DWORD needed, DWORD* type, void* data, DWORD* size) {
  if (type != nullptr) *type = valueType;
  if (data != nullptr && needed > *size) {
    *size = needed;  // the caller learns what it takes; its buffer stays as it was
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && needed > 0) std::memcpy(data, bytes, needed);
  if (size != nullptr) *size = needed;
  return ERROR_SUCCESS;
}

long RegReadDword(const CRegKey& key, const char* name, DWORD* value) {
  if (value == nullptr) return ERROR_INVALID_PARAMETER;
  unsigned char bytes[4];
  DWORD size = sizeof bytes;
  const long rc = key.QueryValue(name, nullptr, bytes, &size);
  if (rc != ERROR_SUCCESS) return rc;
  // Only the bytes read change: the registry fills a buffer, not a number.
  for (DWORD i = 0; i < size; ++i) {
    const DWORD shift = 8 * i;
    *value = (*value & ~(DWORD{0xFF} << shift)) | (DWORD{bytes[i]} << shift);
  }
  return ERROR_SUCCESS;
}

long RegReadString(const CRegKey& key, const char* name, char* buf, DWORD cap) {
  if (buf == nullptr || cap == 0) return ERROR_MORE_DATA;
  buf[0] = '\0';
  if (!key.IsOpen()) return ERROR_INVALID_HANDLE;
  DWORD size = cap;
  const long rc = key.QueryValue(name, nullptr, buf, &size);
  if (rc != ERROR_SUCCESS) {
    buf[0] = '\0';
    return rc;
  }
  if (size > cap) size = cap;  // never trust a length beyond the buffer
  if (std::memchr(buf, '\0', size) != nullptr) return ERROR_SUCCESS;
  // Stored without a terminator: add one if it fits, else the text is too long.
  if (size < cap) {
    buf[size] = '\0';
    return ERROR_SUCCESS;
  }
  buf[0] = '\0';
  return ERROR_MORE_DATA;
}

long RegWriteDword(CRegKey& key, const char* name, DWORD value) {
  const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                  static_cast<unsigned char>(value >> 16),
                                  static_cast<unsigned char>(value >> 24)};
  return key.SetValue(name, REG_DWORD, bytes, sizeof bytes);
}

long RegWriteString(CRegKey& key, const char* name, const char* text) {
  if (text == nullptr) return ERROR_INVALID_PARAMETER;
  return key.SetValue(name, REG_SZ, text, static_cast<DWORD>(std::strlen(text) + 1));
}

long RegIncrementCounter(const char* subKey, const char* valueName, DWORD wrapAt, DWORD* valueOut) {
  CRegTransaction tx;
  if (tx.Status() != ERROR_SUCCESS) return tx.Status();
  CRegKey key;
  long rc = CRegKey::Create(subKey, key);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD value = 0;
  rc = RegReadDword(key, valueName, &value);
  if (rc == ERROR_FILE_NOT_FOUND)
    value = 0;
  else if (rc != ERROR_SUCCESS)
    return rc;
  const DWORD next = value + 1 == wrapAt ? 0 : value + 1;
  rc = RegWriteDword(key, valueName, next);
  if (rc != ERROR_SUCCESS) return rc;
  rc = tx.Commit();
  if (rc != ERROR_SUCCESS) return rc;
  if (valueOut != nullptr) *valueOut = value;
  return ERROR_SUCCESS;
}
