// smtpin/HandOffQueue.cpp: the two hand-off threads and their lists.
//
// Threading: m_Mutex guards the lists and flags; the workers hold it only
// between jobs, never while they stage or commit.
#include "smtpin/HandOffQueue.h"

#include <algorithm>
#include <utility>

#include "log/DebugLog.h"
#include "platform/FaultInjection.h"
#include "smtpin/Decode.h"
#include "smtpin/SpoolRecovery.h"
#include "spool/CFileMan.h"
#include "spool/FileNaming.h"
#include "spool/StagedNames.h"
#include "spool/Submission.h"

namespace {
constexpr std::uint32_t kUnsyncedRetryMs = 1000;

// The first delay before a hand-off is tried again; a test may shorten it.
std::uint32_t FirstRetryDelayMs() {
  static const std::uint32_t delay = TestDurationMs("CVSMTPGW_HANDOFF_RETRY_MS", 1000);
  return delay;
}

// How long staged submissions wait for more; a test may hold them longer,
// so that another sync surely comes while their data wait for the disk.
std::uint32_t BatchQuietMs() {
  static const std::uint32_t quiet = TestDurationMs("CVSMTPGW_BATCH_WAIT_MS", CHandOffQueue::kBatchQuietMs);
  return quiet;
}

std::string FileNameOf(const std::string& path) {
  const std::size_t sep = path.find_last_of("/\\");
  return sep == std::string::npos ? path : path.substr(sep + 1);
}
}  // namespace

CHandOffQueue::CSlot& CHandOffQueue::CSlot::operator=(CSlot&& other) noexcept {
  if (this != &other) {
    Release();
    m_Queue = other.m_Queue;
    other.m_Queue = nullptr;
  }
  return *this;
}

void CHandOffQueue::CSlot::Release() {
  if (m_Queue == nullptr) return;
  CHandOffQueue* queue = m_Queue;
  m_Queue = nullptr;
  {
    std::lock_guard<std::mutex> lock(queue->m_Mutex);
    --queue->m_Reserved;
  }
  queue->m_Changed.notify_all();
}

CHandOffQueue::CStaged::CStaged() = default;
CHandOffQueue::CStaged::CStaged(CStaged&&) noexcept = default;
CHandOffQueue::CStaged& CHandOffQueue::CStaged::operator=(CStaged&&) noexcept = default;
CHandOffQueue::CStaged::~CStaged() = default;

CHandOffQueue::CHandOffQueue(std::recursive_mutex& submissionLock)
    : m_SubmissionLock(submissionLock), m_MaxHeld(TestLimit("CVSMTPGW_HANDOFF_QUEUE_LIMIT", kMaxHeld)) {}

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

std::size_t CHandOffQueue::Held() const {
  return m_Waiting.size() + m_Staged.size() + m_InWork + m_Unsynced.size() + m_Reserved;
}

CHandOffQueue::CSlot CHandOffQueue::Reserve() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  // A stopping queue still gives places: a mail taken then waits in its
  // spool file for the next start, as it would anyway.
  if (Held() >= m_MaxHeld) {
    if (!m_Full) {
      const std::string text = std::to_string(m_MaxHeld) + " mails";
      DebugLogStr("SMTPIn- Error: the hand-off queue is full, new mails get 451 until hand-offs complete: ",
                  text.c_str(), CV_SRC, __LINE__);
      DebugLog2Str("SMTPIn- Error: the hand-off queue is full, new mails get 451 until hand-offs complete: ",
                   text.c_str(), CV_SRC, __LINE__);
    }
    m_Full = true;
    return CSlot();
  }
  if (m_Full) {
    DebugLog("SMTPIn- The hand-off queue takes mails again", CV_SRC, __LINE__);
    DebugLog2Str("SMTPIn- The hand-off queue takes mails again", "", CV_SRC, __LINE__);
    m_Full = false;
  }
  ++m_Reserved;
  return CSlot(this);
}

bool CHandOffQueue::Add(std::string spoolFile, CSpoolRecord record, CFileIdentity identity, CSlot slot,
                        std::shared_ptr<CInboundMailRecord> mailLog) {
  const bool reserved = slot.m_Queue == this;
  if (reserved) slot.m_Queue = nullptr;  // taken over below, under the lock
  CJob job;
  job.spoolFile = std::move(spoolFile);
  job.record = std::move(record);
  job.identity = identity;
  job.mailLog = std::move(mailLog);
  return Enqueue(std::move(job), reserved);
}

bool CHandOffQueue::AddLater(std::string spoolFile) {
  CJob job;
  job.spoolFile = std::move(spoolFile);
  job.judged = false;
  return Enqueue(std::move(job), false);
}

bool CHandOffQueue::Enqueue(CJob job, bool reserved) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  // The reserved place stays counted until the job takes it (or is refused).
  const auto giveBack = [&] {
    if (reserved) --m_Reserved;
    reserved = false;
  };
  if (m_Closed) {
    giveBack();
    return false;
  }
  if (!StartThreads()) {
    giveBack();
    lock.unlock();
    m_Changed.notify_all();  // a thread that did start ends
    return false;
  }
  // Bounded: the mail is safe in its spool file, so a stalled disk holds a
  // session up for a while but never for ever.
  m_Changed.wait_for(lock, std::chrono::milliseconds(kAddWaitMs),
                     [this] { return m_Closed || Ready() < kMaxWaiting; });
  giveBack();
  if (m_Closed) return false;
  m_Waiting.push_back(std::move(job));
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
  const std::uint32_t delay = static_cast<std::uint32_t>(std::min<std::uint64_t>(
      kMaxRetryDelayMs, std::uint64_t{FirstRetryDelayMs()} << std::min(job.attempts - 1, 16)));
  job.notBefore = CClock::now() + std::chrono::milliseconds(delay);
  const std::string text = job.spoolFile + " in " + std::to_string(delay) + " ms";
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
  LowerThreadPriority();
  static_cast<CHandOffQueue*>(queue)->StageLoop();
  return 0;
}

unsigned CHandOffQueue::CompleteEntry(void* queue) {
  LowerThreadPriority();
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

    if (!job.judged && !Judge(job)) {
      lock.lock();
      --m_InWork;
      m_Changed.notify_all();
      continue;
    }
    CStaged staged;
    // The spool file is held with the right to delete it before anything is
    // staged, so that its deletion at the end cannot fail: another program
    // that opened it without sharing deletion (a scanner) is waited for.
    staged.spoolHeld = CFile::Open(job.spoolFile, FileAccess::kReadAndDelete, FileShare::kReadWrite,
                                   FileCreation::kOpenExisting);
    if (!staged.spoolHeld.IsValid() &&
        PlatformGetLastError() == static_cast<DWORD>(ERROR_SHARING_VIOLATION)) {
      DebugLogStr("SMTPIn- Spool file held by another program, handed off later: ", job.spoolFile.c_str(), CV_SRC,
                  __LINE__);
      lock.lock();
      --m_InWork;
      Retry(std::move(job));
      m_Changed.notify_all();
      continue;
    }
    staged.ticket = m_FileMan->SpoolSync().Begin();
    staged.submission = std::make_unique<CSubmission>(m_FileMan->OutDirectory(), SpoolNumber(job.spoolFile));
    int result;
    {
      std::lock_guard<std::recursive_mutex> submission(m_SubmissionLock);
      result = StageSubmission(job.spoolFile.c_str(), job.record, job.identity, *staged.submission);
    }
    if (result != kStaged) staged.submission.reset();  // withdraws what it made
    if (result == kSpoolNotRead) {
      ReadFailed(std::move(job));
      lock.lock();
      --m_InWork;
      m_Changed.notify_all();
      continue;
    }
    staged.job = std::move(job);

    lock.lock();
    --m_InWork;
    if (result == kStaged) {
      m_Staged.push_back(std::move(staged));
    } else {
      Retry(std::move(staged.job));  // a passing failure, or a directory that may come back
    }
    m_Changed.notify_all();
  }
}

bool CHandOffQueue::Judge(CJob& job) {
  CRecoveredMail mail;
  switch (RecoverSpoolFile(m_FileMan->OutDirectory(), FileNameOf(job.spoolFile), mail)) {
    case RecoveryOutcome::kHandOff:
      job.record = std::move(mail.record);
      job.identity = mail.identity;
      job.judged = true;
      return true;
    case RecoveryOutcome::kTryLater:
      ReadFailed(std::move(job));
      return false;
    case RecoveryOutcome::kSettled:
      break;
  }
  return false;
}

void CHandOffQueue::ReadFailed(CJob job) {
  // A read error may pass (a disk that recovers, a file system remounted);
  // one that does not must not hold a mail for ever without a word.
  if (++job.readFailures >= kMaxReadFailures) {
    const std::string why = "not readable after " + std::to_string(job.readFailures) + " attempts";
    if (KeepAsideSpoolFile(m_FileMan->OutDirectory(), job.spoolFile, job.identity, why)) return;
  }
  std::lock_guard<std::mutex> lock(m_Mutex);
  Retry(std::move(job));
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
  // The mail's line in the mail log, now that its submission is the fax server's.
  CInboundMailRecord found;
  CInboundMailRecord& line = staged.job.mailLog != nullptr ? *staged.job.mailLog : found;
  if (staged.job.mailLog == nullptr) {
    found.client = "(received before the last start)";
    for (const std::string& recipient : staged.job.record.recipients) found.recipients.push_back({recipient, true, ""});
    found.size = staged.job.record.dataLength;
  }
  if (staged.submission != nullptr) line.submission = staged.submission->EnvelopeName() + ".tmp";
  if (line.submission == ".tmp") line.submission.clear();
  if (line.submission.empty()) line.noSubmission = "handed off without an envelope name";
  MailLogInbound(line);
  FinishSpoolFile(staged.job.spoolFile.c_str(), staged.job.record.dataLength, staged.job.identity,
                  &staged.spoolHeld);
  staged.spoolHeld.Close();
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
      // A fresh ticket: only the names are to go to disk, their data went
      // with the first sync, so an error reported since then does not
      // touch them.
      FaultStep("directory-sync");
      const bool synced =
          m_FileMan->SpoolSync().Sync(m_FileMan->SpoolSync().Begin(), {}, CSpoolSyncer::Lane::kHandOff);
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
         CClock::now() - gathering < std::chrono::milliseconds(std::max(kBatchMaxWaitMs, BatchQuietMs()));
         seen = m_Staged.size()) {
      const bool more = m_Changed.wait_for(lock, std::chrono::milliseconds(BatchQuietMs()),
                                           [&] { return m_Staged.size() > seen || m_Closed || m_Ending; });
      if (!more) break;  // quiet: nothing more is coming soon
    }
    std::vector<CStaged> batch = std::move(m_Staged);
    m_Staged.clear();
    m_InWork += batch.size();
    lock.unlock();

    std::vector<CSubmission*> submissions;
    submissions.reserve(batch.size());
    CSpoolSyncer::CTicket ticket = batch.front().ticket;
    for (CStaged& s : batch) {
      submissions.push_back(s.submission.get());
      ticket = CSpoolSyncer::CTicket::Earliest(ticket, s.ticket);
    }
    FlushNamesNowAndThen();
    const std::vector<CommitResult> results = CommitSubmissions(submissions, m_FileMan->SpoolSync(), ticket);
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
