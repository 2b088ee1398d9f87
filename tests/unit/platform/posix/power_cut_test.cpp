// The test build's power cut (platform/posix/PosixDurability.h), the tool of
// the power-cut integration tests: after a scripted run (test_helper
// power-cut) the directory must hold exactly what the syncs made durable. A
// cut that kept too much would let those tests pass over lost mail.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "SpoolTestSupport.h"
#include "platform/Process.h"

namespace {

TEST(PowerCutTest, LeavesExactlyWhatTheSyncsMadeDurable) {
  CTempDir dir;
  WriteWholeFile(dir.File("kept"), "old");  // there when the record is armed: durable
  WriteWholeFile(dir.File("removed"), "gone soon");
  SetEnvironmentValue("CVSMTPGW_POWER_CUT_DIRS", dir.Path().c_str());
  CChildProcess helper;
  const bool started = helper.Start({CVSMTPGW_TEST_HELPER, "power-cut", dir.Path()});
  SetEnvironmentValue("CVSMTPGW_POWER_CUT_DIRS", nullptr);
  ASSERT_TRUE(started);
  helper.CloseInput();
  ASSERT_EQ(helper.Wait(30000), 128 + 9);  // killed at the cut, not returned

  std::map<std::string, std::string> found;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.Path())) {
    const std::string name = std::filesystem::relative(e.path(), dir.Path()).string();
    found[name] = e.is_directory() ? "<dir>" : ReadWholeFile(e.path().string());
  }
  const std::map<std::string, std::string> durable = {{"kept", "old"}, {"a.moved", "A1"}, {"s", "S"},
                                                      {"f", "S"},      {"c", ""},         {"b", "B"},
                                                      {"e", ""},       {"sub", "<dir>"}};
  EXPECT_EQ(found, durable);
  struct stat s, f;
  ASSERT_EQ(::stat(dir.File("s").c_str(), &s), 0);
  ASSERT_EQ(::stat(dir.File("f").c_str(), &f), 0);
  EXPECT_EQ(s.st_ino, f.st_ino);  // still one file under two names
}

}  // namespace
