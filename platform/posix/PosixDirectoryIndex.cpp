// platform/posix/PosixDirectoryIndex.cpp: CountMatchingEntries from names kept
// current with inotify.
//
// Reading a directory of thousands of files for every question about a few
// names costs more than everything else a hand-off does. So the first question
// about a directory watches it (create, delete, both halves of a rename, and
// the directory itself going away) and reads it once; later questions apply the
// queued events and look the names up. The kernel queues an event before the
// call that caused it returns, so after draining the queue the names are those
// a fresh read would give, whoever changed the directory. A lost event (queue
// overflow), a directory that went away or was replaced, or no inotify at all
// make the next question read the directory again (or every time).
//
// Threads: one mutex guards the inotify descriptor and every index. The state
// is never destroyed (no static destructor can run under another thread).
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/Text.h"
#include "base/Wildcard.h"
#include "platform/File.h"

namespace {

constexpr std::size_t kMaxWatchedDirectories = 16;
constexpr long kNoWatch = -1;  // Rebuild: the directory cannot be watched
constexpr int kMaxRebuilds = 3;
constexpr std::uint32_t kWatchMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::string Folded(std::string_view name) {
  std::string out(name);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

struct CDirectoryIndex {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  int wd = -1;
  bool current = false;               // names match the directory
  std::set<std::string> names;        // exact names
  std::multiset<std::string> folded;  // the same names in lower case

  void Add(const std::string& name) {
    if (names.insert(name).second) folded.insert(Folded(name));
  }
  void Remove(const std::string& name) {
    if (names.erase(name) == 0) return;
    const auto it = folded.find(Folded(name));
    if (it != folded.end()) folded.erase(it);
  }
  void Clear() {
    names.clear();
    folded.clear();
    current = false;
  }
};

struct CIndexes {
  std::mutex mutex;
  int fd = -2;  // the inotify descriptor; -2 not opened yet, -1 none to be had
  std::vector<std::unique_ptr<CDirectoryIndex>> directories;

  CDirectoryIndex* ByWatch(int wd) {
    for (auto& d : directories) {
      if (d->wd == wd) return d.get();
    }
    return nullptr;
  }

  // Applies every queued event. False when the descriptor failed.
  bool Drain() {
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
      if (n == 0) return false;
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if ((event->mask & IN_Q_OVERFLOW) != 0) {
          for (auto& d : directories) d->Clear();
          continue;
        }
        CDirectoryIndex* d = ByWatch(event->wd);
        if (d == nullptr) continue;
        if ((event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0) {
          if ((event->mask & IN_IGNORED) != 0) d->wd = -1;
          d->Clear();
          continue;
        }
        if (event->len == 0) continue;
        const std::string name(event->name, ::strnlen(event->name, event->len));
        if ((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0) d->Add(name);
        if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) d->Remove(name);
      }
    }
  }

  // Drain; when the descriptor fails, no event can be trusted any more: every
  // question reads the directory from then on. False then.
  bool DrainOrGiveUp() {
    if (Drain()) return true;
    ::close(fd);
    fd = -1;
    directories.clear();
    return false;
  }

  // Watches and reads the directory again. ERROR_SUCCESS, kNoWatch, or FindFiles' code.
  long Rebuild(CDirectoryIndex& d) {
    d.Clear();
    const int wd = ::inotify_add_watch(fd, d.path.c_str(), kWatchMask);
    if (wd < 0) return kNoWatch;
    d.wd = wd;
    std::vector<std::string> all;
    const long rc = FindFiles(d.path, "*", all);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
    for (const std::string& name : all) d.Add(name);
    // The watch and the reading must be of this very directory.
    struct stat now;
    d.current = ::stat(d.path.c_str(), &now) == 0 && now.st_dev == d.dev && now.st_ino == d.ino;
    return ERROR_SUCCESS;  // events queued while reading are applied next
  }
};

CIndexes& Indexes() {
  static CIndexes* indexes = new CIndexes;  // never destroyed, see above
  return *indexes;
}

long CountByReading(const std::string& directory, const char* pattern, std::size_t limit,
                    std::size_t& count) {
  std::vector<std::string> names;
  const long rc = FindFiles(directory, pattern, names);
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return rc;
  count = names.size() < limit ? names.size() : limit;
  return ERROR_SUCCESS;
}

}  // namespace

long CountMatchingEntries(const std::string& directory, const char* pattern, std::size_t limit,
                          std::size_t& count) {
  count = 0;
  if (pattern == nullptr) {
    PlatformSetLastError(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  const std::string path = directory.empty() ? "." : directory;
  CIndexes& indexes = Indexes();
  std::lock_guard<std::mutex> lock(indexes.mutex);
  if (indexes.fd == -2) {
    indexes.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (indexes.fd < 0) indexes.fd = -1;
  }
  struct stat st;
  if (indexes.fd < 0 || ::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return CountByReading(path, pattern, limit, count);
  if (!indexes.DrainOrGiveUp()) return CountByReading(path, pattern, limit, count);
  // Directories that went away are forgotten.
  std::erase_if(indexes.directories, [](const auto& known) { return known->wd < 0 && !known->current; });

  // Known by what the path names now, so two spellings share one index and a
  // directory put in the place of another gets its own.
  CDirectoryIndex* d = nullptr;
  for (auto& known : indexes.directories) {
    if (known->dev == st.st_dev && known->ino == st.st_ino) d = known.get();
  }
  if (d == nullptr) {
    if (indexes.directories.size() >= kMaxWatchedDirectories)
      return CountByReading(path, pattern, limit, count);
    indexes.directories.push_back(std::make_unique<CDirectoryIndex>());
    d = indexes.directories.back().get();
    d->dev = st.st_dev;
    d->ino = st.st_ino;
  }
  d->path = path;
  for (int rebuilds = 0;; ++rebuilds) {
    if (rebuilds > 0 && !indexes.DrainOrGiveUp()) return CountByReading(path, pattern, limit, count);
    if (d->current && d->wd >= 0) break;
    if (rebuilds == kMaxRebuilds) return CountByReading(path, pattern, limit, count);
    const long rc = indexes.Rebuild(*d);
    if (rc == kNoWatch) return CountByReading(path, pattern, limit, count);
    if (rc != ERROR_SUCCESS) return rc;
  }

  // Every name the pattern can match starts with its letters before the first
  // wildcard (less a dot there: "x.*" matches "x" too); only those are tried.
  std::string prefix = Folded(std::string_view(pattern, std::strcspn(pattern, "*?")));
  if (!prefix.empty() && prefix.back() == '.') prefix.pop_back();
  for (auto it = d->folded.lower_bound(prefix); it != d->folded.end() && count < limit; ++it) {
    if (it->compare(0, prefix.size(), prefix) != 0) break;
    if (WildcardMatch(pattern, it->c_str())) ++count;
  }
  PlatformSetLastError(ERROR_SUCCESS);
  return ERROR_SUCCESS;
}
