// tests/unit/smtpout/smtp_out_test.cpp: the names the deliverer gives the messages it
// gives up on. (The outcomes themselves, and their names: test_outbound_outcomes.py;
// messages that wait: test_outbound_retries.py.)
#include <gtest/gtest.h>

#include <string>

#include "platform/File.h"
#include "smtpout/SMTPOut.h"

namespace {

// A ".tmp" elsewhere in the path is not the extension: renamed so, the message would leave the spool.
TEST(OutboundErrorNameTest, OnlyTheFileNameChanges) {
  const std::string in = std::string("x.tmp") + kPathSeparatorText + "IN" + kPathSeparatorText;
  EXPECT_EQ(OutboundErrorName(in + "a.tmp.b.TMP", ".NoName.Err", false), in + "a.tmp.b.NoName.Err");
}

}  // namespace
