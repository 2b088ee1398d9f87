// platform/win32/Win32Registry.cpp: CRegKey over the real registry
// (RegCreateKeyExA, RegOpenKeyExA, RegQueryValueExA, RegSetValueExA,
// RegDeleteValueA, RegFlushKey, RegDeleteKeyExA), below HKEY_LOCAL_MACHINE.
//
// The registry shows a change to every thread and process at once and writes
// it in its own time; RegFlushKey puts it on disk. What the registry lacks is
// a lock for a read and the write that depends on it. A CRegTransaction holds
// two: the process's (one recursive mutex that every call of this backend
// takes, so other threads wait) and a named system mutex that the
// transactions of every process take, so no two processes draw the same
// counter value either. Plain calls of other processes do not wait for it.
// A transaction that ends without Commit puts back what it changed, from the
// values it noted before each first change.
//
// A change the registry refuses to the gateway's own key (made read-only to
// the gateway's account, its storage failing) does not stop the gateway, as
// with the hive file on POSIX: it is held in the process, seen by the
// process's own reads, and written, in order, by the next change or Flush
// that the registry takes (Flush returns the refusal while any is held).
// Standard error says when that begins and ends. Held changes not yet written
// when the process ends are lost, like unwritten changes of the hive. A
// refusal anywhere else (the event source's registration) is returned to the
// caller, who must know.
//
// Keys are read in the 64-bit view, whatever the build. A key under SOFTWARE
// that exists there only in the 32-bit view (WOW6432Node, where a 32-bit
// installer or tool writes) is used there, said once on standard error; its
// CRegKey's Name() tells the place.
//
// Keys are opened for each call and closed after it: a CRegKey holds only its
// path, so it can be moved and kept without holding a system handle. Any
// thread; a CRegKey is used by one thread at a time.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/Text.h"
#include "platform/FaultInjection.h"
#include "platform/Registry.h"
#include "platform/RegistryRead.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Errors.h"

namespace {

constexpr const char kRootPrefix[] = "HKEY_LOCAL_MACHINE\\";
constexpr const char kSoftware[] = "SOFTWARE\\";
constexpr const char kWow6432Node[] = "WOW6432Node\\";
// Every open names the 64-bit view, so that a 32-bit build reads what a 64-bit one does.
constexpr REGSAM kView = KEY_WOW64_64KEY;
constexpr int kMaxReadAttempts = 8;  // a value that keeps growing between the size query and the read

// What a transaction changed, to undo it.
struct CUndoEntry {
  std::string subKey;
  std::string name;
  bool createdKey = false;  // the key itself was created: delete it
  bool existed = false;     // the value was there before
  DWORD type = 0;
  std::vector<BYTE> data;
};

std::recursive_mutex& RegistryMutex() {
  static auto* mutex = new std::recursive_mutex;  // never destroyed: threads may use it at exit
  return *mutex;
}

// The transactions' lock across processes, in the global namespace so that the
// service and a console instance share it. Null when it cannot be made (the
// process's own lock still holds then).
HANDLE ProcessesMutex() {
  static const HANDLE mutex = [] {
    HANDLE made = ::CreateMutexA(nullptr, FALSE, "Global\\Corvane SMTP Server registry");
    if (made == nullptr) made = ::CreateMutexA(nullptr, FALSE, "Local\\Corvane SMTP Server registry");
    return made;
  }();
  return mutex;
}

// The sub key of a CRegKey path (below HKEY_LOCAL_MACHINE).
std::string SubKeyOf(const std::string& path) { return path.substr(std::strlen(kRootPrefix)); }

// Reads a whole value: its type and bytes.
long ReadValue(HKEY key, const char* name, DWORD& type, std::vector<BYTE>& bytes) {
  DWORD size = 256;
  for (int attempt = 0; attempt < kMaxReadAttempts; ++attempt) {
    bytes.assign(size > 0 ? size : 1, 0);
    DWORD got = static_cast<DWORD>(bytes.size());
    const LONG rc = ::RegQueryValueExA(key, name, nullptr, &type, bytes.data(), &got);
    if (rc == ERROR_SUCCESS) {
      bytes.resize(got);
      return ERROR_SUCCESS;
    }
    if (rc != ERROR_MORE_DATA) return rc;
    size = got > size ? got : size * 2;
  }
  return ERROR_MORE_DATA;
}

// A change of one value (or its removal) that the registry refused; kept in
// the order made. Guarded by RegistryMutex().
struct CHeldChange {
  std::string subKey;
  std::string name;
  bool deleted = false;
  DWORD type = 0;
  std::vector<BYTE> data;
};

std::vector<CHeldChange>& Held() {
  static auto* held = new std::vector<CHeldChange>;  // never destroyed, like the mutex
  return *held;
}
bool g_HeldReported = false;    // "could not be written" said, "written again" not yet
std::string g_HeldReportedKey;  // the key named in that report

// Errors that say the registry will not take a change now, but may later.
bool IsRefusal(long rc) {
  return rc == ERROR_ACCESS_DENIED || rc == ERROR_WRITE_PROTECT || rc == ERROR_REGISTRY_IO_FAILED ||
         rc == ERROR_NOT_ENOUGH_QUOTA || rc == ERROR_DISK_FULL || rc == ERROR_GEN_FAILURE;
}

bool SameValue(const CHeldChange& change, const std::string& subKey, const std::string& name) {
  return EqualsNoCase(change.subKey, subKey) && EqualsNoCase(change.name, name);
}

class COpenKey {
 public:
  COpenKey(const std::string& subKey, REGSAM access) {
    m_Status = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, access | kView, &m_Key);
  }
  COpenKey(const COpenKey&) = delete;
  COpenKey& operator=(const COpenKey&) = delete;
  ~COpenKey() {
    if (m_Status == ERROR_SUCCESS) ::RegCloseKey(m_Key);
  }
  long Status() const { return m_Status; }
  HKEY Get() const { return m_Key; }

 private:
  HKEY m_Key = nullptr;
  long m_Status = ERROR_INVALID_HANDLE;
};

// Writes one change to the registry itself. The fault seam sees the value as
// "HKEY_LOCAL_MACHINE\\<key>\\<name>" (a write).
long WriteToSystem(const CHeldChange& change) {
  if (FaultInjected(FaultOp::kWrite, kRootPrefix + change.subKey + "\\" + change.name))
    return static_cast<long>(WindowsCodeOfErrno(errno));
  COpenKey key(change.subKey, KEY_SET_VALUE);
  if (key.Status() != ERROR_SUCCESS) return key.Status();
  const char* name = change.name.empty() ? nullptr : change.name.c_str();
  if (change.deleted) return ::RegDeleteValueA(key.Get(), name);
  return ::RegSetValueExA(key.Get(), name, 0, change.type, change.data.data(),
                          static_cast<DWORD>(change.data.size()));
}

// Writes the held changes in order, as far as the registry takes them. A
// change that fails for good (its key removed meanwhile) is dropped and said.
// ERROR_SUCCESS once none is held; else the refusal.
long WriteHeld() {
  std::vector<CHeldChange>& held = Held();
  std::size_t done = 0;
  long rc = ERROR_SUCCESS;
  for (; done < held.size(); ++done) {
    rc = WriteToSystem(held[done]);
    if (rc == ERROR_SUCCESS || (held[done].deleted && rc == ERROR_FILE_NOT_FOUND)) continue;
    if (IsRefusal(rc)) break;
    std::fprintf(stderr, "%s%s: registry change of %s dropped (error %ld)\n", kRootPrefix,
                 held[done].subKey.c_str(), held[done].name.c_str(), rc);
  }
  held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(done));
  if (!held.empty()) return rc;
  if (g_HeldReported) {
    std::fprintf(stderr, "%s%s: registry changes written again\n", kRootPrefix, g_HeldReportedKey.c_str());
    g_HeldReported = false;
  }
  return ERROR_SUCCESS;
}

// Whether a refused change of `subKey` is held: the gateway's own key (in
// either view) and its sub keys, whose counters and flags must not stop mail.
bool HoldsRefusals(const std::string& subKey) {
  const auto within = [&subKey](const std::string& key) {
    return subKey.size() >= key.size() && EqualsNoCase(std::string_view(subKey).substr(0, key.size()), key) &&
           (subKey.size() == key.size() || subKey[key.size()] == '\\');
  };
  const std::string gateway = kGatewayKey;
  return within(gateway) || within(kSoftware + std::string(kWow6432Node) + gateway.substr(std::strlen(kSoftware)));
}

// Makes a change: written at once when nothing is held and the registry takes
// it, else held behind the changes held before it (the gateway's key only).
long Store(CHeldChange change) {
  std::vector<CHeldChange>& held = Held();
  if (!held.empty()) WriteHeld();
  if (held.empty() || !HoldsRefusals(change.subKey)) {
    const long rc = WriteToSystem(change);
    if (!IsRefusal(rc) || !HoldsRefusals(change.subKey)) return rc;
    if (!g_HeldReported) {
      std::fprintf(stderr, "%s%s: registry changes could not be written (error %ld); kept and tried again\n",
                   kRootPrefix, change.subKey.c_str(), rc);
      g_HeldReported = true;
      g_HeldReportedKey = change.subKey;
    }
  }
  std::erase_if(held, [&change](const CHeldChange& h) { return SameValue(h, change.subKey, change.name); });
  held.push_back(std::move(change));
  return ERROR_SUCCESS;
}

// Reads a value as this process sees it: a held change first, else the registry.
long Load(const std::string& subKey, const char* name, DWORD& type, std::vector<BYTE>& bytes) {
  const std::string valueName = name != nullptr ? name : "";
  const std::vector<CHeldChange>& held = Held();
  for (auto it = held.rbegin(); it != held.rend(); ++it) {
    if (!SameValue(*it, subKey, valueName)) continue;
    if (it->deleted) return ERROR_FILE_NOT_FOUND;
    type = it->type;
    bytes = it->data;
    return ERROR_SUCCESS;
  }
  COpenKey key(subKey, KEY_QUERY_VALUE);
  if (key.Status() != ERROR_SUCCESS) return key.Status();
  return ReadValue(key.Get(), name, type, bytes);
}

// Forgets the held changes of a key that was removed, and of its sub keys.
void DropHeldOf(const std::string& subKey) {
  std::erase_if(Held(), [&subKey](const CHeldChange& h) {
    return EqualsNoCase(h.subKey, subKey) ||
           (h.subKey.size() > subKey.size() && h.subKey[subKey.size()] == '\\' &&
            EqualsNoCase(std::string_view(h.subKey).substr(0, subKey.size()), subKey));
  });
}

// The sub key to use for `subKey`: itself, unless it lies under SOFTWARE and
// exists only in the 32-bit view, where a 32-bit program put it; then its
// place there, said once per key on standard error.
std::string ViewOf(const std::string& subKey) {
  if (subKey.size() <= std::strlen(kSoftware) ||
      !EqualsNoCase(std::string_view(subKey).substr(0, std::strlen(kSoftware)), kSoftware))
    return subKey;
  const std::string rest = subKey.substr(std::strlen(kSoftware));
  if (rest.size() >= std::strlen(kWow6432Node) &&
      EqualsNoCase(std::string_view(rest).substr(0, std::strlen(kWow6432Node)), kWow6432Node))
    return subKey;
  if (COpenKey(subKey, KEY_QUERY_VALUE).Status() != ERROR_FILE_NOT_FOUND) return subKey;
  const std::string wow = kSoftware + std::string(kWow6432Node) + rest;
  if (COpenKey(wow, KEY_QUERY_VALUE).Status() != ERROR_SUCCESS) return subKey;
  static std::vector<std::string>* said = new std::vector<std::string>;  // guarded by RegistryMutex()
  if (std::find_if(said->begin(), said->end(), [&wow](const std::string& k) { return EqualsNoCase(k, wow); }) ==
      said->end()) {
    said->push_back(wow);
    std::fprintf(stderr, "%s%s: not in the 64-bit registry; the key a 32-bit program wrote is used: %s%s\n",
                 kRootPrefix, subKey.c_str(), kRootPrefix, wow.c_str());
  }
  return wow;
}

}  // namespace

struct CRegTransaction::CState {
  bool nested = false;  // joined an outer transaction of this thread
  bool committed = false;
  bool holdsProcessesMutex = false;
  std::vector<CUndoEntry> undo;
  std::unique_lock<std::recursive_mutex> lock;
};

namespace {
thread_local CRegTransaction::CState* t_Active = nullptr;

// Notes a value's state before the transaction's first change of it.
void NoteBeforeChange(const std::string& subKey, const char* name) {
  CRegTransaction::CState* tx = t_Active;
  if (tx == nullptr) return;
  const std::string valueName = name != nullptr ? name : "";
  for (const CUndoEntry& entry : tx->undo) {
    if (!entry.createdKey && entry.subKey == subKey && entry.name == valueName) return;
  }
  CUndoEntry entry;
  entry.subKey = subKey;
  entry.name = valueName;
  entry.existed = Load(subKey, name, entry.type, entry.data) == ERROR_SUCCESS;
  tx->undo.push_back(std::move(entry));
}

void Undo(const std::vector<CUndoEntry>& entries) {
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->createdKey) {
      ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, it->subKey.c_str(), kView, 0);
      DropHeldOf(it->subKey);
      continue;
    }
    CHeldChange change;
    change.subKey = it->subKey;
    change.name = it->name;
    change.deleted = !it->existed;
    change.type = it->type;
    change.data = it->data;
    Store(std::move(change));
  }
}

bool ValidSubKey(const char* subKey) { return subKey != nullptr && *subKey != '\0'; }
}  // namespace

CRegTransaction::CRegTransaction() : m_State(std::make_unique<CState>()) {
  if (t_Active != nullptr) {
    m_State->nested = true;
    return;
  }
  m_State->lock = std::unique_lock<std::recursive_mutex>(RegistryMutex());
  // WAIT_ABANDONED: a process died holding it; the lock is ours all the same.
  const HANDLE mutex = ProcessesMutex();
  m_State->holdsProcessesMutex = mutex != nullptr && ::WaitForSingleObject(mutex, INFINITE) != WAIT_FAILED;
  t_Active = m_State.get();
}

CRegTransaction::~CRegTransaction() {
  if (m_State->nested) return;
  if (!m_State->committed) Undo(m_State->undo);
  if (m_State->holdsProcessesMutex) ::ReleaseMutex(ProcessesMutex());
  t_Active = nullptr;
}

long CRegTransaction::Status() const { return ERROR_SUCCESS; }

long CRegTransaction::Commit() {
  if (!m_State->nested) m_State->committed = true;
  return ERROR_SUCCESS;
}

long CRegKey::Open(const char* subKey, CRegKey& out) {
  out.Close();
  if (!ValidSubKey(subKey)) return ERROR_BADKEY;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  const std::string place = ViewOf(subKey);
  // Reads need no more; each change opens the key for writing anew.
  COpenKey key(place, KEY_QUERY_VALUE);
  if (key.Status() == ERROR_SUCCESS) out.m_Path = kRootPrefix + place;
  return key.Status();
}

long CRegKey::Create(const char* subKey, CRegKey& out) {
  out.Close();
  if (!ValidSubKey(subKey)) return ERROR_BADKEY;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  const std::string place = ViewOf(subKey);
  HKEY key = nullptr;
  DWORD disposition = 0;
  // Query access only, so that a key this account may read but not change opens.
  const LONG rc = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, place.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_QUERY_VALUE | kView, nullptr, &key, &disposition);
  if (rc != ERROR_SUCCESS) return rc;
  ::RegCloseKey(key);
  if (disposition == REG_CREATED_NEW_KEY && t_Active != nullptr) {
    CUndoEntry entry;
    entry.subKey = place;
    entry.createdKey = true;
    t_Active->undo.push_back(std::move(entry));
  }
  out.m_Path = kRootPrefix + place;
  return ERROR_SUCCESS;
}

long CRegKey::QueryValue(const char* name, DWORD* type, void* data, DWORD* size) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  // Read whole into a buffer of our own: RegQueryValueExA may fill part of a
  // buffer that is too small, and the caller's must stay untouched then.
  DWORD valueType = 0;
  std::vector<BYTE> bytes;
  const long rc = Load(SubKeyOf(m_Path), name, valueType, bytes);
  if (rc != ERROR_SUCCESS) return rc;
  return RegistryHandOut(valueType, bytes.data(), static_cast<DWORD>(bytes.size()), type, data, size);
}

long CRegKey::ValueNames(std::vector<std::string>& names) const {
  names.clear();
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  const std::string subKey = SubKeyOf(m_Path);
  COpenKey key(subKey, KEY_QUERY_VALUE);
  if (key.Status() != ERROR_SUCCESS) return key.Status();
  constexpr DWORD kNameCapacity = 16384;  // the registry's longest value name, with its terminator
  std::vector<char> name(kNameCapacity);
  for (DWORD index = 0;; ++index) {
    DWORD length = kNameCapacity;
    const LONG rc =
        ::RegEnumValueA(key.Get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return rc;
    names.emplace_back(name.data(), length);
  }
  // Changes the registry refused are this process's view all the same.
  for (const CHeldChange& change : Held()) {
    if (!EqualsNoCase(change.subKey, subKey)) continue;
    const auto known = std::find_if(names.begin(), names.end(),
                                    [&change](const std::string& n) { return EqualsNoCase(n, change.name); });
    if (change.deleted && known != names.end()) names.erase(known);
    if (!change.deleted && known == names.end()) names.push_back(change.name);
  }
  return ERROR_SUCCESS;
}

long CRegKey::SetValue(const char* name, DWORD type, const void* data, DWORD size) {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  const std::string subKey = SubKeyOf(m_Path);
  NoteBeforeChange(subKey, name);
  CHeldChange change;
  change.subKey = subKey;
  change.name = name != nullptr ? name : "";
  change.type = type;
  if (size > 0) change.data.assign(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size);
  return Store(std::move(change));
}

long CRegKey::DeleteValue(const char* name) {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  const std::string subKey = SubKeyOf(m_Path);
  // A value that is not there (as this process sees it) cannot be removed.
  DWORD type = 0;
  std::vector<BYTE> bytes;
  const long found = Load(subKey, name, type, bytes);
  if (found != ERROR_SUCCESS) return found;
  NoteBeforeChange(subKey, name);
  CHeldChange change;
  change.subKey = subKey;
  change.name = name != nullptr ? name : "";
  change.deleted = true;
  return Store(std::move(change));
}

long CRegKey::Flush() {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  const long held = WriteHeld();
  COpenKey key(SubKeyOf(m_Path), KEY_QUERY_VALUE);
  if (key.Status() != ERROR_SUCCESS) return key.Status();
  const long rc = ::RegFlushKey(key.Get());
  return held != ERROR_SUCCESS ? held : rc;
}

bool CRegKey::TextFitsCodePage(const char* name) const {
  if (!IsOpen()) return true;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  COpenKey key(SubKeyOf(m_Path), KEY_QUERY_VALUE);
  if (key.Status() != ERROR_SUCCESS) return true;
  // The value as stored (UTF-16), then as the ANSI calls would give it.
  const std::string valueName = name != nullptr ? name : "";
  std::wstring wideName(valueName.size() + 1, L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, valueName.c_str(), -1, wideName.data(), static_cast<int>(wideName.size()));
  DWORD type = 0, size = 0;
  if (::RegQueryValueExW(key.Get(), wideName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || size < sizeof(WCHAR))
    return true;
  std::vector<WCHAR> text(size / sizeof(WCHAR) + 1, L'\0');
  if (::RegQueryValueExW(key.Get(), wideName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
      ERROR_SUCCESS)
    return true;
  BOOL lost = FALSE;
  const int length = static_cast<int>(size / sizeof(WCHAR));
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), length, nullptr, 0, nullptr, &lost);
  return !lost;
}

long CRegKey::DeleteKey(const char* subKey) {
  if (!ValidSubKey(subKey)) return ERROR_BADKEY;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  const std::string place = ViewOf(subKey);
  const long rc = ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, place.c_str(), kView, 0);
  if (rc == ERROR_SUCCESS) DropHeldOf(place);
  return rc;
}
