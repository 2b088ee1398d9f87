// The spool's group syncs: a write error reported to one sync fails every
// caller that began writing before it, on that file system alone; syncfs is
// trusted only where the kernel reports all of its errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "TempDir.h"
#include "platform/FaultInjection.h"
#include "spool/SpoolSyncer.h"

namespace {

TEST(SpoolSyncerTest, AWriteErrorFailsEveryCallerThatBeganBeforeIt) {
  CTempDir dir;
  CSpoolSyncer sync(dir.Path());
  const CSpoolSyncer::CTicket before = sync.Begin();
  WriteWholeFile(dir.File("a"), "a");
  // The error is reported to whichever sync asks next: not the one for "a".
  ArmFault(FaultOp::kSync, dir.Path(), 1, EIO);
  EXPECT_FALSE(sync.Sync(sync.Begin(), {}));
  ClearFaults();
  // Clean now, yet the lost pages may have been a's.
  EXPECT_FALSE(sync.Sync(before, {dir.File("a")}));
  const CSpoolSyncer::CTicket after = sync.Begin();
  WriteWholeFile(dir.File("b"), "b");
  EXPECT_TRUE(sync.Sync(after, {dir.File("b")}));
  EXPECT_TRUE(sync.Sync(after, {dir.File("a"), dir.File("b")}));
  // A batch of callers is as old as its oldest.
  EXPECT_FALSE(sync.Sync(CSpoolSyncer::CTicket::Earliest(after, before), {dir.File("b")}));
  EXPECT_FALSE(sync.Sync(after, {dir.File("missing")}));  // nothing to sync is no success either
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
