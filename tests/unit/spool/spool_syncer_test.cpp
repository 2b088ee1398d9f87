// The spool's group syncs: a write error reported to one sync fails every
// caller that began writing before it, in either lane and on that file
// system alone; a session's sync does not wait for a hand-off's batch; syncfs
// is trusted only where the kernel reports all of its errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>

#include "TempDir.h"
#include "platform/FaultInjection.h"
#include "spool/SpoolSyncer.h"

namespace {

using Lane = CSpoolSyncer::Lane;

TEST(SpoolSyncerTest, AWriteErrorFailsEveryCallerThatBeganBeforeIt) {
  // The error heard in one lane, the caller in the same lane or the other.
  const struct {
    const char* name;
    Lane failing;
    Lane caller;
  } cases[] = {{"sessions, sessions", Lane::kSessions, Lane::kSessions},
               {"hand-off, sessions", Lane::kHandOff, Lane::kSessions},
               {"sessions, hand-off", Lane::kSessions, Lane::kHandOff},
               {"hand-off, hand-off", Lane::kHandOff, Lane::kHandOff}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CTempDir dir;
    CSpoolSyncer sync(dir.Path());
    const CSpoolSyncer::CTicket before = sync.Begin();
    WriteWholeFile(dir.File("a"), "a");
    // The error is reported to whichever sync asks next: not the one for "a".
    ArmFault(FaultOp::kSync, dir.Path(), 1, EIO);
    EXPECT_FALSE(sync.Sync(sync.Begin(), {}, c.failing));
    ClearFaults();
    // Clean now, yet the lost pages may have been a's.
    EXPECT_FALSE(sync.Sync(before, {dir.File("a")}, c.caller));
    const CSpoolSyncer::CTicket after = sync.Begin();
    WriteWholeFile(dir.File("b"), "b");
    EXPECT_TRUE(sync.Sync(after, {dir.File("b")}, c.caller));
    EXPECT_TRUE(sync.Sync(after, {dir.File("a"), dir.File("b")}, c.caller));
    // A batch of callers is as old as its oldest.
    EXPECT_FALSE(sync.Sync(CSpoolSyncer::CTicket::Earliest(after, before), {dir.File("b")}, c.caller));
    EXPECT_FALSE(sync.Sync(after, {dir.File("missing")}, c.caller));  // nothing to sync is no success either
  }
}

// Holds every hand-off sync at its start until released.
class CHeldHandOffSyncer : public CSpoolSyncer {
 public:
  using CSpoolSyncer::CSpoolSyncer;
  void WaitHeld() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    ASSERT_TRUE(m_Changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_Held; }));
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Released = true;
    m_Changed.notify_all();
  }

 protected:
  bool SyncGroup(Lane lane, CVolumeSync& sync, const std::vector<std::string>& files) override {
    if (lane == Lane::kHandOff) {
      std::unique_lock<std::mutex> lock(m_Mutex);
      m_Held = true;
      m_Changed.notify_all();
      m_Changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_Released; });
    }
    return CSpoolSyncer::SyncGroup(lane, sync, files);
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Changed;
  bool m_Held = false;
  bool m_Released = false;
};

TEST(SpoolSyncerTest, ASessionGoesOnWhileABatchSyncsAndSharesItsErrors) {
  CTempDir dir;
  CHeldHandOffSyncer sync(dir.Path());
  const CSpoolSyncer::CTicket batchTicket = sync.Begin();
  WriteWholeFile(dir.File("envelope"), "e");
  WriteWholeFile(dir.File("body"), "b");
  // Two files, as a batch has: the one syncfs for the whole file system.
  std::future<bool> batch = std::async(std::launch::async, [&] {
    return sync.Sync(batchTicket, {dir.File("envelope"), dir.File("body")}, Lane::kHandOff);
  });
  sync.WaitHeld();
  // The batch's sync has begun and is held: a session's sync is answered.
  WriteWholeFile(dir.File("mail"), "m");
  std::future<bool> session =
      std::async(std::launch::async, [&] { return sync.Sync(sync.Begin(), {dir.File("mail")}); });
  const bool answered = session.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(answered) << "the session waited for the batch";
  if (answered) {
    EXPECT_TRUE(session.get());
  }
  // An error the sessions' lane hears while the batch syncs fails the batch,
  // which began before it, however clean its own sync.
  ArmFault(FaultOp::kSync, dir.Path(), 1, EIO);
  EXPECT_FALSE(sync.Sync(sync.Begin(), {}));
  ClearFaults();
  sync.Release();
  EXPECT_FALSE(batch.get());
  EXPECT_TRUE(sync.Sync(sync.Begin(), {dir.File("envelope"), dir.File("body")}, Lane::kHandOff));
}

TEST(SpoolSyncerTest, AnotherFileSystemIsSyncedWithItsOwnErrors) {
  // A RAM file system (a mount of its own) beside the temporary directory.
  const std::filesystem::path shm = "/dev/shm";
  std::error_code error;
  if (!std::filesystem::is_directory(shm, error)) GTEST_SKIP() << "no second file system here";
  CTempDir spool;
  const std::string store = (shm / std::filesystem::path(spool.Path()).filename()).string();
  ASSERT_TRUE(std::filesystem::create_directory(store));
  CSpoolSyncer sync(spool.Path());
  sync.AddDirectory(store);
  const CSpoolSyncer::CTicket ticket = sync.Begin();
  WriteWholeFile(store + "/fragment", "f");
  WriteWholeFile(spool.File("mail"), "m");
  ArmFault(FaultOp::kSync, store, 1, EIO);
  EXPECT_FALSE(sync.Sync(ticket, {store + "/fragment"}));
  ClearFaults();
  EXPECT_TRUE(sync.Sync(ticket, {spool.File("mail")}));
  EXPECT_FALSE(sync.Sync(ticket, {spool.File("mail"), store + "/fragment"}));
  EXPECT_TRUE(sync.Sync(sync.Begin(), {store + "/fragment"}));
  std::filesystem::remove_all(store, error);
}

TEST(SpoolSyncerTest, SyncfsIsTrustedFromLinux517On) {
  const struct {
    const char* release;
    bool trusted;
  } cases[] = {{"5.16.20", false}, {"5.17.0", true}, {"5.8.0", false}, {"6.1.0-13-amd64", true},
               {"4.19.0", false},  {"10.0", true},   {"", false},      {"x", false}};
  for (const auto& c : cases) EXPECT_EQ(SyncfsReportsAllErrors(c.release), c.trusted) << c.release;
}

}  // namespace
