// platform/posix/PosixRegistry.cpp: CRegKey over the hive file.
//
// The process keeps one copy of the hive in memory (CHiveBackend). A change
// applies to that copy at once and is written later with all others pending, in
// one replacement of the whole file (PosixHiveFile.h): by a Flush, or by the
// writer thread about a second after the first unwritten change. From that
// first change until its write the process holds the exclusive flock on
// "<hive>.lock", so no other process reads the file while it is stale or draws
// a counter value again. Every write raises the 8-byte change count at the
// start of the lock file; a reader that finds the count and the hive file's
// identity, size and times as they were reuses its copy, else reads the file
// again (under the shared lock, when it has no changes of its own pending).
// A hive with unreadable lines is reported on standard error and never
// rewritten.
//
// Threads: m_Mutex guards all state. It is held across flock waits and reads of
// the file, never across a write: a write runs on a snapshot, so that other
// threads go on changing the copy meanwhile, and a Flush that comes during a
// write which already covers its changes waits for that write instead of
// making another. A CRegTransaction makes its thread the owner; the calls of
// other threads, and the writer thread, wait for their turn until it ends.
// The backend is never destroyed, so the detached writer thread and the exit
// handlers stay safe however the process ends.
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/Text.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/RegistryRead.h"
#include "platform/posix/HiveFormat.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixHiveFile.h"
#include "platform/posix/PosixRetry.h"

struct CRegTransaction::CState {
  bool nested = false;  // joined an outer transaction of this thread
  bool committed = false;
  long status = ERROR_SUCCESS;
  std::uint64_t changesAtStart = 0;  // the backend's counts when it began
  std::uint64_t writtenAtStart = 0;
  std::optional<CHive> undo;  // the copy before this transaction's first change
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char kDefaultHivePath[] = "/etc/cvsmtpgw/hive.reg";
constexpr const char kRootKey[] = "HKEY_LOCAL_MACHINE";
constexpr std::size_t kMaxReportedText = 200;
// How long changes may wait for their write: other processes wait that long
// for the lock at most, and a crash loses at most that much.
constexpr auto kWriteDelay = std::chrono::seconds(1);
// The longest an ending process waits to write its pending changes.
constexpr auto kExitWait = std::chrono::seconds(2);
constexpr auto kExitPoll = std::chrono::milliseconds(10);

thread_local CRegTransaction::CState* t_Active = nullptr;

std::string HivePath() { return EnvironmentValue("CVSMTPGW_HIVE", kDefaultHivePath); }

std::string Printable(std::string_view text) { return PrintableText(text, kMaxReportedText); }

class CHiveBackend {
 public:
  CHiveBackend(const CHiveBackend&) = delete;
  CHiveBackend& operator=(const CHiveBackend&) = delete;

  static CHiveBackend& Get() {
    static CHiveBackend* backend = new CHiveBackend;  // never destroyed, see above
    return *backend;
  }

  // Runs fn(const CHive&) on the current hive.
  template <class F>
  long Read(F&& fn) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    WaitTurn(lock);
    if (CRegTransaction::CState* tx = t_Active) {
      if (tx->status != ERROR_SUCCESS) return tx->status;
      return fn(static_cast<const CHive&>(m_Hive));
    }
    UsePath(lock);
    // Exclusive: this process's copy is the newest there is.
    if (m_Exclusive) return fn(static_cast<const CHive&>(m_Hive));
    // A reader that may not open the lock file still reads, until two reads
    // of the file agree.
    const int fd = LockFd(false);
    const bool locked = fd >= 0 && FlockRetry(fd, LOCK_SH) == 0;
    const long rc = Refresh(locked);
    if (locked) FlockRetry(fd, LOCK_UN);
    if (rc != ERROR_SUCCESS) return rc;
    return fn(static_cast<const CHive&>(m_Hive));
  }

  // Runs fn(CHive&, bool& changed) on the copy under the exclusive lock; a
  // change stays pending until it is written.
  template <class F>
  long Change(F&& fn) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    WaitTurn(lock);
    CRegTransaction::CState* tx = t_Active;
    if (tx != nullptr && tx->status != ERROR_SUCCESS) return tx->status;
    if (tx == nullptr) UsePath(lock);
    const long held = HoldExclusive();
    if (held != ERROR_SUCCESS) return held;
    if (tx != nullptr && !tx->undo) tx->undo = m_Hive;
    bool changed = false;
    const long rc = fn(m_Hive, changed);
    if (changed) NoteChange();
    ReleaseIfIdle();
    return rc;
  }

  long Flush() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    WaitTurn(lock);
    CRegTransaction::CState* tx = t_Active;
    if (tx != nullptr && tx->status != ERROR_SUCCESS) return tx->status;
    if (tx == nullptr) UsePath(lock);
    return WriteThrough(lock, m_Changes);
  }

  void Begin(CRegTransaction::CState& tx) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    WaitTurn(lock);
    UsePath(lock);
    m_Owner = std::this_thread::get_id();
    t_Active = &tx;
    tx.status = HoldExclusive();
    tx.changesAtStart = m_Changes;
    tx.writtenAtStart = m_Written;
  }

  void End(CRegTransaction::CState& tx) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (!tx.committed && tx.undo && m_Changes != tx.changesAtStart) {
      m_Hive = std::move(*tx.undo);
      // Nothing of it written: the copy is back where it was, pending or not.
      if (m_Written == tx.writtenAtStart)
        m_Changes = tx.changesAtStart;
      else
        NoteChange();
    }
    m_Owner = std::thread::id();
    t_Active = nullptr;
    ReleaseIfIdle();
    // Only a thread waiting for its turn cares; the writer thread, asleep
    // until its changes are due, is not woken for every counter drawn.
    if (m_TurnWaiters > 0) m_Event.notify_all();
  }

 private:
  CHiveBackend() : m_Pid(::getpid()) {}

  bool Pending() const { return m_Changes != m_Written; }
  bool MyTurn() const { return m_Owner == std::thread::id() || m_Owner == std::this_thread::get_id(); }
  // Waits until no other thread's transaction is open (or `deadline` passes);
  // counted in m_TurnWaiters, so that the transaction's end wakes it.
  void WaitTurn(std::unique_lock<std::mutex>& lock) {
    if (MyTurn()) return;
    ++m_TurnWaiters;
    m_Event.wait(lock, [this] { return MyTurn(); });
    --m_TurnWaiters;
  }
  bool WaitTurnUntil(std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
    if (MyTurn()) return true;
    ++m_TurnWaiters;
    const bool mine = m_Event.wait_until(lock, deadline, [this] { return MyTurn(); });
    --m_TurnWaiters;
    return mine;
  }

  // Follows CVSMTPGW_HIVE (tests change it). Changes pending for the hive used
  // so far are written first; when that fails they are dropped, with a report:
  // they belong to a hive nobody uses any more.
  void UsePath(std::unique_lock<std::mutex>& lock) {
    std::string path = HivePath();
    if (path == m_Path) return;
    if (!m_Path.empty()) {
      if (Pending()) {
        const long rc = WriteThrough(lock, m_Changes);
        if (rc != ERROR_SUCCESS && Pending())
          std::fprintf(stderr, "%s: registry changes could not be written (error %ld) and are dropped\n",
                       m_Path.c_str(), rc);
      }
      m_Event.wait(lock, [this] { return !m_Writing; });
      if (HivePath() == m_Path) return;  // another thread went back meanwhile
      m_Written = m_Changes;
      if (m_LockFd >= 0) ::close(m_LockFd);  // gives up its lock
      m_LockFd = -1;
      m_Exclusive = false;
      m_Loaded = false;
      m_TextValid = false;
      m_CountKnown = false;
      m_File = CHiveFileState{};
    }
    m_Path = std::move(path);
  }

  // The descriptor of "<hive>.lock", opened again when that name no longer
  // stands for the file held open (never while it is locked). Read-only when
  // it may not be written and `needWrite` is false, or when the hive was made
  // read-only (its file system, its directory, the lock file): a read-only
  // descriptor takes the lock as well, so the changes go on in memory and
  // the writer thread writes them once it can. -1 with errno on failure.
  int LockFd(bool needWrite) {
    const std::string lockPath = m_Path + ".lock";
    struct stat st;
    if (m_LockFd >= 0 && (m_LockWritable || !needWrite) && ::stat(lockPath.c_str(), &st) == 0 &&
        st.st_dev == m_LockDev && st.st_ino == m_LockIno)
      return m_LockFd;
    if (m_LockFd >= 0) ::close(m_LockFd);
    m_LockFd = -1;
    int fd = OpenRetry(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0644);
    const bool writable = fd >= 0;
    const bool readOnly = !writable && (errno == EROFS || errno == EACCES || errno == EPERM);
    if (fd < 0 && (!needWrite || readOnly)) fd = OpenRetry(lockPath.c_str(), O_RDONLY | O_NOFOLLOW, 0);
    m_NoLockFile = fd < 0 && readOnly && errno == ENOENT;
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return -1;
    }
    m_LockFd = fd;
    m_LockWritable = writable;
    m_LockDev = st.st_dev;
    m_LockIno = st.st_ino;
    return fd;
  }

  // The change count in the lock file (0 for a file without one).
  std::uint64_t ReadCount() const {
    std::uint64_t count = 0;
    if (::pread(m_LockFd, &count, sizeof count, 0) != static_cast<ssize_t>(sizeof count)) return 0;
    return count;
  }

  // Takes the exclusive lock unless held, and makes the copy the file's.
  // A hive in a read-only directory that holds no lock file is changed
  // without the lock: no process can take it, nor write the hive, until the
  // directory may be written again; the copy is written then.
  long HoldExclusive() {
    if (m_Exclusive) return ERROR_SUCCESS;
    const int fd = LockFd(true);
    if (fd < 0 && !m_NoLockFile) return static_cast<long>(FileErrorCode(errno, m_Path + ".lock"));
    if (fd >= 0 && FlockRetry(fd, LOCK_EX) != 0) return static_cast<long>(WindowsCodeOfErrno(errno));
    m_Exclusive = true;
    const long rc = Refresh(fd >= 0);
    if (rc != ERROR_SUCCESS) {
      if (fd >= 0) FlockRetry(fd, LOCK_UN);
      m_Exclusive = false;
    }
    return rc;
  }

  // The lock is given back once nothing needs it: no change pending or being
  // written, no transaction open.
  void ReleaseIfIdle() {
    if (!m_Exclusive || Pending() || m_Writing || m_Owner != std::thread::id()) return;
    if (m_LockFd >= 0) FlockRetry(m_LockFd, LOCK_UN);
    m_Exclusive = false;
  }

  // Makes the copy the file's content (nothing of ours pending): reused while
  // the change count and the file are as they were, else read again. A
  // missing hive file reads as an empty hive.
  long Refresh(bool locked) {
    const std::uint64_t count = locked ? ReadCount() : 0;
    if (m_Loaded && locked && m_CountKnown && m_Count == count && CHiveFileState::Of(m_Path).Same(m_File))
      return ERROR_SUCCESS;
    std::string text;
    bool tooBig = false;
    CHiveFileState state;
    const long rc = HiveFileRead(m_Path, locked, text, tooBig, state);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
      m_Loaded = false;
      return rc;
    }
    m_File = state;
    m_CountKnown = locked;
    m_Count = count;
    if (m_Loaded && m_TextValid && !tooBig && text == m_Text) return ERROR_SUCCESS;  // the same bytes
    std::vector<CHiveProblem> problems;
    if (tooBig) {
      std::fprintf(stderr, "%s: the hive is too large and was not read\n", m_Path.c_str());
      m_Hive = CHive::Unreadable();
    } else {
      m_Hive = CHive::Parse(text, problems);
    }
    for (const CHiveProblem& p : problems) {
      std::fprintf(stderr, "%s:%d: cannot read this hive line, ignored: %s\n", m_Path.c_str(), p.line,
                   Printable(p.text).c_str());
    }
    if (!m_Hive.Complete()) {
      std::fprintf(stderr,
                   "%s: the hive was not read completely; registry changes are refused until it is "
                   "repaired\n",
                   m_Path.c_str());
    }
    m_Text = std::move(text);
    m_TextValid = !tooBig;
    m_Loaded = true;
    return ERROR_SUCCESS;
  }

  void NoteChange() {
    const bool wasPending = Pending();
    ++m_Changes;
    // The first change that the running write does not hold is due a second
    // from now, like the first change of all.
    if (m_Writing && m_Changes == m_WriteCovers + 1) m_NextDue = Clock::now() + kWriteDelay;
    if (wasPending) return;
    m_Due = Clock::now() + kWriteDelay;
    StartWriter();
    m_Event.notify_all();
  }

  // Returns once the changes up to `target` are on disk (ERROR_SUCCESS) or
  // the write that was to cover them failed (its error). A write already
  // running that covers them is shared; one that started before them is waited
  // for, and then the next write covers them.
  long WriteThrough(std::unique_lock<std::mutex>& lock, std::uint64_t target) {
    for (;;) {
      if (m_Written >= target) return ERROR_SUCCESS;
      if (m_Writing) {
        if (m_WriteCovers >= target) {
          const std::uint64_t ended = m_WritesEnded;
          m_Event.wait(lock, [&] { return m_WritesEnded != ended; });
          return m_Written >= target ? ERROR_SUCCESS : m_LastError;
        }
        m_Event.wait(lock, [this] { return !m_Writing; });
        continue;
      }
      if (!MyTurn()) {
        WaitTurn(lock);
        continue;
      }
      return WriteNow(lock);
    }
  }

  // Writes the copy as it is now; the mutex is let go for the file work.
  long WriteNow(std::unique_lock<std::mutex>& lock) {
    if (!m_Hive.Complete()) {
      m_Due = Clock::now() + kWriteDelay;
      return ERROR_BADDB;  // never rewritten (no change is ever made to it)
    }
    m_Writing = true;
    const std::uint64_t covers = m_WriteCovers = m_Changes;
    std::string text = m_Hive.Serialize();
    const std::string path = m_Path;
    const CHiveFileState before = m_File;
    lock.unlock();
    if (!CHiveFileState::Of(path).Same(before))
      std::fprintf(stderr, "%s: the hive was changed by someone else while changes were pending; replaced\n",
                   path.c_str());
    CHiveFileState after;
    const long rc = HiveFileReplace(path, text, before, after);
    lock.lock();
    m_Writing = false;
    ++m_WritesEnded;
    if (after.exists) m_File = after;  // the hive now, whether or not its directory is synced
    if (rc == ERROR_SUCCESS) {
      m_Written = covers;
      m_Text = std::move(text);
      m_TextValid = true;
      // Other processes' readers learn from the count that their copies are
      // old. Without it they still see the hive file's new identity.
      const std::uint64_t next = ReadCount() + 1;
      m_CountKnown = ::pwrite(m_LockFd, &next, sizeof next, 0) == static_cast<ssize_t>(sizeof next);
      m_Count = next;
      if (Pending()) m_Due = m_NextDue;
      if (m_Failing) std::fprintf(stderr, "%s: registry changes written again\n", m_Path.c_str());
      m_Failing = false;
    } else {
      m_LastError = rc;
      m_Due = Clock::now() + kWriteDelay;  // the writer thread tries again
    }
    ReleaseIfIdle();
    m_Event.notify_all();
    return rc;
  }

  // The writer thread: writes pending changes once they are due, and again a
  // second after a failed write, until they are on disk.
  void WriterLoop() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;) {
      if (!Pending()) {
        m_Event.wait(lock);
      } else if (Clock::now() < m_Due) {
        m_Event.wait_until(lock, m_Due);
      } else if (m_Writing) {
        m_Event.wait(lock);
      } else if (m_Owner != std::thread::id()) {
        WaitTurn(lock);
      } else if (WriteNow(lock) != ERROR_SUCCESS && Pending() && !m_Failing) {
        m_Failing = true;  // reported once until a write succeeds
        std::fprintf(stderr, "%s: registry changes could not be written (error %ld); kept and tried again\n",
                     m_Path.c_str(), m_LastError);
      }
    }
  }

  void StartWriter() {
    if (m_WriterStarted) return;
    try {
      std::thread([this] { WriterLoop(); }).detach();
    } catch (const std::system_error&) {
      return;  // Flush still writes; the next change tries again
    }
    m_WriterStarted = true;
    std::atexit(WriteAtExit);
    std::at_quick_exit(WriteAtExit);
  }

  // A process that ends writes what it has pending, waiting a bounded time for
  // the registry (other threads may still be using it).
  static void WriteAtExit() { Get().WritePendingAtExit(); }
  void WritePendingAtExit() {
    if (::getpid() != m_Pid) return;
    const Clock::time_point deadline = Clock::now() + kExitWait;
    std::unique_lock<std::mutex> lock(m_Mutex, std::defer_lock);
    while (!lock.try_lock()) {
      if (Clock::now() >= deadline) return;
      std::this_thread::sleep_for(kExitPoll);
    }
    if (!WaitTurnUntil(lock, deadline) || !Pending()) return;
    const long rc = WriteThrough(lock, m_Changes);
    if (rc != ERROR_SUCCESS)
      std::fprintf(stderr, "%s: registry changes could not be written at exit (error %ld)\n", m_Path.c_str(),
                   rc);
  }

  std::mutex m_Mutex;
  // Notified when a change becomes pending, a write ends, and a transaction
  // ends while a thread waits for its turn (m_TurnWaiters).
  std::condition_variable m_Event;
  const pid_t m_Pid;

  // All below guarded by m_Mutex.
  std::string m_Path;  // the hive the rest describes; empty before the first call
  int m_LockFd = -1;   // "<hive>.lock"; owned
  bool m_LockWritable = false;
  dev_t m_LockDev = 0;
  ino_t m_LockIno = 0;
  bool m_Exclusive = false;   // LOCK_EX held on m_LockFd (or no lock file can be, see HoldExclusive)
  bool m_NoLockFile = false;  // the last LockFd found none and could make none: read-only

  CHive m_Hive;           // the copy: the file's content plus the pending changes
  bool m_Loaded = false;  // m_Hive was read from m_Path
  std::string m_Text;     // the bytes last read or written, when m_TextValid
  bool m_TextValid = false;
  CHiveFileState m_File;  // the hive file's status when it held m_Text
  bool m_CountKnown = false;
  std::uint64_t m_Count = 0;  // the lock file's change count then

  std::uint64_t m_Changes = 0;      // changes made to the copy, counted from the start
  std::uint64_t m_Written = 0;      // how many of them are on disk
  Clock::time_point m_Due;          // when the writer thread writes what is pending
  Clock::time_point m_NextDue;      // m_Due for the changes made during the running write
  bool m_Writing = false;           // a write runs (the mutex let go)
  std::uint64_t m_WriteCovers = 0;  // the changes that write holds
  std::uint64_t m_WritesEnded = 0;
  long m_LastError = ERROR_SUCCESS;  // of the last failed write
  bool m_Failing = false;            // the writer thread has reported a failure
  std::thread::id m_Owner;           // the thread whose transaction is open
  int m_TurnWaiters = 0;             // threads waiting for m_Owner to end its transaction
  bool m_WriterStarted = false;
};

// The full path of a key below HKEY_LOCAL_MACHINE; false when the name cannot be a key.
bool KeyPath(const char* subKey, std::string& out) {
  out = kRootKey;
  if (subKey != nullptr && *subKey != '\0') {
    out += '\\';
    out += subKey;
  }
  while (out.back() == '\\') out.pop_back();  // "A\" names A, as on Windows
  return CHive::ValidKeyPath(out);
}

}  // namespace

CRegTransaction::CRegTransaction() : m_State(std::make_unique<CState>()) {
  if (t_Active != nullptr) {
    m_State->nested = true;
    return;
  }
  CHiveBackend::Get().Begin(*m_State);
}

CRegTransaction::~CRegTransaction() {
  if (!m_State->nested) CHiveBackend::Get().End(*m_State);
}

long CRegTransaction::Status() const {
  if (m_State->nested) return t_Active != nullptr ? t_Active->status : ERROR_SUCCESS;
  return m_State->status;
}

long CRegTransaction::Commit() {
  if (m_State->nested || m_State->status != ERROR_SUCCESS) return Status();
  m_State->committed = true;
  return ERROR_SUCCESS;
}

bool CRegKey::TextFitsCodePage(const char* /*name*/) const { return true; }  // bytes as stored

long CRegKey::Open(const char* subKey, CRegKey& out) {
  out.Close();
  std::string path;
  if (!KeyPath(subKey, path)) return ERROR_BADKEY;
  const long rc = CHiveBackend::Get().Read(
      [&](const CHive& hive) { return hive.KeyExists(path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND; });
  if (rc == ERROR_SUCCESS) out.m_Path = path;
  return rc;
}

long CRegKey::Create(const char* subKey, CRegKey& out) {
  out.Close();
  std::string path;
  if (!KeyPath(subKey, path)) return ERROR_BADKEY;
  CHiveBackend& backend = CHiveBackend::Get();
  // Mostly the key is there: a shared look first, the exclusive lock only to add it.
  long rc = backend.Read(
      [&](const CHive& hive) { return hive.KeyExists(path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND; });
  if (rc == ERROR_FILE_NOT_FOUND) {
    rc = backend.Change([&](CHive& hive, bool& changed) {
      if (hive.KeyExists(path)) return ERROR_SUCCESS;
      if (!hive.Complete()) return ERROR_BADDB;
      hive.AddKey(path);
      changed = true;
      return ERROR_SUCCESS;
    });
  }
  if (rc == ERROR_SUCCESS) out.m_Path = path;
  return rc;
}

long CRegKey::QueryValue(const char* name, DWORD* type, void* data, DWORD* size) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  const std::string_view valueName = name != nullptr ? name : "";
  return CHiveBackend::Get().Read([&](const CHive& hive) {
    const CHiveKey* key = hive.FindKey(m_Path);
    const CHiveValue* value = key != nullptr ? CHive::FindValue(*key, valueName) : nullptr;
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    return RegistryHandOut(value->type, value->data.data(), static_cast<DWORD>(value->data.size()), type, data,
                           size);
  });
}

long CRegKey::ValueNames(std::vector<std::string>& names) const {
  names.clear();
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  return CHiveBackend::Get().Read([&](const CHive& hive) {
    const CHiveKey* key = hive.FindKey(m_Path);
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
    for (const CHiveValue& value : key->values) names.push_back(value.name);
    return ERROR_SUCCESS;
  });
}

long CRegKey::SetValue(const char* name, DWORD type, const void* data, DWORD size) {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
  const std::string_view valueName = name != nullptr ? name : "";
  if (!CHive::ValidValueName(valueName)) return ERROR_INVALID_PARAMETER;
  std::string bytes(static_cast<const char*>(data), size);
  return CHiveBackend::Get().Change([&](CHive& hive, bool& changed) {
    if (const CHiveKey* key = hive.FindKey(m_Path)) {
      const CHiveValue* value = CHive::FindValue(*key, valueName);
      if (value != nullptr && value->type == type && value->data == bytes) return ERROR_SUCCESS;
    }
    if (!hive.Complete()) return ERROR_BADDB;
    CHive::SetValue(hive.AddKey(m_Path), valueName, type, std::move(bytes));
    changed = true;
    return ERROR_SUCCESS;
  });
}

long CRegKey::DeleteValue(const char* name) {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  const std::string_view valueName = name != nullptr ? name : "";
  return CHiveBackend::Get().Change([&](CHive& hive, bool& changed) {
    CHiveKey* key = hive.FindKey(m_Path);
    if (key == nullptr || CHive::FindValue(*key, valueName) == nullptr) return ERROR_FILE_NOT_FOUND;
    if (!hive.Complete()) return ERROR_BADDB;
    CHive::RemoveValue(*key, valueName);
    changed = true;
    return ERROR_SUCCESS;
  });
}

long CRegKey::Flush() {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  return CHiveBackend::Get().Flush();
}

long CRegKey::DeleteKey(const char* subKey) {
  std::string path;
  if (!KeyPath(subKey, path) || path.find('\\') == std::string::npos) return ERROR_BADKEY;
  return CHiveBackend::Get().Change([&](CHive& hive, bool& changed) {
    if (!hive.KeyExists(path)) return ERROR_FILE_NOT_FOUND;
    if (hive.HasSubKeys(path)) return ERROR_ACCESS_DENIED;  // RegDeleteKeyA leaves parents alone
    if (!hive.Complete()) return ERROR_BADDB;
    hive.RemoveKey(path);
    changed = true;
    return ERROR_SUCCESS;
  });
}
