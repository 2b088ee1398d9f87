// spool/SpoolSyncer.h: the disk syncs of the spool, shared by every thread
// that needs one at about the same time, and honest about write errors.
//
// A session that is to acknowledge a mail, and a hand-off that is to complete
// a submission, take a ticket (Begin) before they write anything, and later
// call Sync with the ticket and the files they wrote. Sync returns true only
// when a sync that began after the call succeeded and no write error was
// reported on that file system since the ticket was taken: with syncfs the
// kernel reports an error once, to whichever sync asks next, and data lost
// in the write-back before a clean sync stay lost, so any error fails every
// caller that began before it. Calls made while a sync of their lane runs
// are served together by its next one, so with many sessions the disk sees
// about one sync per disk write, not one per caller (on POSIX one journal
// commit, see CVolumeSync).
//
// Each file system has two lanes, one for the sessions and one for the
// hand-off's batches, each with its own groups and its own directory held
// open; the error count is the file system's. A batch's sync writes the data
// of a few dozen submissions and takes milliseconds: a session no longer
// waits for it before its own sync begins. That stays honest because syncfs
// reports an error to every descriptor opened before it (see CVolumeSync),
// so each lane hears every error, and an error heard in either lane fails
// the callers of both that began before it.
//
// Files are synced with the file system they are on: the spool directory's,
// and each further directory's made known with AddDirectory (the fragment
// store), each with its own group syncs and error count. A file on a file
// system made known neither way is synced on its own, file by file.
//
// Thread-safe; the object lives as long as its users.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/File.h"

class CSpoolSyncer {
 public:
  // What a caller saw when it began to write: the error count of every file
  // system known then.
  class CTicket {
   public:
    // The earlier of two tickets, file system by file system (a batch of
    // callers is as old as its oldest).
    static CTicket Earliest(const CTicket& a, const CTicket& b);

   private:
    friend class CSpoolSyncer;
    std::vector<std::uint64_t> m_Errors;  // by file system, in the order made known
  };

  // `directory` (the spool directory) without its final separator; opened
  // now, before anything it is to cover is written (see CVolumeSync).
  explicit CSpoolSyncer(std::string directory);
  CSpoolSyncer(const CSpoolSyncer&) = delete;
  CSpoolSyncer& operator=(const CSpoolSyncer&) = delete;
  virtual ~CSpoolSyncer();

  // Another directory whose files are synced here (opened now, likewise);
  // nothing happens when its file system is known already.
  void AddDirectory(const std::string& directory);

  enum class Lane { kSessions, kHandOff };

  CTicket Begin();
  // True when `files` (of any known file system) and the names of the spool
  // directory are on disk, by a sync that began after this call, and no
  // write error was reported on their file systems since `ticket`; false
  // (last error set) otherwise.
  bool Sync(const CTicket& ticket, const std::vector<std::string>& files, Lane lane = Lane::kSessions);
  const std::string& Directory() const { return m_Directory; }

 protected:
  // One group's sync, without the lock; a test may hold it to see that the
  // other lane goes on meanwhile.
  virtual bool SyncGroup(Lane lane, CVolumeSync& sync, const std::vector<std::string>& files);

 private:
  struct CWaiter;
  struct CLane;
  struct CVolume;

  CVolume* VolumeOf(const std::string& path);  // m_Mutex held; null when it cannot be told
  std::unique_ptr<CVolume> MakeVolume(const std::string& directory, bool openedFirst);
  bool SyncVolume(std::unique_lock<std::mutex>& lock, CVolume& volume, Lane lane, std::uint64_t sampled,
                  std::vector<std::string> files);

  std::string m_Directory;
  std::mutex m_Mutex;
  std::condition_variable m_Done;
  std::vector<std::unique_ptr<CVolume>> m_Volumes;  // guarded by m_Mutex; never removed, [0] the spool's
};
