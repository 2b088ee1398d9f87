// smtpin/HandOffQueue.h: received mails on their way to the fax server.
//
// A session that has synced a mail to its spool file and answered 250 leaves
// the hand-off here and goes on with its client, so the client is not kept
// waiting while the mail is decoded and its submission put on disk. Two
// threads of the queue do the work in arrival order: one prepares each
// submission under the submission lock (one at a time, as for sessions), the
// other puts every submission prepared meanwhile on disk in one batch and
// gives it its .tmp name; then the spool file is deleted, or kept under an
// error name when its hand-off failed (FinishSpoolFile). A session waits
// while kMaxWaiting mails wait here, so a burst cannot outrun the disk.
//
// Threading: Add and Drain from any thread; the worker threads start with the
// first Add and end in the destructor.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/System.h"
#include "smtpin/Decode.h"
#include "smtpin/RecipientList.h"

class CHandOffQueue {
 public:
  static constexpr std::size_t kMaxWaiting = 20;
  // The decoder runs on the preparing thread: the same room as a connection thread.
  static constexpr std::size_t kWorkerStackSize = 1024 * 1024;
  // The completing thread waits up to kBatchWaitUs for kBatchTarget prepared
  // submissions before it puts them on disk together.
  static constexpr unsigned kBatchWaitUs = 1000;
  static constexpr std::size_t kBatchTarget = 4;
  // Empty files kept ready in OUT for the submissions to come (FileKeepSpares).
  static constexpr std::size_t kSparesKept = 16;

  explicit CHandOffQueue(std::recursive_mutex& submissionLock);
  CHandOffQueue(const CHandOffQueue&) = delete;
  CHandOffQueue& operator=(const CHandOffQueue&) = delete;
  ~CHandOffQueue();  // finishes what it holds, then ends its threads

  // Takes the hand-off of a received spool file. False when the queue is
  // drained or its threads cannot run: the caller then hands off itself.
  bool Add(const CRecipientList& recipients, const std::string& spoolFile);

  // Takes no more work and waits up to `milliseconds` (kWaitForever: no limit)
  // until every mail it took is handed off. True when none is left.
  bool Drain(std::uint32_t milliseconds);

  // Waits up to `milliseconds` (kWaitForever: no limit) until every mail
  // taken so far is handed off, still taking more. True when none is left.
  bool WaitIdle(std::uint32_t milliseconds);

 private:
  struct CJob {
    CRecipientList recipients;
    std::string spoolFile;
  };
  struct CPrepared {
    CPreparedSubmission submission;
    std::string spoolFile;
  };

  static unsigned PrepareEntry(void* queue);
  static unsigned CompleteEntry(void* queue);
  void PrepareLoop();
  void CompleteLoop();
  bool StartThreads();  // m_Mutex held

  std::recursive_mutex& m_SubmissionLock;
  std::mutex m_Mutex;
  std::condition_variable m_Changed;  // any change of the fields below
  std::deque<CJob> m_Waiting;         // taken, not yet being prepared
  std::vector<CPrepared> m_Prepared;  // prepared, not yet being completed
  std::size_t m_InWork = 0;           // jobs a worker holds outside both lists
  bool m_Closed = false;              // Drain called: no more work taken
  bool m_Ending = false;              // destructor: workers end once idle
  bool m_Started = false;
  bool m_StartFailed = false;
  ThreadHandle m_Threads[2] = {0, 0};
};
