// platform/Registry.h: the registry key and its values.
//
// On Windows this is the real registry under HKEY_LOCAL_MACHINE. On POSIX it is
// a hive file in the .reg export format (path from CVSMTPGW_HIVE, else
// /etc/cvsmtpgw/hive.reg). Either way the semantics are the registry's:
//  - a read into a buffer too small fails with ERROR_MORE_DATA and fills nothing;
//  - the reader never checks the type: it gets the raw bytes of the value;
//  - a string value is stored with its terminator (REG_SZ "ab" is 3 bytes).
//
// Durability follows the registry's own model, which has two steps:
//  - A change (SetValue, DeleteValue, Create, a counter draw, a committed
//    CRegTransaction) is atomic and visible to every thread and process at
//    once. On POSIX it writes the whole hive to "<hive>.new" and renames that
//    over the hive (or, after a Flush, exchanges the two files), under an
//    exclusive lock: a killed process never leaves a half-written hive, and
//    two processes never lose a counter step. It is NOT synced: after a power
//    loss or a system crash the hive may come back as it was before the changes
//    made since the last Flush (a counter may step back that far).
//  - Flush (RegFlushKey) makes every change made so far durable: it returns
//    once the hive (with its copy "<hive>.new") and, where needed, their
//    directory are on disk. Call it where a later step relies on a value
//    surviving a power loss; it costs disk writes, which it waits for without
//    holding the registry's lock.
// A caller that hands out names from a counter must therefore either flush
// before the name's file becomes durable, or create that file exclusively and
// skip a name that is still taken (the spool files do the latter).
// A hive that did not parse completely is never rewritten: writes to it fail
// with ERROR_BADDB.
// Thread-safe; a CRegKey object itself is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
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
  // the caller, as on Windows). Atomic, not durable until Flush.
  long SetValue(const char* name, DWORD type, const void* data, DWORD size);
  long DeleteValue(const char* name);
  // RegFlushKey: every change made so far (by any key, thread or process) is on
  // disk when this returns ERROR_SUCCESS. Inside a CRegTransaction the sync is
  // made by its Commit, after the write it must cover.
  long Flush();
  void Close();
  bool IsOpen() const { return !m_Path.empty(); }

  // RegDeleteKeyA (used by service removal).
  static long DeleteKey(const char* subKey);

 private:
  std::string m_Path;  // key path below HKEY_LOCAL_MACHINE; empty when closed
};

// Holds the hive's exclusive lock from construction to destruction, so that a
// read and the write that depends on it are one step for every thread and
// process (a counter is never drawn twice). While it lives, every registry
// call of the constructing thread reads and changes the transaction's copy of
// the hive; Commit() writes that copy out in one replacement. Changes not
// committed are dropped. Other threads' registry calls wait until it ends, so
// keep it short. A transaction begun while another is active on the same
// thread joins it (its Commit does nothing; the outer one writes). Several
// changes in one transaction cost one rewrite of the hive; a Flush in it makes
// that Commit sync too.
//   CRegTransaction tx;
//   CRegKey key;
//   if (tx.Status() == ERROR_SUCCESS && CRegKey::Create(kGatewayKey, key) == ERROR_SUCCESS) {
//     RegReadDword(key, "X", &v); RegWriteDword(key, "X", v + 1); tx.Commit();
//   }
class CRegTransaction {
 public:
  CRegTransaction();
  CRegTransaction(const CRegTransaction&) = delete;
  CRegTransaction& operator=(const CRegTransaction&) = delete;
  ~CRegTransaction();

  // ERROR_SUCCESS when the lock is held and the hive read (a missing hive file
  // reads as empty); otherwise every registry call of this thread fails with
  // this code while the transaction lives.
  long Status() const;
  // Writes the changes (if any) to the hive; ERROR_BADDB when the hive did not
  // parse completely. The transaction stays open; later changes need another
  // Commit.
  long Commit();

  struct CState;  // the backend's

 private:
  std::unique_ptr<CState> m_State;
};

// Small helpers above the raw calls.
// Reads a 32-bit number into *value through a 4-byte read, type unchecked. A
// shorter value fills only its own bytes of *value (the rest keeps what it
// held); on failure *value is untouched.
long RegReadDword(const CRegKey& key, const char* name, DWORD* value);
// Reads a string with its terminator into buf (capacity cap bytes). Fails with
// ERROR_MORE_DATA (buf left untouched) when the value needs more than cap. A
// stored value without a terminator gets one; when that does not fit either,
// ERROR_MORE_DATA too: buf is always a terminated string on success.
long RegReadString(const CRegKey& key, const char* name, char* buf, DWORD cap);
long RegWriteDword(CRegKey& key, const char* name, DWORD value);
long RegWriteString(CRegKey& key, const char* name, const char* text);
// Draws the next number of a 32-bit counter value under one exclusive hive
// lock: *valueOut is the value read (0 when the value is missing), and value+1
// is stored, or 0 when value+1 equals wrapAt. The key is created when missing.
// A value longer than 4 bytes is not a counter: ERROR_MORE_DATA, nothing
// stored. Two processes never draw the same number. Not flushed: after a power
// loss the counter may hand out a number again (see the durability model above).
long RegIncrementCounter(const char* subKey, const char* valueName, DWORD wrapAt, DWORD* valueOut);
