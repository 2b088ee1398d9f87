// platform/posix/PosixRegistry.cpp: CRegKey over the hive file.
//
// The hive is one .reg file (HiveFormat.h). Readers take a shared flock on
// "<hive>.lock" and reuse the parsed copy of the last load while the lock
// file's change count and the hive file's identity are the same (CLockFile),
// or else while the file's bytes are. Every change runs as a CRegTransaction: exclusive flock,
// re-read, change the copy, write "<hive>.new" and rename it over the hive. So
// a reader sees either the old or the new file, a killed writer leaves the old
// one, and a counter step is never lost. "<hive>.new" is only touched under
// the exclusive lock, so a stale one left by a killed writer is simply
// overwritten. A hive with unreadable lines is reported on standard error once
// per load and never rewritten.
//
// Durability (see Registry.h): a change is not synced; Flush (RegFlushKey)
// syncs. A rename over the hive creates a file and deletes one per change,
// and on some file systems deleting waits for the device; so once a Flush has
// synced both files with the same bytes, the two alternate instead: a change
// of the same length is written in place into "<hive>.new" and exchanged with
// the hive (renameat2 RENAME_EXCHANGE), and the old hive becomes the next
// "<hive>.new". Whatever a power loss then leaves under either name is a whole
// hive (one block, same length, never torn by a length change) at least as new
// as the last Flush. A change of another length, a hive of more than one
// block, or files this process did not sync itself fall back to the rename.
//
// Threads: g_Mutex serialises all registry work of the process and guards
// g_Cache and g_Pair; a transaction holds it for its whole life, and t_Active
// lets the owning thread's calls use the transaction's copy. A Flush outside a
// transaction waits for the disk between two holds of it (see CHiveSync).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/HiveFormat.h"
#include "platform/Registry.h"
#include "platform/posix/PosixErrors.h"
#include "platform/posix/PosixRetry.h"

struct CRegTransaction::CState {
  bool nested = false;  // joined an outer transaction of this thread
  long status = ERROR_SUCCESS;
  std::unique_lock<std::mutex> guard;
  int lockFd = -1;               // "<hive>.lock", held LOCK_EX; g_Lock's, not owned
  std::uint64_t generation = 0;  // its change count when the hive was loaded
  std::string path;              // the hive file
  CHive hive;                    // the working copy
  bool exists = false;           // there was a hive file at the start
  struct stat fileStat = {};     // its status then
  bool dirty = false;            // hive differs from the file
  bool flush = false;            // Flush() was asked for: sync on Commit
};

namespace {
constexpr const char kDefaultHivePath[] = "/etc/cvsmtpgw/hive.reg";
constexpr const char kRootKey[] = "HKEY_LOCAL_MACHINE";
constexpr off_t kMaxHiveBytes = 16 * 1024 * 1024;  // far beyond any real hive; a bigger file is not ours
constexpr std::size_t kMaxReportedText = 200;

// In-place writes stay within one block, which a device writes whole.
constexpr std::size_t kInPlaceLimit = 4096;

struct CHiveCache {
  std::string path;
  std::string text;  // the file's bytes that `hive` was parsed from
  std::shared_ptr<const CHive> hive;
  // The lock file's change count and the hive file's identity when `text` was
  // known to be the file's content (see LoadHive); unknown after a failure.
  bool generationKnown = false;
  std::uint64_t generation = 0;
  struct stat fileStat = {};
};

// Which file a name stands for, as far as this process can tell: a file
// written or renamed by anyone else gets a new change time.
struct CFileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  long long ctimeNs = 0;

  static CFileIdentity Of(const struct stat& st) {
    return {st.st_dev, st.st_ino,
            static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec};
  }
  bool operator==(const CFileIdentity&) const = default;
  bool SameFile(const CFileIdentity& other) const { return dev == other.dev && ino == other.ino; }
};

// The hive file and "<hive>.new" after a Flush of this process synced both with
// the same bytes, followed through this process's in-place changes since (see
// the file comment). Valid only while the two names still stand for these two
// files, untouched by anyone else.
struct CSyncedPair {
  bool valid = false;
  std::string path;
  CFileIdentity hive;   // the file named <hive> now
  CFileIdentity spare;  // the file named <hive>.new now
};

// "<hive>.lock", kept open while the process uses that hive: its flock is the
// hive's lock, and its first 8 bytes count the changes made under that lock.
// A reader that finds the count and the hive file's identity as they were
// when it last read the file uses its parsed copy without reading the file.
// (A hand edit that kept the file's inode, size and change time would go
// unseen; an editor's write changes at least the change time.)
struct CLockFile {
  std::string path;
  int fd = -1;
  bool writable = false;
  dev_t dev = 0;
  ino_t ino = 0;
};

std::mutex g_Mutex;
CLockFile g_Lock;           // guarded by g_Mutex
CHiveCache g_Cache;         // guarded by g_Mutex
CSyncedPair g_Pair;         // guarded by g_Mutex
bool g_NoExchange = false;  // the hive's file system has no RENAME_EXCHANGE; guarded by g_Mutex
thread_local CRegTransaction::CState* t_Active = nullptr;

std::string HivePath() {
  const char* env = std::getenv("CVSMTPGW_HIVE");
  return (env != nullptr && *env != '\0') ? std::string(env) : std::string(kDefaultHivePath);
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

void SetCache(const std::string& path, std::string text, std::shared_ptr<const CHive> hive) {
  g_Cache.path = path;
  g_Cache.text = std::move(text);
  g_Cache.hive = std::move(hive);
  g_Cache.generationKnown = false;
}

// The same file, unchanged since `b` was taken, as far as its status tells.
bool SameFileState(const struct stat& a, const struct stat& b) {
  return CFileIdentity::Of(a) == CFileIdentity::Of(b) && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The descriptor of the lock file `lockPath` (g_Mutex held), opened again when
// that name no longer stands for the file held open. Read-only when it may not
// be written and `needWrite` is false. -1 with errno when it cannot be opened.
int LockFd(const std::string& lockPath, bool needWrite) {
  struct stat st;
  if (g_Lock.fd >= 0 && g_Lock.path == lockPath && (g_Lock.writable || !needWrite) &&
      ::stat(lockPath.c_str(), &st) == 0 && st.st_dev == g_Lock.dev && st.st_ino == g_Lock.ino)
    return g_Lock.fd;
  if (g_Lock.fd >= 0) ::close(g_Lock.fd);
  g_Lock = CLockFile{};
  int fd = OpenRetry(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0644);
  const bool writable = fd >= 0;
  if (fd < 0 && !needWrite) fd = OpenRetry(lockPath.c_str(), O_RDONLY | O_NOFOLLOW, 0);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  g_Lock.path = lockPath;
  g_Lock.fd = fd;
  g_Lock.writable = writable;
  g_Lock.dev = st.st_dev;
  g_Lock.ino = st.st_ino;
  return fd;
}

// The change count in the lock file (0 for a file without one).
std::uint64_t ReadGeneration(int lockFd) {
  std::uint64_t generation = 0;
  if (::pread(lockFd, &generation, sizeof generation, 0) != static_cast<ssize_t>(sizeof generation)) return 0;
  return generation;
}

std::string SparePath(const std::string& path) { return path + ".new"; }

std::string DirectoryOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// Reads all of fd (at most kMaxHiveBytes + 1 bytes). 0 or the errno.
// `size`: the file's size when nobody can change it meanwhile (the lock is
// held), so that a short read at that size is known to be the end; else -1.
int ReadAll(int fd, std::string& text, bool& tooBig, off_t size = -1) {
  text.clear();
  tooBig = false;
  char chunk[16 * 1024];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    text.append(chunk, static_cast<std::size_t>(n));
    at += n;
    if (at == size && static_cast<std::size_t>(n) < sizeof chunk) return 0;
    if (static_cast<off_t>(text.size()) > kMaxHiveBytes) {
      tooBig = true;
      return 0;
    }
  }
}

// Writes all of text to fd at offset 0 and cuts the file to its length. 0 or the errno.
int WriteAll(int fd, const std::string& text, off_t oldSize) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  if (oldSize > static_cast<off_t>(text.size()) && ::ftruncate(fd, static_cast<off_t>(text.size())) != 0)
    return errno;
  return 0;
}

// Gives fd the permissions (and owner, where we may) of the hive.
void MatchHiveMode(int fd, const struct stat& own, const struct stat& hive) {
  if ((own.st_mode & 07777) != (hive.st_mode & 07777)) (void)::fchmod(fd, hive.st_mode & 07777);
  if ((own.st_uid != hive.st_uid || own.st_gid != hive.st_gid) && ::geteuid() == 0)
    (void)::fchown(fd, hive.st_uid, hive.st_gid);
}

// The parsed hive at `path` (g_Mutex held); *hiveStat (when given) gets the
// file's status. ERROR_FILE_NOT_FOUND when there is no hive file. `locked`:
// the caller holds the lock file; without it the file may be rewritten while
// it is read, so it is read until two reads agree.
long LoadHive(const std::string& path, std::shared_ptr<const CHive>& out, struct stat* hiveStat = nullptr,
              bool locked = true, const std::uint64_t* generation = nullptr) {
  out.reset();
  if (locked && generation != nullptr && g_Cache.hive && g_Cache.generationKnown && g_Cache.path == path &&
      g_Cache.generation == *generation) {
    struct stat now;
    if (::stat(path.c_str(), &now) == 0 && SameFileState(now, g_Cache.fileStat)) {
      if (hiveStat != nullptr) *hiveStat = now;
      out = g_Cache.hive;
      return ERROR_SUCCESS;
    }
  }
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
  if (hiveStat != nullptr) *hiveStat = st;
  std::string text;
  bool tooBig = st.st_size > kMaxHiveBytes;
  if (!tooBig) {
    int err = ReadAll(fd, text, tooBig, locked ? st.st_size : -1);
    for (int again = 0; err == 0 && !tooBig && !locked && again < 5; ++again) {
      std::string check;
      err = ReadAll(fd, check, tooBig);
      if (err == 0 && check == text) break;
      text.swap(check);
    }
    if (err != 0) {
      ::close(fd);
      return static_cast<long>(FileErrorCodeNoPath(err));
    }
  }
  ::close(fd);
  // What was read is the file's content for this change count and identity.
  const auto remember = [&] {
    g_Cache.generationKnown = locked && generation != nullptr;
    if (generation != nullptr) g_Cache.generation = *generation;
    g_Cache.fileStat = st;
  };
  if (!tooBig && g_Cache.hive && g_Cache.path == path && g_Cache.text == text) {
    out = g_Cache.hive;
    remember();
    return ERROR_SUCCESS;
  }
  std::vector<CHiveProblem> problems;
  CHive hive;
  if (tooBig) {
    std::fprintf(stderr, "%s: the hive is larger than %lld bytes and was not read\n", path.c_str(),
                 static_cast<long long>(kMaxHiveBytes));
    hive = CHive::Unreadable();
    text.clear();
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
  SetCache(path, std::move(text), shared);
  if (!tooBig) remember();
  out = std::move(shared);
  return ERROR_SUCCESS;
}

// Writes `hive` over the file at `path` (exclusive lock held). `current` is the
// hive file's status as the transaction loaded it, null when there was none.
long StoreHive(const std::string& path, const CHive& hive, const struct stat* current) {
  std::string text = hive.Serialize();
  const std::string temp = SparePath(path);
  // O_NONBLOCK: something other than a file planted there must not hang us.
  const int fd = OpenRetry(temp.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) return static_cast<long>(FileErrorCode(errno, temp));
  struct stat own;
  if (::fstat(fd, &own) != 0 || !S_ISREG(own.st_mode)) {
    ::close(fd);
    return static_cast<long>(FileErrorCode(EISDIR, temp));
  }
  if (current != nullptr) MatchHiveMode(fd, own, *current);
  const bool inPlace = g_Pair.valid && g_Pair.path == path && current != nullptr &&
                       CFileIdentity::Of(*current) == g_Pair.hive && CFileIdentity::Of(own) == g_Pair.spare &&
                       own.st_size == static_cast<off_t>(text.size()) && text.size() <= kInPlaceLimit;
  int err = 0;
  if (inPlace) {
    err = WriteAll(fd, text, own.st_size);
    if (err == 0 && ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) {
      err = errno;
      if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
        // This file system cannot exchange: the plain rename from now on.
        g_NoExchange = true;
        g_Pair.valid = false;
        err = ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
      }
    } else if (err == 0) {
      // Both files have new change times now; the pair follows them.
      struct stat hiveNow, spareNow;
      if (::fstat(fd, &hiveNow) == 0 && ::stat(temp.c_str(), &spareNow) == 0) {
        g_Pair.hive = CFileIdentity::Of(hiveNow);
        g_Pair.spare = CFileIdentity::Of(spareNow);
      } else {
        g_Pair.valid = false;
      }
    }
  } else {
    // A fresh copy renamed over the hive, as any writer may do.
    g_Pair.valid = false;
    if (own.st_size > 0 && ::ftruncate(fd, 0) != 0) err = errno;
    if (err == 0) err = WriteAll(fd, text, 0);
    if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  }
  ::close(fd);
  if (err != 0) {
    g_Pair.valid = false;
    return static_cast<long>(FileErrorCodeNoPath(err));
  }
  SetCache(path, std::move(text), std::make_shared<const CHive>(hive));
  return ERROR_SUCCESS;
}

// A Flush in three steps, so that its waits for the disk hold no lock:
// PrepareSync (exclusive lock held, g_Cache holding the hive's bytes) gives
// "<hive>.new" the same bytes; WaitSync (no lock) syncs both files, and the
// directory unless only these two files were exchanged since the last time;
// PublishSync (g_Mutex held) lets later changes alternate in place when both
// files are still the ones synced. Changes made meanwhile are in place (they
// keep both files whole and at least as new as this Flush) or renames (the
// files are no longer the same, and the pair is not trusted).
struct CHiveSync {
  std::string path;
  int hiveFd = -1;
  int spareFd = -1;  // -1: no copy beside the hive (too big, not readable, ...)
  struct stat hive = {};
  bool syncDirectory = true;
  CFileIdentity hiveAfter, spareAfter;  // as the sync left them

  CHiveSync() = default;
  CHiveSync(const CHiveSync&) = delete;
  CHiveSync& operator=(const CHiveSync&) = delete;
  ~CHiveSync() {
    if (hiveFd >= 0) ::close(hiveFd);
    if (spareFd >= 0) ::close(spareFd);
  }
};

long PrepareSync(const std::string& path, CHiveSync& sync) {
  sync.path = path;
  sync.hiveFd = OpenRetry(path.c_str(), O_RDONLY, 0);
  if (sync.hiveFd < 0) return static_cast<long>(FileErrorCode(errno, path));
  if (::fstat(sync.hiveFd, &sync.hive) != 0) return static_cast<long>(FileErrorCodeNoPath(errno));
  const std::string& text = g_Cache.text;
  const bool sparable = !g_NoExchange && g_Cache.hive && g_Cache.path == path && g_Cache.hive->Complete() &&
                        static_cast<off_t>(text.size()) == sync.hive.st_size && text.size() <= kInPlaceLimit;
  if (!sparable) return ERROR_SUCCESS;
  const std::string temp = SparePath(path);
  const int sfd =
      OpenRetry(temp.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, sync.hive.st_mode & 0777);
  if (sfd < 0) return ERROR_SUCCESS;
  struct stat spare;
  if (::fstat(sfd, &spare) == 0 && S_ISREG(spare.st_mode) && spare.st_dev == sync.hive.st_dev) {
    MatchHiveMode(sfd, spare, sync.hive);
    const bool written = WriteAll(sfd, text, spare.st_size) == 0 && ::fstat(sfd, &spare) == 0;
    if (written) {
      sync.spareFd = sfd;
      // Our own write: a pair that follows this file follows it on.
      if (g_Pair.valid && g_Pair.spare.SameFile(CFileIdentity::Of(spare)))
        g_Pair.spare = CFileIdentity::Of(spare);
      // Only an exchange of these two files since the directory was last synced
      // leaves nothing in it to sync: each of them holds this hive after the sync.
      sync.syncDirectory = !(g_Pair.valid && g_Pair.path == path &&
                             ((g_Pair.hive.SameFile(CFileIdentity::Of(sync.hive)) &&
                               g_Pair.spare.SameFile(CFileIdentity::Of(spare))) ||
                              (g_Pair.hive.SameFile(CFileIdentity::Of(spare)) &&
                               g_Pair.spare.SameFile(CFileIdentity::Of(sync.hive)))));
      return ERROR_SUCCESS;
    }
  }
  ::close(sfd);
  return ERROR_SUCCESS;
}

long WaitSync(CHiveSync& sync) {
  int err = ::fsync(sync.hiveFd) == 0 ? 0 : errno;
  if (err == 0 && sync.spareFd >= 0 && ::fsync(sync.spareFd) != 0) err = errno;
  if (err == 0 && sync.syncDirectory) {
    const int dfd = OpenRetry(DirectoryOf(sync.path).c_str(), O_RDONLY | O_DIRECTORY, 0);
    if (dfd >= 0) {
      if (::fsync(dfd) != 0) err = errno;
      ::close(dfd);
    }
  }
  struct stat st;
  if (err == 0 && ::fstat(sync.hiveFd, &st) == 0) sync.hiveAfter = CFileIdentity::Of(st);
  if (err == 0 && sync.spareFd >= 0 && ::fstat(sync.spareFd, &st) == 0)
    sync.spareAfter = CFileIdentity::Of(st);
  return err == 0 ? ERROR_SUCCESS : static_cast<long>(FileErrorCodeNoPath(err));
}

void PublishSync(const CHiveSync& sync, long waited) {
  if (waited != ERROR_SUCCESS) g_Pair.valid = false;
  if (waited != ERROR_SUCCESS || sync.spareFd < 0) return;
  struct stat hive, spare;
  if (::stat(sync.path.c_str(), &hive) != 0 || ::stat(SparePath(sync.path).c_str(), &spare) != 0) {
    g_Pair.valid = false;
    return;
  }
  const CFileIdentity h = CFileIdentity::Of(hive), sp = CFileIdentity::Of(spare);
  // A pair this process followed through its own changes since the sync stays
  // as it is: the sync only raised what both files hold on disk.
  if (g_Pair.valid && g_Pair.path == sync.path && g_Pair.hive == h && g_Pair.spare == sp) return;
  // Otherwise the names must still stand for the two files as synced.
  g_Pair.valid =
      (h == sync.hiveAfter && sp == sync.spareAfter) || (h == sync.spareAfter && sp == sync.hiveAfter);
  g_Pair.path = sync.path;
  g_Pair.hive = h;
  g_Pair.spare = sp;
}

// All three steps under the lock the caller holds.
long SyncHive(const std::string& path) {
  CHiveSync sync;
  const long rc = PrepareSync(path, sync);
  if (rc != ERROR_SUCCESS) {
    g_Pair.valid = false;
    return rc;
  }
  const long waited = WaitSync(sync);
  PublishSync(sync, waited);
  return waited;
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
  // A reader that may not open the lock file still reads, until two reads of
  // the file agree.
  const int lockFd = LockFd(lockPath, false);
  const bool locked = lockFd >= 0 && FlockRetry(lockFd, LOCK_SH) == 0;
  const std::uint64_t generation = locked ? ReadGeneration(lockFd) : 0;
  std::shared_ptr<const CHive> hive;
  const long rc = LoadHive(path, hive, nullptr, locked, locked ? &generation : nullptr);
  if (locked) FlockRetry(lockFd, LOCK_UN);
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
  const int lockFd = LockFd(lockPath, true);
  if (lockFd < 0) {
    st.status = static_cast<long>(FileErrorCode(errno, lockPath));
    return;
  }
  if (FlockRetry(lockFd, LOCK_EX) != 0) {
    st.status = static_cast<long>(FileErrorCodeNoPath(errno));
    return;
  }
  st.lockFd = lockFd;
  st.generation = ReadGeneration(lockFd);
  std::shared_ptr<const CHive> hive;
  const long rc = LoadHive(st.path, hive, &st.fileStat, true, &st.generation);
  st.exists = rc == ERROR_SUCCESS;
  if (rc == ERROR_SUCCESS)
    st.hive = *hive;
  else if (rc != ERROR_FILE_NOT_FOUND)
    st.status = rc;  // a missing hive starts empty
}

CRegTransaction::~CRegTransaction() {
  if (m_State->nested) return;
  t_Active = nullptr;
  if (m_State->lockFd >= 0) FlockRetry(m_State->lockFd, LOCK_UN);
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
    const long rc = StoreHive(st.path, st.hive, st.exists ? &st.fileStat : nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    st.dirty = false;
    // Later changes in this transaction replace what was just written.
    struct stat now;
    st.exists = ::stat(st.path.c_str(), &now) == 0;
    if (st.exists) st.fileStat = now;
    // Other readers learn from the count that their copies are old. Without
    // it they still see the hive file's new identity.
    const std::uint64_t next = st.generation + 1;
    if (st.exists && ::pwrite(st.lockFd, &next, sizeof next, 0) == static_cast<ssize_t>(sizeof next)) {
      st.generation = next;
      g_Cache.generationKnown = true;
      g_Cache.generation = next;
      g_Cache.fileStat = now;
    }
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
  // Pending changes of other threads cannot exist outside a transaction: each
  // change is written before its call returns. So the hive is read and its copy
  // written under the lock, and the waits for the disk hold no lock at all.
  CHiveSync sync;
  {
    CRegTransaction own;
    if (own.Status() != ERROR_SUCCESS) return own.Status();
    // Until a Flush has made the two files a synced pair, every change renames
    // a fresh file over the hive, and a change while this Flush waits would
    // leave the pair unproven again, so that under steady load it never would
    // be. That first Flush therefore waits for the disk under the lock.
    if (!g_Pair.valid || g_Pair.path != t_Active->path) return SyncHive(t_Active->path);
    const long rc = PrepareSync(t_Active->path, sync);
    if (rc != ERROR_SUCCESS) {
      g_Pair.valid = false;
      return rc;
    }
  }
  const long waited = WaitSync(sync);
  std::lock_guard<std::mutex> guard(g_Mutex);
  PublishSync(sync, waited);
  return waited;
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
