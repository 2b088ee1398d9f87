// smtpin/HandOffQueue.cpp: the two hand-off threads and their lists.
//
// Threading: m_Mutex guards the lists and flags; the workers hold it only
// between jobs, never while they stage or commit.
#include "smtpin/HandOffQueue.h"

#include <algorithm>
#include <utility>

#include "log/DebugLog.h"
#include "smtpin/Decode.h"
#include "spool/CFileMan.h"
#include "spool/FileNaming.h"
#include "spool/StagedNames.h"
#include "spool/Submission.h"

namespace {
constexpr std::uint32_t kUnsyncedRetryMs = 1000;
}  // namespace

CHandOffQueue::CStaged::CStaged() = default;
CHandOffQueue::CStaged::CStaged(CStaged&&) noexcept = default;
CHandOffQueue::CStaged& CHandOffQueue::CStaged::operator=(CStaged&&) noexcept = default;
CHandOffQueue::CStaged::~CStaged() = default;

CHandOffQueue::CHandOffQueue(std::recursive_mutex& submissionLock) : m_SubmissionLock(submissionLock) {}

CHandOffQueue::~CHandOffQueue() {
  Stop(0);
  for (ThreadHandle& thread : m_Threads) {
    if (thread == 0) continue;
    WaitThreadHandle(thread, kWaitForever);
    CloseThreadHandle(thread);
    thread = 0;
  }
}

bool CHandOffQueue::StartThreads() {
  if (m_Started) return true;
  if (m_StartFailed || m_FileMan == nullptr) return false;
  m_Threads[0] = BeginThread(kWorkerStackSize, &CHandOffQueue::StageEntry, this, false);
  m_Threads[1] =
      m_Threads[0] == 0 ? 0 : BeginThread(kWorkerStackSize, &CHandOffQueue::CompleteEntry, this, false);
  if (m_Threads[1] != 0) {
    m_Started = true;
    return true;
  }
  // Without both threads nothing is taken; a started one ends at once.
  DebugLog("SMTPIn- Error: the hand-off threads could not be started; mails wait for the next start", CV_SRC,
           __LINE__);
  m_StartFailed = true;
  m_Ending = true;
  return false;
}

std::size_t CHandOffQueue::Ready() const {
  const CClock::time_point now = CClock::now();
  return static_cast<std::size_t>(
      std::count_if(m_Waiting.begin(), m_Waiting.end(), [&](const CJob& j) { return j.notBefore <= now; }));
}

std::size_t CHandOffQueue::Pending() const { return Ready() + m_Staged.size() + m_InWork; }

bool CHandOffQueue::Idle() const { return Pending() == 0 && m_Unsynced.empty(); }

bool CHandOffQueue::Add(std::string spoolFile, CSpoolRecord record) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  if (m_Closed) return false;
  if (!StartThreads()) {
    lock.unlock();
    m_Changed.notify_all();  // a thread that did start ends
    return false;
  }
  // Bounded: the mail is safe in its spool file, so a stalled disk holds a
  // session up for a while but never for ever.
  m_Changed.wait_for(lock, std::chrono::milliseconds(kAddWaitMs),
                     [this] { return m_Closed || Ready() < kMaxWaiting; });
  if (m_Closed) return false;
  m_Waiting.push_back(CJob{std::move(spoolFile), std::move(record)});
  lock.unlock();
  m_Changed.notify_all();
  return true;
}

bool CHandOffQueue::Stop(std::uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  m_Closed = true;
  m_Changed.notify_all();
  const bool idle = m_Changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                       [this] { return Idle() || !m_Started; });
  m_Ending = true;
  lock.unlock();
  m_Changed.notify_all();
  // A hand-off waiting for a name flag gives up; its mail waits in OUT.
  StopNameWaits();
  return idle;
}

bool CHandOffQueue::WaitIdle(std::uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  const auto idle = [this] { return Idle(); };
  if (milliseconds == kWaitForever) {
    m_Changed.wait(lock, idle);
    return true;
  }
  return m_Changed.wait_for(lock, std::chrono::milliseconds(milliseconds), idle);
}

void CHandOffQueue::Retry(CJob job) {
  ++job.attempts;
  const std::uint32_t delay =
      std::min<std::uint32_t>(kMaxRetryDelayMs, 1000u << std::min(job.attempts - 1, 16));
  job.notBefore = CClock::now() + std::chrono::milliseconds(delay);
  const std::string text = job.spoolFile + " in " + std::to_string(delay / 1000) + " s";
  DebugLogStr("SMTPIn- Hand-off not completed, tried again: ", text.c_str(), CV_SRC, __LINE__);
  DebugLog2Str("SMTPIn- Hand-off not completed, tried again: ", text.c_str(), CV_SRC, __LINE__);
  m_Waiting.push_back(std::move(job));
}

bool CHandOffQueue::NextReady(CJob& job, CClock::time_point& wakeAt) {
  const CClock::time_point now = CClock::now();
  wakeAt = CClock::time_point::max();
  for (auto it = m_Waiting.begin(); it != m_Waiting.end(); ++it) {
    if (it->notBefore <= now) {
      job = std::move(*it);
      m_Waiting.erase(it);
      return true;
    }
    wakeAt = std::min(wakeAt, it->notBefore);
  }
  return false;
}

unsigned CHandOffQueue::StageEntry(void* queue) {
  static_cast<CHandOffQueue*>(queue)->StageLoop();
  return 0;
}

unsigned CHandOffQueue::CompleteEntry(void* queue) {
  static_cast<CHandOffQueue*>(queue)->CompleteLoop();
  return 0;
}

void CHandOffQueue::StageLoop() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  for (;;) {
    CJob job;
    CClock::time_point wakeAt;
    while (!m_Ending && !NextReady(job, wakeAt)) {
      if (wakeAt == CClock::time_point::max()) {
        m_Changed.wait(lock);
      } else {
        m_Changed.wait_until(lock, wakeAt);
      }
    }
    if (m_Ending) return;
    ++m_InWork;
    lock.unlock();

    CStaged staged;
    staged.submission = std::make_unique<CSubmission>(m_FileMan->OutDirectory(), SpoolNumber(job.spoolFile));
    int result;
    {
      std::lock_guard<std::recursive_mutex> submission(m_SubmissionLock);
      result = StageSubmission(job.spoolFile.c_str(), job.record, *staged.submission);
    }
    if (result != 0) staged.submission.reset();  // withdraws what it made
    staged.job = std::move(job);

    lock.lock();
    --m_InWork;
    if (result == 0) {
      m_Staged.push_back(std::move(staged));
    } else {
      Retry(std::move(staged.job));
    }
    m_Changed.notify_all();
  }
}

void CHandOffQueue::FlushNamesNowAndThen() {
  // The counters need not be on disk for any one submission (a name a power
  // cut takes back is skipped when drawn again); written once a second, they
  // cost the disk little.
  const CClock::time_point now = CClock::now();
  if (now - m_LastNamesFlush < std::chrono::milliseconds(kNamesFlushMs)) return;
  m_LastNamesFlush = now;
  // A registry that cannot be written (made read-only, say) keeps its
  // changes in memory and takes them once it can: mails go on meanwhile, and
  // the log tells when that began and when it ended.
  const long rc = FlushFileNames();
  if (rc != ERROR_SUCCESS && !m_NamesUnwritten) {
    DebugLogStr(
        "SMTPIn- Error: the registry could not be put on disk; its changes are kept and written once it "
        "can be: ",
        PlatformErrorText(static_cast<DWORD>(rc)), CV_SRC, __LINE__);
  } else if (rc == ERROR_SUCCESS && m_NamesUnwritten) {
    DebugLog("SMTPIn- The registry is on disk again", CV_SRC, __LINE__);
  }
  m_NamesUnwritten = rc != ERROR_SUCCESS;
}

void CHandOffQueue::Finish(CStaged& staged) {
  FinishSpoolFile(staged.job.spoolFile.c_str(), staged.job.record.dataLength);
  staged.submission.reset();
}

void CHandOffQueue::CompleteLoop() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  for (;;) {
    m_Changed.wait_for(lock, std::chrono::milliseconds(kUnsyncedRetryMs),
                       [this] { return !m_Staged.empty() || m_Ending; });
    if (m_Ending) return;
    if (!m_Unsynced.empty()) {
      // Complete submissions whose names could not be synced: a later sync
      // that succeeds covers them, and only then do their spool files go.
      std::vector<CStaged> unsynced = std::move(m_Unsynced);
      m_Unsynced.clear();
      m_InWork += unsynced.size();
      lock.unlock();
      const bool synced = m_FileMan->SyncSpool({});
      for (CStaged& s : unsynced) {
        if (!synced) continue;
        s.submission->Committed();
        Finish(s);
      }
      lock.lock();
      m_InWork -= unsynced.size();
      for (CStaged& s : unsynced) {
        if (s.submission) m_Unsynced.push_back(std::move(s));
      }
      m_Changed.notify_all();
    }
    if (m_Staged.empty()) continue;
    const CClock::time_point gathering = CClock::now();
    for (std::size_t seen = m_Staged.size();
         seen < kBatchTarget && !m_Closed && !m_Ending &&
         CClock::now() - gathering < std::chrono::milliseconds(kBatchMaxWaitMs);
         seen = m_Staged.size()) {
      const bool more = m_Changed.wait_for(lock, std::chrono::milliseconds(kBatchQuietMs),
                                           [&] { return m_Staged.size() > seen || m_Closed || m_Ending; });
      if (!more) break;  // quiet: nothing more is coming soon
    }
    std::vector<CStaged> batch = std::move(m_Staged);
    m_Staged.clear();
    m_InWork += batch.size();
    lock.unlock();

    std::vector<CSubmission*> submissions;
    submissions.reserve(batch.size());
    for (CStaged& s : batch) submissions.push_back(s.submission.get());
    FlushNamesNowAndThen();
    const std::vector<CommitResult> results = CommitSubmissions(submissions, m_FileMan->SpoolSync());
    for (std::size_t k = 0; k < batch.size(); ++k) {
      if (results[k] == CommitResult::kCommitted) Finish(batch[k]);
      if (results[k] == CommitResult::kWithdrawn) batch[k].submission.reset();
    }

    lock.lock();
    m_InWork -= batch.size();
    for (std::size_t k = 0; k < batch.size(); ++k) {
      if (results[k] == CommitResult::kWithdrawn) Retry(std::move(batch[k].job));
      if (results[k] == CommitResult::kUnsynced) m_Unsynced.push_back(std::move(batch[k]));
    }
    m_Changed.notify_all();
  }
}
