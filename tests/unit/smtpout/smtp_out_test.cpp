// tests/unit/smtpout/smtp_out_test.cpp: the names the deliverer gives the messages it
// gives up on. (The outcomes themselves: test_outbound_outcomes.py; messages
// that wait: test_outbound_retries.py.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/File.h"
#include "smtpout/SMTPOut.h"

namespace {

TEST(OutboundErrorNameTest, OnlyTheFileNameChanges) {
  const struct {
    const char* path;
    const char* suffix;
    bool upper;
    const char* expected;
  } cases[] = {
      {"/spool/IN/ABC.TMP", ".NoName.Err", false, "/spool/IN/ABC.NoName.Err"},
      // A ".tmp" elsewhere in the path is not the extension.
      {"/var/x.tmp/IN/a.tmp.b.tmp", ".NoName.Err", false, "/var/x.tmp/IN/a.tmp.b.NoName.Err"},
  };
  // The cases are written with '/'; the names use this platform's separator.
  const auto native = [](std::string path) {
    std::replace(path.begin(), path.end(), '/', kPathSeparator);
    return path;
  };
  for (const auto& c : cases)
    EXPECT_EQ(OutboundErrorName(native(c.path), c.suffix, c.upper), native(c.expected)) << c.path;
}

}  // namespace
