// smtpin/HandOffQueue.h: acknowledged mails on their way to the fax server.
//
// A session that has synced a mail to its spool file and answered 250 leaves
// the hand-off here and goes on with its client. Two threads do the work in
// arrival order, at a lower processor priority than the sessions (no client
// waits on them): one stages each submission under the submission lock (one
// at a time), the other completes every submission staged meanwhile in one
// batch (CommitSubmissions), then deletes the spool files of those complete.
// A hand-off that fails (a full disk, say) is withdrawn and tried again from
// its spool file later, at growing intervals, for as long as the process runs
// and again at the next start: a mail is never dropped for a passing failure.
// A spool file that cannot be read whole is tried again too, and after
// kMaxReadFailures attempts kept aside as ".err" (logged), never handed off
// in part; one that the path no longer names (its directory replaced) is
// left alone and tried again for as long as it takes.
//
// The queue is bounded: a session reserves a place (Reserve) before it
// answers DATA, and while kMaxHeld mails are held (hand-offs failing, say)
// new mails get 451 and take no spool number; both the start and the end of
// such a time are logged. Mails found at start are taken whatever their number.
//
// Threading: Reserve, Add, AddLater, Stop and WaitIdle from any thread; the
// worker threads start with the first Add and end after Stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/MailLog.h"
#include "platform/File.h"
#include "platform/System.h"
#include "spool/SpoolRecord.h"
#include "spool/SpoolSyncer.h"

class CFileMan;
class CSubmission;

class CHandOffQueue {
 public:
  // At most this many mails are held (waiting, in work, waiting to be tried
  // again, reserved by sessions); a test may make it small.
  static constexpr std::uint32_t kMaxHeld = 1000;
  // A spool file that could not be read whole this often is kept aside.
  static constexpr int kMaxReadFailures = 5;

  // A session's place in the queue, from DATA to the hand-off (or to the
  // refusal of the mail); given back when dropped unused.
  class CSlot {
   public:
    CSlot() = default;
    CSlot(CSlot&& other) noexcept : m_Queue(other.m_Queue) { other.m_Queue = nullptr; }
    CSlot& operator=(CSlot&& other) noexcept;
    CSlot(const CSlot&) = delete;
    CSlot& operator=(const CSlot&) = delete;
    ~CSlot() { Release(); }
    explicit operator bool() const { return m_Queue != nullptr; }
    void Release();

   private:
    friend class CHandOffQueue;
    explicit CSlot(CHandOffQueue* queue) : m_Queue(queue) {}
    CHandOffQueue* m_Queue = nullptr;
  };

  // Sessions wait (at most kAddWaitMs) while this many mails wait to be
  // decoded, so that a burst cannot run far ahead of the decoder.
  static constexpr std::size_t kMaxWaiting = 20;
  static constexpr std::uint32_t kAddWaitMs = 30000;
  // The decoder runs on the staging thread: the same room as a connection thread.
  static constexpr std::size_t kWorkerStackSize = 1024 * 1024;
  // The completing thread lets staged submissions gather while more keep
  // coming (each within kBatchQuietMs of the last), up to kBatchTarget of them
  // or kBatchMaxWaitMs, so that mails arriving one by one share the disk
  // syncs of their completion, which would otherwise delay the syncs that
  // sessions wait for before their 250s.
  static constexpr std::uint32_t kBatchQuietMs = 10;
  static constexpr std::uint32_t kBatchMaxWaitMs = 100;
  static constexpr std::size_t kBatchTarget = 64;
  // A failed hand-off is tried again after 1, 2, 4 ... seconds, at most this often.
  static constexpr std::uint32_t kMaxRetryDelayMs = 60000;
  // The name counters go to disk at most this often (see Decode.h).
  static constexpr std::uint32_t kNamesFlushMs = 1000;

  explicit CHandOffQueue(std::recursive_mutex& submissionLock);
  CHandOffQueue(const CHandOffQueue&) = delete;
  CHandOffQueue& operator=(const CHandOffQueue&) = delete;
  ~CHandOffQueue();  // stops and ends its threads

  // The file manager whose OUT directory the submissions go to; set before the first Add.
  void SetFileMan(CFileMan* fileMan) { m_FileMan = fileMan; }

  // A place for one more mail; empty (logged when that begins) while kMaxHeld
  // mails are held.
  CSlot Reserve();

  // Takes the hand-off of an acknowledged spool file (the file `identity`),
  // in the place `slot` (empty for mails found at start). False when the
  // queue takes no more (the gateway stops) or cannot run: the file then
  // waits for the next start.
  // `mailLog` is the mail's mail-log line, written once it is submitted
  // (null for mails found at start: theirs is made from the spool record).
  bool Add(std::string spoolFile, CSpoolRecord record, CFileIdentity identity, CSlot slot,
           std::shared_ptr<CInboundMailRecord> mailLog = nullptr);
  bool Add(std::string spoolFile, CSpoolRecord record, CFileIdentity identity) {
    return Add(std::move(spoolFile), std::move(record), identity, CSlot());
  }
  // A spool file found at start that could not be judged yet (see
  // SpoolRecovery.h): judged again later, and handed off if it was acknowledged.
  bool AddLater(std::string spoolFile);

  // Takes no more work and waits up to `milliseconds` until nothing is in
  // work or ready to work on; the threads then end at the next job. What is
  // left waits in OUT for the next start. True when nothing was left.
  bool Stop(std::uint32_t milliseconds);

  // Waits up to `milliseconds` until every hand-off taken so far is complete
  // or waiting to be tried again, still taking more. True when that came.
  bool WaitIdle(std::uint32_t milliseconds);

 private:
  using CClock = std::chrono::steady_clock;
  struct CJob {
    std::string spoolFile;
    CSpoolRecord record;
    CFileIdentity identity;
    std::shared_ptr<CInboundMailRecord> mailLog;  // see Add
    bool judged = true;  // false: found at start, not yet known to be acknowledged
    int attempts = 0;
    int readFailures = 0;
    CClock::time_point notBefore{};
  };
  struct CStaged {
    std::unique_ptr<CSubmission> submission;
    CSpoolSyncer::CTicket ticket;  // taken before it was staged
    CJob job;
    CFile spoolHeld;  // the spool file with the right to delete it, from staging to the end
    CStaged();
    CStaged(CStaged&&) noexcept;
    CStaged& operator=(CStaged&&) noexcept;
    ~CStaged();
  };

  static unsigned StageEntry(void* queue);
  static unsigned CompleteEntry(void* queue);
  void StageLoop();
  void CompleteLoop();
  bool StartThreads();                    // m_Mutex held
  bool Idle() const;                      // m_Mutex held
  std::size_t Ready() const;              // m_Mutex held: jobs waiting and due
  std::size_t Pending() const;            // m_Mutex held: jobs due, staged or in work
  std::size_t Held() const;               // m_Mutex held: every mail of the queue
  bool Enqueue(CJob job, bool reserved);  // takes m_Mutex
  void Retry(CJob job);                   // m_Mutex held
  // Staging thread, m_Mutex not held: a found spool file judged now; true
  // when it turned out to be a mail to hand off (job filled), false when it
  // is done with (or tried again later, requeued).
  bool Judge(CJob& job);
  // Staging thread, m_Mutex not held: a spool file that could not be read.
  void ReadFailed(CJob job);
  void Finish(CStaged& staged);                           // the submission is complete
  void FlushNamesNowAndThen();                            // completing thread only
  bool NextReady(CJob& job, CClock::time_point& wakeAt);  // m_Mutex held

  std::recursive_mutex& m_SubmissionLock;
  CFileMan* m_FileMan = nullptr;
  std::mutex m_Mutex;
  std::condition_variable m_Changed;  // any change of the fields below
  std::deque<CJob> m_Waiting;         // taken, not yet being staged (guarded by m_Mutex)
  std::vector<CStaged> m_Staged;      // staged, not yet being completed (guarded by m_Mutex)
  std::vector<CStaged> m_Unsynced;    // complete but their names not yet known on disk
  std::size_t m_InWork = 0;           // jobs a worker holds outside the lists
  std::size_t m_Reserved = 0;         // places reserved by sessions, not yet added
  std::size_t m_MaxHeld;              // kMaxHeld, or a test's limit
  bool m_Full = false;                // sessions are being refused (logged once each way)
  bool m_Closed = false;              // Stop called: no more work taken
  bool m_Ending = false;              // the workers end
  bool m_Started = false;
  bool m_StartFailed = false;
  ThreadHandle m_Threads[2] = {0, 0};
  CClock::time_point m_LastNamesFlush{};  // completing thread only
  bool m_NamesUnwritten = false;          // completing thread only: the last flush failed
};
