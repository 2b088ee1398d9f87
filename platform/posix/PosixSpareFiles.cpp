// platform/posix/PosixSpareFiles.cpp: FileRetire and the spares it leaves.
//
// The spares of a directory live in "<directory>/.spare" (mode 0700, ours), a
// name no spool pattern matches. The process knows its spares by name, so an
// adoption costs one rename; spares a previous run left behind are removed
// when the process first retires a file there. Every step that fails falls
// back to what FileDelete and a plain creation would do, so a spare never
// changes the outcome, only the cost.
#include "platform/posix/PosixSpareFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/File.h"
#include "platform/posix/PosixRetry.h"

namespace {

constexpr std::size_t kMaxSparesPerDirectory = 16;
constexpr const char kSpareDirectoryName[] = ".spare";

struct CSparePool {
  bool prepared = false;
  bool usable = false;  // ".spare" exists, is a real directory, ours and private
  std::string newDir;   // where new spares are made: ".spare/new", else ".spare"
  std::vector<std::string> spares;
  std::vector<std::string> filled;  // spares that kept their bytes, for kCreateNewOverwrite
};

std::mutex g_Mutex;
std::unordered_map<std::string, CSparePool> g_Pools;  // by directory, with its trailing '/'
unsigned long g_NextSpare = 0;

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// Removes the files (not the directories) in `dir`.
void RemoveFilesIn(const std::string& dir) {
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* entry = ::readdir(d)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = dir + "/" + name;
      struct stat st;
      if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(path.c_str());
    }
    ::closedir(d);
  }
}

// Makes "<directory>.spare" ready (g_Mutex held): created if missing, checked,
// and emptied of what another run left.
void PreparePool(const std::string& directory, CSparePool& pool) {
  pool.prepared = true;
  const std::string spareDir = directory + kSpareDirectoryName;
  if (::mkdir(spareDir.c_str(), 0700) != 0 && errno != EEXIST) return;
  if (!DirectoryIsPrivate(spareDir)) return;
  RemoveFilesIn(spareDir);
  pool.newDir = spareDir;
  // New files take their inodes near their directory. Marked as a top of a
  // hierarchy, ".spare" has ext4 place its subdirectory "new" in a block group
  // of its own choosing, away from the spool's: there a new inode need not be
  // searched for past the inodes that deletions in and around the spool freed
  // (ext4 without a journal skips every inode freed in the last minute).
  const std::string newDir = spareDir + "/new";
  if (const int fd = OpenRetry(spareDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0); fd >= 0) {
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_TOPDIR_FL) == 0) {
      flags |= FS_TOPDIR_FL;
      ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
  }
  if ((::mkdir(newDir.c_str(), 0700) == 0 || errno == EEXIST) && DirectoryIsPrivate(newDir)) {
    RemoveFilesIn(newDir);
    pool.newDir = newDir;
  }
  pool.usable = true;
}

// A name for a retired file of `directory` (g_Mutex held).
std::string NextSpareName(const std::string& directory) {
  return directory + kSpareDirectoryName + "/" + std::to_string(::getpid()) + "-" +
         std::to_string(++g_NextSpare);
}

// A name for a newly made spare in `pool` (g_Mutex held).
std::string NextNewSpareName(const CSparePool& pool) {
  return pool.newDir + "/" + std::to_string(::getpid()) + "-" + std::to_string(++g_NextSpare);
}

// A file that can be emptied and reused: a regular file of ours with no other
// name, so no other path sees it emptied.
bool IsReusable(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == ::geteuid();
}

// FileRetire and FileRetireForOverwrite: `keepBytes` files go to the filled list.
bool Retire(const std::string& path, bool keepBytes) {
  const std::string directory = DirectoryOf(path);
  std::string spare;
  {
    std::lock_guard<std::mutex> lock(g_Mutex);
    CSparePool& pool = g_Pools[directory];
    if (!pool.prepared) PreparePool(directory, pool);
    const std::size_t held = keepBytes ? pool.filled.size() : pool.spares.size();
    if (pool.usable && held < kMaxSparesPerDirectory) spare = NextSpareName(directory);
  }
  if (spare.empty()) return FileDelete(path);

  const int fd = OpenRetry(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) return FileDelete(path);  // not ours to empty (or gone): an ordinary delete says which
  struct stat opened;
  if (::fstat(fd, &opened) != 0 || !IsReusable(opened) || ::rename(path.c_str(), spare.c_str()) != 0) {
    ::close(fd);
    return FileDelete(path);
  }
  // Something else may have taken the name between the open and the rename:
  // the name is gone either way, as a delete would leave it; only the file we
  // checked becomes a spare.
  struct stat moved;
  const bool same =
      ::lstat(spare.c_str(), &moved) == 0 && moved.st_dev == opened.st_dev && moved.st_ino == opened.st_ino;
  const bool ready = same && (keepBytes || ::ftruncate(fd, 0) == 0);
  ::close(fd);
  if (!ready) {
    ::unlink(spare.c_str());
    return true;
  }
  std::lock_guard<std::mutex> lock(g_Mutex);
  CSparePool& pool = g_Pools[directory];
  (keepBytes ? pool.filled : pool.spares).push_back(std::move(spare));
  return true;
}

}  // namespace

bool FileRetire(const std::string& path) { return Retire(path, false); }

bool FileRetireForOverwrite(const std::string& path) { return Retire(path, true); }

void FileKeepSpares(const std::string& directory, std::size_t count) {
  count = std::min(count, kMaxSparesPerDirectory);
  for (;;) {
    std::string spare;
    {
      std::lock_guard<std::mutex> lock(g_Mutex);
      CSparePool& pool = g_Pools[directory];
      if (!pool.prepared) PreparePool(directory, pool);
      if (!pool.usable || pool.spares.size() >= count) return;
      spare = NextNewSpareName(pool);
    }
    const int fd = OpenRetry(spare.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd < 0) return;
    ::close(fd);
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_Pools[directory].spares.push_back(std::move(spare));
  }
}

bool AdoptSpareFile(const std::string& path, bool filled) {
  const std::string directory = DirectoryOf(path);
  std::string spare;
  {
    std::lock_guard<std::mutex> lock(g_Mutex);
    const auto found = g_Pools.find(directory);
    if (found == g_Pools.end()) return false;
    std::vector<std::string>& list = filled ? found->second.filled : found->second.spares;
    if (list.empty()) return false;
    spare = std::move(list.back());
    list.pop_back();
  }
  const int savedErrno = errno;
  if (::renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
    ::utimensat(AT_FDCWD, path.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);  // a new file's times
    errno = savedErrno;
    return true;
  }
  if (errno == EEXIST) {
    std::lock_guard<std::mutex> lock(g_Mutex);
    CSparePool& pool = g_Pools[directory];
    (filled ? pool.filled : pool.spares).push_back(std::move(spare));
  } else {
    ::unlink(spare.c_str());  // gone or unusable: forget it
  }
  errno = savedErrno;
  return false;
}

int CreateNewFile(const std::string& path, int flags, mode_t mode, bool overwrite) {
  flags &= ~(O_CREAT | O_EXCL);
  if ((overwrite && AdoptSpareFile(path, true)) || AdoptSpareFile(path)) {
    const int fd = OpenRetry(path.c_str(), flags | O_NOFOLLOW, mode);
    if (fd >= 0) return fd;
  }
  return OpenRetry(path.c_str(), flags | O_CREAT | O_EXCL, mode);
}

int OpenOrCreateFile(const std::string& path, int flags, mode_t mode) {
  if ((flags & O_CREAT) == 0) return OpenRetry(path.c_str(), flags, mode);
  constexpr int kMaxCreateRaces = 8;  // the file appeared and went again each time
  int fd = -1;
  for (int attempt = 0; attempt < kMaxCreateRaces; ++attempt) {
    fd = OpenRetry(path.c_str(), flags & ~(O_CREAT | O_EXCL), mode);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = CreateNewFile(path, flags & ~O_TRUNC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return fd;
}
