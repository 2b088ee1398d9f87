// platform/Registry.h: the registry key and its values.
//
// On Windows this is the real registry under HKEY_LOCAL_MACHINE. On POSIX it is
// a hive file in the .reg export format (path from CVSMTPGW_HIVE, else
// /etc/cvsmtpgw/hive.reg). Either way the semantics are the registry's:
//  - a read into a buffer too small fails with ERROR_MORE_DATA and fills nothing;
//  - the reader never checks the type: it gets the raw bytes of the value;
//  - a string value is stored with its terminator (REG_SZ "ab" is 3 bytes).
// Every change on POSIX rewrites the hive through a temporary file and a rename
// under an exclusive lock, so a crash never leaves a half-written hive and two
// processes never lose a counter step. A hive that did not parse completely is
// never rewritten: writes to it fail with ERROR_BADDB.
// Thread-safe; a CRegKey object itself is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "platform/WinCodes.h"

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

// The gateway's key under HKEY_LOCAL_MACHINE.
constexpr const char kGatewayKey[] = "SOFTWARE\\Tarrock\\Corvane SMTP Server";

class CRegKey {
 public:
  CRegKey() = default;
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;
  CRegKey(CRegKey&& other) noexcept;
  CRegKey& operator=(CRegKey&& other) noexcept;
  ~CRegKey();

  // RegOpenKeyExA: ERROR_FILE_NOT_FOUND when the key does not exist.
  static long Open(const char* subKey, CRegKey& out);
  // RegCreateKeyExA: the key is created (non-volatile) when missing.
  static long Create(const char* subKey, CRegKey& out);

  // RegQueryValueExA. `type` and `data` may be null. On entry *size is the
  // capacity of `data`; on success it is the value's length. A value longer
  // than the capacity gives ERROR_MORE_DATA, *size the needed length and
  // `data` untouched. A missing value gives ERROR_FILE_NOT_FOUND.
  long QueryValue(const char* name, DWORD* type, void* data, DWORD* size) const;
  // RegSetValueExA: stores `size` raw bytes (a string's terminator included by
  // the caller, as on Windows).
  long SetValue(const char* name, DWORD type, const void* data, DWORD size);
  long DeleteValue(const char* name);
  // RegFlushKey: the hive is on disk when this returns.
  long Flush();
  void Close();
  bool IsOpen() const { return !m_Path.empty(); }

  // RegDeleteKeyA (used by service removal).
  static long DeleteKey(const char* subKey);

 private:
  std::string m_Path;  // key path below HKEY_LOCAL_MACHINE; empty when closed
};

// Small helpers above the raw calls.
// Reads a 32-bit number into *value through a 4-byte read, type unchecked.
long RegReadDword(const CRegKey& key, const char* name, DWORD* value);
// Reads a string with its terminator into buf (capacity cap bytes). Fails with
// ERROR_MORE_DATA (buf left untouched) when the value needs more than cap.
long RegReadString(const CRegKey& key, const char* name, char* buf, DWORD cap);
long RegWriteDword(CRegKey& key, const char* name, DWORD value);
long RegWriteString(CRegKey& key, const char* name, const char* text);
