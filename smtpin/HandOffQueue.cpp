// smtpin/HandOffQueue.cpp: the two hand-off threads and their lists.
#include "smtpin/HandOffQueue.h"

#include <chrono>
#include <utility>

#include "log/DebugLog.h"
#include "platform/File.h"

CHandOffQueue::CHandOffQueue(std::recursive_mutex& submissionLock) : m_SubmissionLock(submissionLock) {}

CHandOffQueue::~CHandOffQueue() {
  Drain(kWaitForever);
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Ending = true;
  }
  m_Changed.notify_all();
  for (ThreadHandle& thread : m_Threads) {
    if (thread == 0) continue;
    WaitThreadHandle(thread, kWaitForever);
    CloseThreadHandle(thread);
    thread = 0;
  }
}

bool CHandOffQueue::StartThreads() {
  if (m_Started) return true;
  if (m_StartFailed) return false;
  m_Threads[0] = BeginThread(kWorkerStackSize, &CHandOffQueue::PrepareEntry, this, false);
  m_Threads[1] =
      m_Threads[0] == 0 ? 0 : BeginThread(kWorkerStackSize, &CHandOffQueue::CompleteEntry, this, false);
  if (m_Threads[1] != 0) {
    m_Started = true;
    return true;
  }
  // Without both threads nothing is taken; a started one ends at once.
  DebugLog("SMTPIn- Error: the hand-off threads could not be started; sessions hand off themselves", CV_SRC,
           __LINE__);
  m_StartFailed = true;
  m_Ending = true;
  return false;
}

bool CHandOffQueue::Add(const CRecipientList& recipients, const std::string& spoolFile) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  if (m_Closed) return false;
  if (!StartThreads()) {
    lock.unlock();
    m_Changed.notify_all();  // a thread that did start ends
    return false;
  }
  m_Changed.wait(
      lock, [this] { return m_Closed || m_Waiting.size() + m_Prepared.size() + m_InWork < kMaxWaiting; });
  if (m_Closed) return false;
  m_Waiting.push_back(CJob{recipients, spoolFile});
  lock.unlock();
  m_Changed.notify_all();
  return true;
}

bool CHandOffQueue::Drain(std::uint32_t milliseconds) {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Closed = true;
  }
  m_Changed.notify_all();  // sessions waiting for room hand off themselves
  return WaitIdle(milliseconds);
}

bool CHandOffQueue::WaitIdle(std::uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  const auto idle = [this] { return m_Waiting.empty() && m_Prepared.empty() && m_InWork == 0; };
  if (milliseconds == kWaitForever) {
    m_Changed.wait(lock, idle);
    return true;
  }
  return m_Changed.wait_for(lock, std::chrono::milliseconds(milliseconds), idle);
}

unsigned CHandOffQueue::PrepareEntry(void* queue) {
  static_cast<CHandOffQueue*>(queue)->PrepareLoop();
  return 0;
}

unsigned CHandOffQueue::CompleteEntry(void* queue) {
  static_cast<CHandOffQueue*>(queue)->CompleteLoop();
  return 0;
}

void CHandOffQueue::PrepareLoop() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  for (;;) {
    m_Changed.wait(lock, [this] { return !m_Waiting.empty() || m_Ending; });
    if (m_Waiting.empty()) return;
    CJob job = std::move(m_Waiting.front());
    m_Waiting.pop_front();
    ++m_InWork;
    lock.unlock();

    CPrepared prepared;
    prepared.spoolFile = std::move(job.spoolFile);
    int result;
    {
      std::lock_guard<std::recursive_mutex> submission(m_SubmissionLock);
      result = PrepareSubmission(job.recipients, prepared.spoolFile.c_str(), prepared.submission);
    }
    if (result != 0) FinishSpoolFile(prepared.spoolFile.c_str(), result);

    lock.lock();
    --m_InWork;
    if (result == 0) m_Prepared.push_back(std::move(prepared));
    m_Changed.notify_all();
  }
}

void CHandOffQueue::CompleteLoop() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  for (;;) {
    m_Changed.wait(
        lock, [this] { return !m_Prepared.empty() || (m_Ending && m_Waiting.empty() && m_InWork == 0); });
    if (m_Prepared.empty()) return;
    // A short wait lets a few more submissions share the waits for the disk
    // (the registry, the directory), which would otherwise come once per mail
    // when mails arrive one by one.
    m_Changed.wait_for(lock, std::chrono::microseconds(kBatchWaitUs),
                       [this] { return m_Prepared.size() >= kBatchTarget || m_Closed || m_Ending; });
    std::vector<CPrepared> batch = std::move(m_Prepared);
    m_Prepared.clear();
    m_InWork += batch.size();
    lock.unlock();

    std::vector<CPreparedSubmission> submissions;
    submissions.reserve(batch.size());
    for (const CPrepared& p : batch) submissions.push_back(p.submission);
    const std::vector<int> results = CompleteSubmissions(submissions);
    for (std::size_t k = 0; k < batch.size(); ++k) FinishSpoolFile(batch[k].spoolFile.c_str(), results[k]);
    // Files for the next submissions, made while the preparing thread works:
    // its creations are then renames.
    FileKeepSpares(batch.front().submission.outDirectory, kSparesKept);

    lock.lock();
    m_InWork -= batch.size();
    m_Changed.notify_all();
  }
}
