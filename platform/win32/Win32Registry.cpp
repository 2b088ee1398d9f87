// platform/win32/Win32Registry.cpp: CRegKey over the real registry
// (RegCreateKeyExA, RegOpenKeyExA, RegQueryValueExA, RegSetValueExA,
// RegDeleteValueA, RegFlushKey, RegDeleteKeyA), below HKEY_LOCAL_MACHINE.
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
// Keys are opened for each call and closed after it: a CRegKey holds only its
// path, so it can be moved and kept without holding a system handle. Any
// thread; a CRegKey is used by one thread at a time.
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/win32/Win32Api.h"

namespace {

constexpr const char kRootPrefix[] = "HKEY_LOCAL_MACHINE\\";
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

class COpenKey {
 public:
  COpenKey(const std::string& subKey, REGSAM access) {
    m_Status = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, access, &m_Key);
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
  COpenKey key(subKey, KEY_QUERY_VALUE);
  entry.existed =
      key.Status() == ERROR_SUCCESS && ReadValue(key.Get(), name, entry.type, entry.data) == ERROR_SUCCESS;
  tx->undo.push_back(std::move(entry));
}

void Undo(const std::vector<CUndoEntry>& entries) {
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->createdKey) {
      ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, it->subKey.c_str());
      continue;
    }
    COpenKey key(it->subKey, KEY_SET_VALUE);
    if (key.Status() != ERROR_SUCCESS) continue;
    const char* name = it->name.empty() ? nullptr : it->name.c_str();
    if (it->existed)
      ::RegSetValueExA(key.Get(), name, 0, it->type, it->data.data(), static_cast<DWORD>(it->data.size()));
    else
      ::RegDeleteValueA(key.Get(), name);
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

CRegKey::CRegKey(CRegKey&& other) noexcept : m_Path(std::move(other.m_Path)) { other.m_Path.clear(); }

CRegKey& CRegKey::operator=(CRegKey&& other) noexcept {
  if (this != &other) {
    m_Path = std::move(other.m_Path);
    other.m_Path.clear();
  }
  return *this;
}

CRegKey::~CRegKey() = default;

void CRegKey::Close() { m_Path.clear(); }

long CRegKey::Open(const char* subKey, CRegKey& out) {
  out.Close();
  if (!ValidSubKey(subKey)) return ERROR_BADKEY;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  COpenKey key(subKey, KEY_ALL_ACCESS);
  if (key.Status() == ERROR_SUCCESS) out.m_Path = std::string(kRootPrefix) + subKey;
  return key.Status();
}

long CRegKey::Create(const char* subKey, CRegKey& out) {
  out.Close();
  if (!ValidSubKey(subKey)) return ERROR_BADKEY;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  HKEY key = nullptr;
  DWORD disposition = 0;
  const LONG rc = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS, nullptr, &key, &disposition);
  if (rc != ERROR_SUCCESS) return rc;
  ::RegCloseKey(key);
  if (disposition == REG_CREATED_NEW_KEY && t_Active != nullptr) {
    CUndoEntry entry;
    entry.subKey = subKey;
    entry.createdKey = true;
    t_Active->undo.push_back(std::move(entry));
  }
  out.m_Path = std::string(kRootPrefix) + subKey;
  return ERROR_SUCCESS;
}

long CRegKey::QueryValue(const char* name, DWORD* type, void* data, DWORD* size) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  COpenKey key(SubKeyOf(m_Path), KEY_QUERY_VALUE);
  if (key.Status() != ERROR_SUCCESS) return key.Status();
  // Read whole into a buffer of our own: RegQueryValueExA may fill part of a
  // buffer that is too small, and the caller's must stay untouched then.
  DWORD valueType = 0;
  std::vector<BYTE> bytes;
  const long rc = ReadValue(key.Get(), name, valueType, bytes);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != nullptr) *type = valueType;
  const DWORD needed = static_cast<DWORD>(bytes.size());
  if (data != nullptr && needed > *size) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && needed > 0) std::memcpy(data, bytes.data(), needed);
  if (size != nullptr) *size = needed;
  return ERROR_SUCCESS;
}

long CRegKey::SetValue(const char* name, DWORD type, const void* data, DWORD size) {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  const std::string subKey = SubKeyOf(m_Path);
  NoteBeforeChange(subKey, name);
  COpenKey key(subKey, KEY_SET_VALUE);
  if (key.Status() != ERROR_SUCCESS) return key.Status();
  return ::RegSetValueExA(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size);
}

long CRegKey::DeleteValue(const char* name) {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  const std::string subKey = SubKeyOf(m_Path);
  NoteBeforeChange(subKey, name);
  COpenKey key(subKey, KEY_SET_VALUE);
  if (key.Status() != ERROR_SUCCESS) return key.Status();
  return ::RegDeleteValueA(key.Get(), name);
}

long CRegKey::Flush() {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  COpenKey key(SubKeyOf(m_Path), KEY_QUERY_VALUE);
  if (key.Status() != ERROR_SUCCESS) return key.Status();
  return ::RegFlushKey(key.Get());
}

long CRegKey::DeleteKey(const char* subKey) {
  if (!ValidSubKey(subKey)) return ERROR_BADKEY;
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  return ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, subKey);
}
