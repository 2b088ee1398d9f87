// platform/Registry.h: the registry key and its values.
//
// On Windows this is the real registry under HKEY_LOCAL_MACHINE. On POSIX it is
// a hive file in the .reg export format (path from CVSMTPGW_HIVE, else
// /etc/cvsmtpgw/hive.reg). Either way the semantics are the registry's:
//  - a read into a buffer too small fails with ERROR_MORE_DATA and fills nothing;
//  - the reader never checks the type: it gets the raw bytes of the value;
//  - a string value is stored with its terminator (REG_SZ "ab" is 3 bytes).
//
// Changes and durability of the hive file (the real registry shows changes to
// other processes at once and writes them in its own time):
//  - A change (SetValue, DeleteValue, Create of a missing key, DeleteKey,
//    RegIncrementCounter) applies at once to the process's copy of the hive:
//    every thread of the process sees it as soon as the call returns. It is
//    not on disk yet.
//  - Changes are written together, the whole hive in one step, by Flush
//    (RegFlushKey) or, at the latest about a second after the first of them,
//    by the registry itself. Either way the file is replaced whole and synced
//    with its directory, so a crash leaves the hive as of one such write, never
//    torn or empty; changes not yet written are lost (a counter steps back to
//    its last written value).
//  - Other processes see a change only once it is written. From a process's
//    first unwritten change until that write, it holds the hive's exclusive
//    lock: other processes' registry calls wait (a second or so at most), so
//    none reads a stale hive or draws a counter value again. A process that is
//    killed in that time loses its unwritten changes, as a crash does; one
//    that ends through exit or quick_exit writes them first (waiting at most
//    two seconds for other threads' registry calls).
//  - Flush returns ERROR_SUCCESS once every change of the process made before
//    the call is on disk (other processes' changes are on disk before anyone
//    sees them). Flushes of several threads share one write: a Flush that
//    comes while a write already holding its changes runs waits for that
//    write instead of making another. A failed write
//    (full disk, I/O error) returns its error and keeps the changes in memory,
//    still locked against other processes; the next Flush, or the registry a
//    second later, writes them again.
// So a caller that hands out names from a counter must either Flush before
// the name's file becomes durable, or create that file exclusively and skip a
// name that is still taken (the spool files do the latter).
// A hive that did not parse completely is never rewritten: changes to it fail
// with ERROR_BADDB. A hand edit of the hive is seen by the next read, unless
// the process has changes pending: their write replaces the edit (reported on
// standard error).
// On Windows a change of the gateway's own key that the registry refuses (the
// key read-only to the gateway's account, say) is held in the process alike:
// its reads see it, and the next change or Flush that the registry takes
// writes it; Flush returns the refusal until then. A refusal of any other key
// is the caller's error at once. Keys are read in the 64-bit view; one under
// SOFTWARE that exists only in the 32-bit view (WOW6432Node, written by a
// 32-bit program) is used there (Name() tells).
// Thread-safe; a CRegKey object itself is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/WinCodes.h"

// Value types. On Windows, once <windows.h> is in, these are its own macros
// (same values); defined here otherwise, so either header may come first.
#if !defined(REG_SZ)
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
#endif

// The gateway's key under HKEY_LOCAL_MACHINE.
constexpr const char kGatewayKey[] = "SOFTWARE\\Tarrock\\Corvane SMTP Server";

class CRegKey {
 public:
  CRegKey() = default;
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;
  // A key is only its path on every backend (no system handle is held), so
  // moving one moves the path.
  CRegKey(CRegKey&& other) noexcept : m_Path(std::move(other.m_Path)) { other.m_Path.clear(); }
  CRegKey& operator=(CRegKey&& other) noexcept {
    if (this != &other) {
      m_Path = std::move(other.m_Path);
      other.m_Path.clear();
    }
    return *this;
  }
  ~CRegKey() = default;

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
  // the caller, as on Windows). Seen at once in this process; written later
  // (see above).
  long SetValue(const char* name, DWORD type, const void* data, DWORD size);
  long DeleteValue(const char* name);
  // The names of the key's values (RegEnumValueA), in the registry's order.
  long ValueNames(std::vector<std::string>& names) const;
  // RegFlushKey: every change this process made before the call (by any key or
  // thread) is on disk when this returns ERROR_SUCCESS; it costs one write of
  // the hive (two syncs) when changes are pending, nothing otherwise. On an
  // error the changes stay pending (see above).
  long Flush();
  void Close() { m_Path.clear(); }
  bool IsOpen() const { return !m_Path.empty(); }
  // Where the key was found, "HKEY_LOCAL_MACHINE\\..." (a 32-bit program's
  // place on 64-bit Windows shows here); empty when closed.
  const std::string& Name() const { return m_Path; }
  // False when the text value `name` holds characters that the system's ANSI
  // code page cannot show: read through the ANSI calls they come back as
  // '?', which names something else (Windows; the hive's bytes always fit).
  bool TextFitsCodePage(const char* name) const;

  // RegDeleteKeyA (used by service removal).
  static long DeleteKey(const char* subKey);

 private:
  std::string m_Path;  // key path below HKEY_LOCAL_MACHINE; empty when closed
};

// Makes the registry calls of the constructing thread within its scope one
// step for every other thread and process: it holds the hive's exclusive lock
// from construction to destruction, and other threads' registry calls wait
// until it ends, so keep it short. A read and the write that depends on it
// (a counter draw) can therefore not interleave with anyone's.
// Changes made in it apply to the process's copy at once, like any change;
// Commit() keeps them and writes nothing. A transaction that ends without
// Commit() undoes them in the copy (on disk too, if a Flush wrote them
// meanwhile: the undone copy is written in turn). A Flush in a transaction
// writes at once (everything pending, the transaction's changes so far too) and
// returns the write's result, as outside one; the lock is still held until the
// end. Otherwise the changes are written like any others, by a later Flush or
// by the registry's own write, which waits for the transaction to end. A
// transaction begun while another is active on the same thread joins it (its
// Commit does nothing; the outer one decides). On Windows the lock is the
// process's own together with a named system mutex that the transactions of
// every process take: other threads wait for it, other processes' transactions
// too, their plain calls do not (the registry itself has no such lock).
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
  // Keeps the changes made in the transaction when it ends; writes nothing.
  // Returns Status(). Changes made after it are kept too.
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
// Reads a string with its terminator into buf (capacity cap bytes, the most
// the read may take). A value that does not fit whole is treated as absent:
// ERROR_MORE_DATA and an empty buffer, never a cut text. A stored value
// without a terminator gets one when there is room. On any failure buf is
// left empty; on success it is always a terminated string.
long RegReadString(const CRegKey& key, const char* name, char* buf, DWORD cap);
long RegWriteDword(CRegKey& key, const char* name, DWORD value);
long RegWriteString(CRegKey& key, const char* name, const char* text);
// Draws the next number of a 32-bit counter value in one step (a
// CRegTransaction): *valueOut is the value read (0 when the value is missing),
// and value+1 is stored, or 0 when value+1 equals wrapAt. The key is created
// when missing. A value longer than 4 bytes is not a counter: ERROR_MORE_DATA,
// nothing stored. No two threads or processes draw the same number while the
// drawer lives. Not written until a Flush or the write a second later: after
// a crash, or the drawer's death before that write, the counter hands out those
// numbers again (see above).
long RegIncrementCounter(const char* subKey, const char* valueName, DWORD wrapAt, DWORD* valueOut);
