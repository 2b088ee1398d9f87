// platform/posix/PosixRegistry.cpp: CRegKey over the hive file.
//
// The hive is one .reg file (HiveFormat.h). Readers take a shared flock on
// "<hive>.lock" and use a parsed copy cached by (device, inode, size, mtime);
// the cache keeps the cached file open so that its inode number cannot be
// reused by a later hive while we still trust it. Every change runs as a
// CRegTransaction: exclusive flock, re-read, change the copy, write
// "<hive>.new", rename over the hive. So a reader sees either the old or the
// new file, a killed writer leaves the old one, and a counter step is never
// lost. A change is not synced: that costs a journal commit per counter draw,
// which is what RegFlushKey (Flush) is for, as in the registry itself: it
// syncs the hive file and its directory. "<hive>.new" is only touched under
// the exclusive lock, so a stale one left by a killed writer is simply
// overwritten. A hive with unreadable lines is reported on standard error once
// per load and never rewritten.
//
// Threads: g_Mutex serialises all registry work of the process and guards
// g_Cache; a transaction holds it for its whole life, and t_Active lets the
// owning thread's calls use the transaction's copy.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/HiveFormat.h"
#include "platform/Registry.h"
#include "platform/posix/PosixErrors.h"

struct CRegTransaction::CState {
  bool nested = false;  // joined an outer transaction of this thread
  long status = ERROR_SUCCESS;
  std::unique_lock<std::mutex> guard;
  int lockFd = -1;     // "<hive>.lock", held LOCK_EX; owned
  std::string path;    // the hive file
  CHive hive;          // the working copy
  bool dirty = false;  // hive differs from the file
  bool flush = false;  // Flush() was asked for: sync on Commit
};

namespace {
constexpr const char kDefaultHivePath[] = "/etc/cvsmtpgw/hive.reg";
constexpr const char kRootKey[] = "HKEY_LOCAL_MACHINE";
constexpr off_t kMaxHiveBytes = 16 * 1024 * 1024;  // far beyond any real hive; a bigger file is not ours
constexpr std::size_t kMaxReportedText = 200;

struct CHiveCache {
  std::string path;
  int fd = -1;  // the cached file, kept open to pin its inode; owned
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  long long mtimeNs = 0;
  std::shared_ptr<const CHive> hive;
};

std::mutex g_Mutex;
CHiveCache g_Cache;  // guarded by g_Mutex
thread_local CRegTransaction::CState* t_Active = nullptr;

std::string HivePath() {
  const char* env = std::getenv("CVSMTPGW_HIVE");
  return (env != nullptr && *env != '\0') ? std::string(env) : std::string(kDefaultHivePath);
}

long long MtimeNs(const struct stat& st) {
  return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

int OpenRetry(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int FlockRetry(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, kMaxReportedText)) {
    const unsigned char u = static_cast<unsigned char>(c);
    out.push_back(u >= 0x20 && u != 0x7F ? c : '?');
  }
  if (text.size() > kMaxReportedText) out += "...";
  return out;
}

// Replaces the cache; takes ownership of fd.
void SetCache(const std::string& path, int fd, const struct stat& st, std::shared_ptr<const CHive> hive) {
  if (g_Cache.fd >= 0) ::close(g_Cache.fd);
  g_Cache.path = path;
  g_Cache.fd = fd;
  g_Cache.dev = st.st_dev;
  g_Cache.ino = st.st_ino;
  g_Cache.size = st.st_size;
  g_Cache.mtimeNs = MtimeNs(st);
  g_Cache.hive = std::move(hive);
}

// The parsed hive at `path` (g_Mutex held). ERROR_FILE_NOT_FOUND when there is
// no hive file.
long LoadHive(const std::string& path, std::shared_ptr<const CHive>& out) {
  out.reset();
  const int fd = OpenRetry(path.c_str(), O_RDONLY | O_NOCTTY, 0);
  if (fd < 0) {
    const int err = errno;
    return err == ENOENT ? ERROR_FILE_NOT_FOUND : static_cast<long>(FileErrorCodeNoPath(err));
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    std::fprintf(stderr, "%s: the hive is not a regular file\n", path.c_str());
    return ERROR_BADDB;
  }
  if (g_Cache.hive && g_Cache.path == path && g_Cache.dev == st.st_dev && g_Cache.ino == st.st_ino &&
      g_Cache.size == st.st_size && g_Cache.mtimeNs == MtimeNs(st)) {
    ::close(fd);
    out = g_Cache.hive;
    return ERROR_SUCCESS;
  }
  std::string text;
  bool tooBig = st.st_size > kMaxHiveBytes;
  if (!tooBig) {
    char chunk[16 * 1024];
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int err = errno;
        ::close(fd);
        return static_cast<long>(FileErrorCodeNoPath(err));
      }
      if (n == 0) break;
      text.append(chunk, static_cast<std::size_t>(n));
      if (static_cast<off_t>(text.size()) > kMaxHiveBytes) {
        tooBig = true;
        break;
      }
    }
  }
  std::vector<CHiveProblem> problems;
  CHive hive;
  if (tooBig) {
    std::fprintf(stderr, "%s: the hive is larger than %lld bytes and was not read\n", path.c_str(),
                 static_cast<long long>(kMaxHiveBytes));
    hive = CHive::Unreadable();
  } else {
    hive = CHive::Parse(text, problems);
  }
  for (const CHiveProblem& p : problems) {
    std::fprintf(stderr, "%s:%d: cannot read this hive line, ignored: %s\n", path.c_str(), p.line,
                 Printable(p.text).c_str());
  }
  if (!hive.Complete()) {
    std::fprintf(stderr,
                 "%s: the hive was not read completely; registry changes are refused until it is "
                 "repaired\n",
                 path.c_str());
  }
  auto shared = std::make_shared<const CHive>(std::move(hive));
  SetCache(path, fd, st, shared);
  out = std::move(shared);
  return ERROR_SUCCESS;
}

// Writes `hive` over the file at `path` (exclusive lock held).
long StoreHive(const std::string& path, const CHive& hive) {
  const std::string temp = path + ".new";
  const int fd = OpenRetry(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
  if (fd < 0) return static_cast<long>(FileErrorCode(errno, temp));
  struct stat old;
  if (::stat(path.c_str(), &old) == 0) {
    // The replacement keeps the hive's permissions (and owner, where we may).
    (void)::fchmod(fd, old.st_mode & 07777);
    if (::geteuid() == 0) (void)::fchown(fd, old.st_uid, old.st_gid);
  }
  const std::string text = hive.Serialize();
  std::size_t done = 0;
  int err = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  // No fsync here: the rename alone keeps the hive whole against a killed
  // process; Flush makes it durable against a power loss.
  struct stat st;
  if (err == 0 && ::fstat(fd, &st) != 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::close(fd);
    ::unlink(temp.c_str());
    return static_cast<long>(FileErrorCodeNoPath(err));
  }
  SetCache(path, fd, st, std::make_shared<const CHive>(hive));  // fd now names the hive
  return ERROR_SUCCESS;
}

long SyncHive(const std::string& path) {
  const int fd = OpenRetry(path.c_str(), O_RDONLY, 0);
  if (fd < 0) return static_cast<long>(FileErrorCode(errno, path));
  int err = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  const std::string::size_type slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int dfd = OpenRetry(dir.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (dfd >= 0) {
    if (::fsync(dfd) != 0 && err == 0) err = errno;
    ::close(dfd);
  }
  return err == 0 ? ERROR_SUCCESS : static_cast<long>(FileErrorCodeNoPath(err));
}

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

// Runs fn(const CHive&) on the current hive: the transaction's copy, or the
// file's under a shared lock.
template <class F>
long ReadHive(F&& fn) {
  if (CRegTransaction::CState* tx = t_Active) {
    if (tx->status != ERROR_SUCCESS) return tx->status;
    return fn(static_cast<const CHive&>(tx->hive));
  }
  std::lock_guard<std::mutex> guard(g_Mutex);
  const std::string path = HivePath();
  const std::string lockPath = path + ".lock";
  // A reader that may not create the lock file still reads: the rename makes
  // every file it can see a whole one.
  int lockFd = OpenRetry(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0644);
  if (lockFd < 0) lockFd = OpenRetry(lockPath.c_str(), O_RDONLY | O_NOFOLLOW, 0);
  if (lockFd >= 0) FlockRetry(lockFd, LOCK_SH);
  std::shared_ptr<const CHive> hive;
  const long rc = LoadHive(path, hive);
  if (lockFd >= 0) ::close(lockFd);
  if (rc != ERROR_SUCCESS) return rc;
  return fn(*hive);
}

// Runs fn(CHive&, bool& changed) in the current transaction, or in one of its
// own that it commits.
template <class F>
long WriteHive(F&& fn) {
  if (CRegTransaction::CState* tx = t_Active) {
    if (tx->status != ERROR_SUCCESS) return tx->status;
    bool changed = false;
    const long rc = fn(tx->hive, changed);
    if (changed) tx->dirty = true;
    return rc;
  }
  CRegTransaction own;
  CRegTransaction::CState* tx = t_Active;
  if (tx->status != ERROR_SUCCESS) return tx->status;
  bool changed = false;
  const long rc = fn(tx->hive, changed);
  if (rc != ERROR_SUCCESS) return rc;
  if (changed) tx->dirty = true;
  return own.Commit();
}
}  // namespace

CRegTransaction::CRegTransaction() : m_State(std::make_unique<CState>()) {
  if (t_Active != nullptr) {
    m_State->nested = true;
    return;
  }
  CState& st = *m_State;
  st.guard = std::unique_lock<std::mutex>(g_Mutex);
  st.path = HivePath();
  t_Active = &st;
  const std::string lockPath = st.path + ".lock";
  st.lockFd = OpenRetry(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0644);
  if (st.lockFd < 0) {
    st.status = static_cast<long>(FileErrorCode(errno, lockPath));
    return;
  }
  if (FlockRetry(st.lockFd, LOCK_EX) != 0) {
    st.status = static_cast<long>(FileErrorCodeNoPath(errno));
    return;
  }
  std::shared_ptr<const CHive> hive;
  const long rc = LoadHive(st.path, hive);
  if (rc == ERROR_SUCCESS)
    st.hive = *hive;
  else if (rc != ERROR_FILE_NOT_FOUND)
    st.status = rc;  // a missing hive starts empty
}

CRegTransaction::~CRegTransaction() {
  if (m_State->nested) return;
  t_Active = nullptr;
  if (m_State->lockFd >= 0) ::close(m_State->lockFd);  // releases the flock
}

long CRegTransaction::Status() const {
  if (m_State->nested) return t_Active != nullptr ? t_Active->status : ERROR_SUCCESS;
  return m_State->status;
}

long CRegTransaction::Commit() {
  CState& st = *m_State;
  if (st.nested) return Status();
  if (st.status != ERROR_SUCCESS) return st.status;
  if (st.dirty) {
    if (!st.hive.Complete()) return ERROR_BADDB;
    const long rc = StoreHive(st.path, st.hive);
    if (rc != ERROR_SUCCESS) return rc;
    st.dirty = false;
  }
  if (st.flush) {
    st.flush = false;
    return SyncHive(st.path);
  }
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
  std::string path;
  if (!KeyPath(subKey, path)) return ERROR_BADKEY;
  const long rc = ReadHive(
      [&](const CHive& hive) { return hive.KeyExists(path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND; });
  if (rc == ERROR_SUCCESS) out.m_Path = path;
  return rc;
}

long CRegKey::Create(const char* subKey, CRegKey& out) {
  out.Close();
  std::string path;
  if (!KeyPath(subKey, path)) return ERROR_BADKEY;
  const long rc = WriteHive([&](CHive& hive, bool& changed) {
    if (hive.KeyExists(path)) return ERROR_SUCCESS;
    if (!hive.Complete()) return ERROR_BADDB;
    hive.AddKey(path);
    changed = true;
    return ERROR_SUCCESS;
  });
  if (rc == ERROR_SUCCESS) out.m_Path = path;
  return rc;
}

long CRegKey::QueryValue(const char* name, DWORD* type, void* data, DWORD* size) const {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  const std::string_view valueName = name != nullptr ? name : "";
  return ReadHive([&](const CHive& hive) {
    const CHiveKey* key = hive.FindKey(m_Path);
    const CHiveValue* value = key != nullptr ? CHive::FindValue(*key, valueName) : nullptr;
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = value->type;
    const DWORD needed = static_cast<DWORD>(value->data.size());
    if (data != nullptr && needed > *size) {
      *size = needed;  // the caller learns what it takes; its buffer stays as it was
      return ERROR_MORE_DATA;
    }
    if (data != nullptr && needed > 0) std::memcpy(data, value->data.data(), needed);
    if (size != nullptr) *size = needed;
    return ERROR_SUCCESS;
  });
}

long CRegKey::SetValue(const char* name, DWORD type, const void* data, DWORD size) {
  if (!IsOpen()) return ERROR_INVALID_HANDLE;
  if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
  const std::string_view valueName = name != nullptr ? name : "";
  if (!CHive::ValidValueName(valueName)) return ERROR_INVALID_PARAMETER;
  std::string bytes(static_cast<const char*>(data), size);
  return WriteHive([&](CHive& hive, bool& changed) {
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
  return WriteHive([&](CHive& hive, bool& changed) {
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
  if (CRegTransaction::CState* tx = t_Active) {
    if (tx->status != ERROR_SUCCESS) return tx->status;
    tx->flush = true;  // done by Commit, after the write it must cover
    return ERROR_SUCCESS;
  }
  std::lock_guard<std::mutex> guard(g_Mutex);
  return SyncHive(HivePath());
}

long CRegKey::DeleteKey(const char* subKey) {
  std::string path;
  if (!KeyPath(subKey, path) || path.find('\\') == std::string::npos) return ERROR_BADKEY;
  return WriteHive([&](CHive& hive, bool& changed) {
    if (!hive.KeyExists(path)) return ERROR_FILE_NOT_FOUND;
    if (hive.HasSubKeys(path)) return ERROR_ACCESS_DENIED;  // RegDeleteKeyA leaves parents alone
    if (!hive.Complete()) return ERROR_BADDB;
    hive.RemoveKey(path);
    changed = true;
    return ERROR_SUCCESS;
  });
}
