// platform/posix/PosixDurability.cpp: the durability record and the power cut
// of the test build (see PosixDurability.h), and the kill of a crash point.
//
// Threading: the record is made once (std::call_once, at the first guarded
// operation) and never destroyed; its mutex guards all of it. Reading files
// and directories here uses plain system calls, never the guarded ones.
#include "platform/posix/PosixDurability.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "platform/FaultInjection.h"

namespace {

struct CRecordedFile {
  std::string durable;  // the data a power cut leaves
  bool lost = false;    // a failed sync dropped data: nothing more becomes durable until emptied
};

struct CRecord {
  std::recursive_mutex mutex;
  std::vector<std::string> roots;  // absolute, no trailing '/'
  std::map<std::uint64_t, CRecordedFile> files;
  std::map<std::pair<dev_t, ino_t>, std::uint64_t> live;                // the files that exist now
  std::map<std::string, std::vector<CDurabilityCapture::CName>> names;  // durable names by directory
  std::uint64_t next = 1;
};

std::atomic<CRecord*> g_Record{nullptr};
std::once_flag g_Armed;

bool Covered(const CRecord& r, const std::string& path) {
  for (const std::string& root : r.roots) {
    if (path == root ||
        (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/'))
      return true;
  }
  return false;
}

std::uint64_t FileNumber(CRecord& r, const struct stat& st) {
  auto [it, made] = r.live.emplace(std::make_pair(st.st_dev, st.st_ino), 0);
  if (made) {
    it->second = r.next++;
    r.files[it->second];  // never synced: nothing of it is durable
  }
  return it->second;
}

bool ReadDescriptor(int fd, std::string& data) {
  data.clear();
  char buffer[64 * 1024];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    data.append(buffer, static_cast<std::size_t>(n));
    at += n;
  }
}

bool ReadPath(const std::string& path, std::string& data) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool ok = ReadDescriptor(fd, data);
  ::close(fd);
  return ok;
}

std::vector<std::pair<std::string, struct stat>> List(const std::string& dir) {
  std::vector<std::pair<std::string, struct stat>> entries;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return entries;
  while (const struct dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (::lstat((dir + "/" + e->d_name).c_str(), &st) == 0) entries.emplace_back(e->d_name, st);
  }
  ::closedir(d);
  return entries;
}

void CaptureDirectory(CRecord& r, const std::string& dir, bool deep, CDurabilityCapture& capture) {
  CDurabilityCapture::CDirectoryNames names{dir, {}};
  for (const auto& [name, st] : List(dir)) {
    const std::string path = dir + "/" + name;
    if (S_ISDIR(st.st_mode)) {
      names.names.push_back({name, 0});
      if (deep) CaptureDirectory(r, path, deep, capture);
    } else if (S_ISREG(st.st_mode)) {
      const std::uint64_t file = FileNumber(r, st);
      names.names.push_back({name, file});
      std::string data;
      if (deep && ReadPath(path, data)) capture.files.push_back({file, std::move(data)});
    }
  }
  capture.directories.push_back(std::move(names));
}

void Apply(CRecord& r, const CDurabilityCapture& capture) {
  for (const auto& f : capture.files) {
    CRecordedFile& file = r.files[f.file];
    if (!file.lost) file.durable = f.data;
  }
  for (const auto& d : capture.directories) r.names[d.path] = d.names;
}

void Arm() {
  if (!FaultEnvironmentHonoured()) return;
  const char* text = std::getenv("CVSMTPGW_POWER_CUT_DIRS");
  if (text == nullptr || *text == '\0') return;
  auto* r = new CRecord;  // never destroyed: threads may use it while the process ends
  for (std::string rest = text; !rest.empty();) {
    const std::size_t colon = rest.find(':');
    std::string root = rest.substr(0, colon);
    rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (!root.empty() && root[0] == '/') r->roots.push_back(root);
  }
  // What is there now counts as durable: the test synced it before the start.
  CDurabilityCapture start;
  for (const std::string& root : r->roots) CaptureDirectory(*r, root, true, start);
  Apply(*r, start);
  g_Record.store(r, std::memory_order_release);
}

CRecord* Record() {
  std::call_once(g_Armed, Arm);
  return g_Record.load(std::memory_order_acquire);
}

void RemoveTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    for (const auto& entry : List(path)) RemoveTree(path + "/" + entry.first);
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

// Puts `dir` back to its durable names; the files' names are gathered in
// `paths`, to be written afterwards.
void RestoreDirectory(CRecord& r, const std::string& dir,
                      std::map<std::uint64_t, std::vector<std::string>>& paths) {
  const auto found = r.names.find(dir);
  const std::vector<CDurabilityCapture::CName> none;
  const std::vector<CDurabilityCapture::CName>& durable = found == r.names.end() ? none : found->second;
  for (const auto& [name, st] : List(dir)) {
    bool keepDirectory = false;
    for (const auto& n : durable) {
      if (n.name == name && n.file == 0 && S_ISDIR(st.st_mode)) keepDirectory = true;
    }
    // Files are all made again, so that names of one file are one file again.
    if (!keepDirectory) RemoveTree(dir + "/" + name);
  }
  for (const auto& n : durable) {
    const std::string path = dir + "/" + n.name;
    if (n.file != 0) {
      paths[n.file].push_back(path);
      continue;
    }
    ::mkdir(path.c_str(), 0700);
    RestoreDirectory(r, path, paths);
  }
}

void WriteFresh(const std::string& path, const std::string& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return;
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace

CDurabilityGuard::CDurabilityGuard() : m_Held(false) {
  if (CRecord* r = Record()) {
    r->mutex.lock();
    m_Held = true;
  }
}

CDurabilityGuard::~CDurabilityGuard() {
  if (m_Held) g_Record.load(std::memory_order_acquire)->mutex.unlock();
}

CDurabilityCapture CDurabilityCapture::OfPath(const std::string& path) {
  CDurabilityCapture capture;
  CRecord* r = Record();
  if (r == nullptr || !Covered(*r, path)) return capture;
  std::lock_guard<std::recursive_mutex> lock(r->mutex);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return capture;
  if (S_ISDIR(st.st_mode)) {
    CaptureDirectory(*r, path, false, capture);
  } else if (S_ISREG(st.st_mode)) {
    std::string data;
    if (ReadPath(path, data)) capture.files.push_back({FileNumber(*r, st), std::move(data)});
  }
  return capture;
}

CDurabilityCapture CDurabilityCapture::OfDescriptor(int fd) {
  CDurabilityCapture capture;
  CRecord* r = Record();
  if (r == nullptr) return capture;
  std::lock_guard<std::recursive_mutex> lock(r->mutex);
  char link[64], target[PATH_MAX];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = ::readlink(link, target, sizeof target - 1);
  struct stat st;
  if (length <= 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return capture;
  if (!Covered(*r, std::string(target, static_cast<std::size_t>(length)))) return capture;
  std::string data;
  if (ReadDescriptor(fd, data)) capture.files.push_back({FileNumber(*r, st), std::move(data)});
  return capture;
}

CDurabilityCapture CDurabilityCapture::OfVolume(const std::string& directory) {
  CDurabilityCapture capture;
  CRecord* r = Record();
  struct stat volume;
  if (r == nullptr || ::stat(directory.empty() ? "." : directory.c_str(), &volume) != 0) return capture;
  std::lock_guard<std::recursive_mutex> lock(r->mutex);
  for (const std::string& root : r->roots) {
    struct stat st;
    if (::stat(root.c_str(), &st) == 0 && st.st_dev == volume.st_dev)
      CaptureDirectory(*r, root, true, capture);
  }
  return capture;
}

void CDurabilityCapture::Commit() const {
  CRecord* r = Record();
  if (r == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(r->mutex);
  Apply(*r, *this);
}

void CDurabilityCapture::Lose() const {
  CRecord* r = Record();
  if (r == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(r->mutex);
  for (const auto& f : files) {
    CRecordedFile& file = r->files[f.file];
    if (f.data != file.durable) file.lost = true;
  }
}

std::uint64_t DurabilityLastName(const std::string& path) {
  CRecord* r = Record();
  if (r == nullptr) return 0;
  std::lock_guard<std::recursive_mutex> lock(r->mutex);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return 0;
  const auto it = r->live.find({st.st_dev, st.st_ino});
  return it == r->live.end() ? 0 : it->second;
}

void DurabilityNameGone(std::uint64_t token) {
  CRecord* r = Record();
  if (r == nullptr || token == 0) return;
  std::lock_guard<std::recursive_mutex> lock(r->mutex);
  std::erase_if(r->live, [token](const auto& entry) { return entry.second == token; });
}

void DurabilityTruncated(int fd) {
  CRecord* r = Record();
  struct stat st;
  if (r == nullptr || ::fstat(fd, &st) != 0) return;
  std::lock_guard<std::recursive_mutex> lock(r->mutex);
  const auto it = r->live.find({st.st_dev, st.st_ino});
  if (it != r->live.end()) r->files[it->second].lost = false;
}

void KillProcessNow() {
  ::kill(::getpid(), SIGKILL);
  for (;;) ::pause();
}

void PowerCutNow() {
  if (CRecord* r = Record()) {
    r->mutex.lock();  // never given back: nothing else touches the disk any more
    std::map<std::uint64_t, std::vector<std::string>> paths;
    for (const std::string& root : r->roots) RestoreDirectory(*r, root, paths);
    for (const auto& [file, names] : paths) {
      WriteFresh(names.front(), r->files[file].durable);
      for (std::size_t k = 1; k < names.size(); ++k) ::link(names.front().c_str(), names[k].c_str());
    }
  }
  KillProcessNow();
}
