// spool/SpoolSyncer.cpp: group syncs per file system, with error counts.
//
// Threading: m_Mutex guards the volumes' counts, flags and waiting lists; a
// group's sync runs without it, on the thread of one of its callers, one
// group per lane of a file system at a time.
#include "spool/SpoolSyncer.h"

#include <algorithm>

struct CSpoolSyncer::CWaiter {
  std::vector<std::string> files;
  std::uint64_t sampled = 0;  // the volume's error count when the caller began
  bool done = false;
  bool ok = false;
};

struct CSpoolSyncer::CLane {
  std::unique_ptr<CVolumeSync> sync;  // its own descriptor: told of every error
  bool running = false;
  std::vector<CWaiter*> pending;  // callers for the next group
};

struct CSpoolSyncer::CVolume {
  CFileIdentity identity;  // of the directory opened; its volume says which file system
  CLane lanes[2];          // by Lane
  std::uint64_t errors = 0;  // syncs that failed, in either lane
  DWORD lastError = 0;
};

namespace {

std::string ParentOf(const std::string& path) {
  const std::size_t sep = path.find_last_of("/\\");
  return sep == std::string::npos ? std::string() : path.substr(0, sep);
}

}  // namespace

CSpoolSyncer::CTicket CSpoolSyncer::CTicket::Earliest(const CTicket& a, const CTicket& b) {
  CTicket out;
  const std::size_t size = std::max(a.m_Errors.size(), b.m_Errors.size());
  // A file system unknown to one of them counts all its errors: 0.
  for (std::size_t k = 0; k < size; ++k) {
    const std::uint64_t x = k < a.m_Errors.size() ? a.m_Errors[k] : 0;
    const std::uint64_t y = k < b.m_Errors.size() ? b.m_Errors[k] : 0;
    out.m_Errors.push_back(std::min(x, y));
  }
  return out;
}

CSpoolSyncer::CSpoolSyncer(std::string directory) : m_Directory(std::move(directory)) {
  m_Volumes.push_back(MakeVolume(m_Directory, true));
  FileIdentityByName(m_Directory.empty() ? "." : m_Directory, m_Volumes.front()->identity);
}

std::unique_ptr<CSpoolSyncer::CVolume> CSpoolSyncer::MakeVolume(const std::string& directory, bool openedFirst) {
  auto volume = std::make_unique<CVolume>();
  for (CLane& lane : volume->lanes) lane.sync = std::make_unique<CVolumeSync>(directory, openedFirst);
  return volume;
}

CSpoolSyncer::~CSpoolSyncer() = default;

void CSpoolSyncer::AddDirectory(const std::string& directory) {
  CFileIdentity identity;
  if (!FileIdentityByName(directory, identity)) return;
  std::lock_guard<std::mutex> lock(m_Mutex);
  for (const auto& v : m_Volumes) {
    if (v->identity.known && v->identity.volume == identity.volume) return;
  }
  auto volume = MakeVolume(directory, true);
  volume->identity = identity;
  m_Volumes.push_back(std::move(volume));
}

CSpoolSyncer::CTicket CSpoolSyncer::Begin() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  CTicket ticket;
  for (const auto& v : m_Volumes) ticket.m_Errors.push_back(v->errors);
  return ticket;
}

CSpoolSyncer::CVolume* CSpoolSyncer::VolumeOf(const std::string& path) {
  // The spool's own files, told by their name: no look-up per file.
  if (path.size() > m_Directory.size() + 1 && path.compare(0, m_Directory.size(), m_Directory) == 0 &&
      (path[m_Directory.size()] == '/' || path[m_Directory.size()] == '\\') &&
      path.find_first_of("/\\", m_Directory.size() + 1) == std::string::npos)
    return m_Volumes.front().get();
  CFileIdentity identity;
  if (!FileIdentityByName(path, identity)) return nullptr;
  for (const auto& v : m_Volumes) {
    if (v->identity.known && v->identity.volume == identity.volume) return v.get();
  }
  // A file system nobody made known: opened only now, after the writes, so
  // its syncs go file by file.
  const std::string directory = ParentOf(path);
  auto volume = MakeVolume(directory, false);
  FileIdentityByName(directory.empty() ? "." : directory, volume->identity);
  volume->identity.volume = identity.volume;
  m_Volumes.push_back(std::move(volume));
  return m_Volumes.back().get();
}

bool CSpoolSyncer::Sync(const CTicket& ticket, const std::vector<std::string>& files, Lane lane) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  std::vector<std::pair<std::size_t, std::vector<std::string>>> groups{{0, {}}};  // the spool's names always
  for (const std::string& file : files) {
    CVolume* volume = VolumeOf(file);
    if (volume == nullptr) return false;  // not there to be synced: last error set
    std::size_t index = 0;
    while (m_Volumes[index].get() != volume) ++index;
    auto group = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == index; });
    if (group == groups.end()) group = groups.insert(groups.end(), {index, {}});
    group->second.push_back(file);
  }
  for (auto& [index, own] : groups) {
    const std::uint64_t sampled = index < ticket.m_Errors.size() ? ticket.m_Errors[index] : 0;
    if (!SyncVolume(lock, *m_Volumes[index], lane, sampled, std::move(own))) return false;
  }
  return true;
}

bool CSpoolSyncer::SyncGroup(Lane, CVolumeSync& sync, const std::vector<std::string>& files) {
  return sync.Sync(files);
}

bool CSpoolSyncer::SyncVolume(std::unique_lock<std::mutex>& lock, CVolume& volume, Lane laneName,
                              std::uint64_t sampled, std::vector<std::string> files) {
  CLane& lane = volume.lanes[laneName == Lane::kSessions ? 0 : 1];
  CWaiter me;
  me.files = std::move(files);
  me.sampled = sampled;
  lane.pending.push_back(&me);
  while (!me.done) {
    if (lane.running) {
      m_Done.wait(lock);
      continue;
    }
    // This thread syncs for every caller of the lane waiting now: each came
    // before this sync begins, and their files are all in the group.
    lane.running = true;
    std::vector<CWaiter*> group = std::move(lane.pending);
    lane.pending.clear();
    std::vector<std::string> batch;
    for (const CWaiter* w : group) batch.insert(batch.end(), w->files.begin(), w->files.end());
    lock.unlock();
    const bool ok = SyncGroup(laneName, *lane.sync, batch);
    const DWORD error = ok ? 0 : PlatformGetLastError();
    lock.lock();
    lane.running = false;
    if (!ok) {
      ++volume.errors;
      volume.lastError = error;
    }
    // A clean sync vouches only for callers who began after the last error:
    // an error may have been reported to another group, for their pages. One
    // that the other lane hears only after this group is answered was not
    // this group's: this sync waited for every page its callers wrote, so
    // their errors were there to be heard by its own descriptor.
    for (CWaiter* w : group) {
      w->done = true;
      w->ok = ok && volume.errors == w->sampled;
    }
    m_Done.notify_all();
  }
  if (!me.ok) PlatformSetLastError(volume.lastError != 0 ? volume.lastError : ERROR_WRITE_FAULT);
  return me.ok;
}
