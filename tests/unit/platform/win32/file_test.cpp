// tests/unit/platform/win32/file_test.cpp: what the Win32 file backend adds to the
// shared file tests (a file held by another process: file_man_test.cpp, which
// runs here too): deletion and renaming through a handle that a reader
// without deletion sharing cannot stop, FindFirstFileA's short names,
// directory flushes, and private directories judged by owner and DACL.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/win32/Win32Api.h"

namespace {
class Win32FileTest : public ::testing::Test {
 protected:
  static DWORD OpenError(const std::string& path, FileAccess access, FileShare share) {
    CFile file = CFile::Open(path, access, share, FileCreation::kOpenExisting);
    return file.IsValid() ? 0 : PlatformGetLastError();
  }
  CTempDir m_Dir;
};

// A virus scanner or backup agent opens files without sharing deletion: while
// it holds one, a deletion by name fails (the message would be sent twice);
// once the gateway holds the file with the right to delete, such opens fail.
TEST_F(Win32FileTest, AReaderWithoutDeleteSharingCannotStopADeleteOrRenameThroughTheHandle) {
  const std::string message = m_Dir.File("m.tmp");
  WriteWholeFile(message, "message");
  const auto reader = [](const std::string& path, CChildProcess& child) {
    std::string line;
    EXPECT_TRUE(child.Start({CVSMTPGW_TEST_HELPER, "open-no-delete", path}) && child.ReadLine(line, 10000));
    return line;
  };

  CChildProcess early;
  ASSERT_EQ(reader(message, early), "opened");
  EXPECT_FALSE(FileDelete(message));
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenError(message, FileAccess::kReadAndDelete, FileShare::kNone), ERROR_SHARING_VIOLATION);
  early.CloseInput();
  EXPECT_EQ(early.Wait(10000), 0);

  CFile held = CFile::Open(message, FileAccess::kReadAndDelete, FileShare::kReadWrite, FileCreation::kOpenExisting);
  ASSERT_TRUE(held.IsValid());
  CChildProcess late;
  EXPECT_EQ(reader(message, late), "refused 32");
  // A reader that shares deletion may still read; it does not stop the rename either.
  CFile sharing = CFile::Open(message, FileAccess::kRead, FileShare::kReadWrite, FileCreation::kOpenExisting);
  ASSERT_TRUE(sharing.IsValid());
  const std::string renamed = m_Dir.File("M.ConnFailed.Err");
  WriteWholeFile(m_Dir.File("taken"), "x");
  EXPECT_FALSE(held.RenameThrough(m_Dir.File("taken")));  // never over another file
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  ASSERT_TRUE(held.RenameThrough(renamed));
  EXPECT_FALSE(FileExists(message));
  sharing.Close();
  EXPECT_TRUE(held.DeleteThrough());
  late.CloseInput();
  EXPECT_EQ(late.Wait(10000), 0);
  EXPECT_TRUE(held.Close());
  EXPECT_FALSE(FileExists(renamed));
  EXPECT_EQ(ReadWholeFile(m_Dir.File("taken")), "x");
}

// Directories are flushed through a handle of their own; one that is not
// there, or a file, is no directory to flush.
TEST_F(Win32FileTest, DirectoriesAreFlushedThroughAHandle) {
  EXPECT_TRUE(DirectorySync(m_Dir.Path()));
  EXPECT_FALSE(DirectorySync(m_Dir.File("missing")));
  WriteWholeFile(m_Dir.File("plain"), "x");
  EXPECT_FALSE(DirectorySync(m_Dir.File("plain")));
  CVolumeSync volume(m_Dir.Path());
  EXPECT_TRUE(volume.Sync({m_Dir.File("plain")}));
}

// FindFirstFileA's names that match only by their 8.3 short names are left
// out, as the POSIX backend would. (The wildcard rule: file_test.cpp.)
TEST_F(Win32FileTest, DirectorySearchSkipsShortNameMatches) {
  const std::string dir = m_Dir.File("IN") + "\\";
  ASSERT_TRUE(DirectoryCreate(m_Dir.File("IN")));
  for (const char* name : {"ABC.TMP", "b.tmp", "longername.tmpx"}) WriteWholeFile(dir + name, name);
  std::vector<std::string> names;
  EXPECT_EQ(FindFiles(dir, "*.tmp", names), ERROR_SUCCESS);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"ABC.TMP", "b.tmp"}));
}

TEST_F(Win32FileTest, PrivateDirectoriesByOwnerAndDacl) {
  const std::string made = m_Dir.File("private");
  std::string plain = m_Dir.File("plain");
  ASSERT_TRUE(DirectoryCreatePrivate(made));
  EXPECT_TRUE(DirectoryIsPrivate(made));
  EXPECT_FALSE(DirectoryCreatePrivate(made));
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  // Open to everybody: not ours alone.
  ASSERT_TRUE(DirectoryCreate(plain));
  PSID everyone = nullptr;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  ASSERT_TRUE(::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
  EXPLICIT_ACCESSA access{};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.ptstrName = static_cast<LPSTR>(everyone);
  PACL acl = nullptr;
  ASSERT_EQ(::SetEntriesInAclA(1, &access, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(::SetNamedSecurityInfoA(plain.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    acl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
  ::LocalFree(acl);
  ::FreeSid(everyone);
  EXPECT_FALSE(DirectoryIsPrivate(plain));
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DirectoryIsPrivate(m_Dir.File("missing")));
  EXPECT_EQ(PlatformGetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}
}  // namespace
