// The spool file's record: what a start may hand off is exactly what was
// written whole; a cut or damaged file, a foreign file and an unfinished one
// are told apart. (The checksum against an independent CRC-32C: the spool
// files tests/integration/spool_files.py writes for a start to hand off.)
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "TempDir.h"
#include "base/Crc32c.h"
#include "platform/FaultInjection.h"
#include "spool/SpoolRecord.h"

namespace {

const std::string kMail = "Received: from c by fax.example.com ; \r\nSubject: s\r\n\r\nbody\r\n";

std::string Spool(const std::string& mail, const std::vector<std::string>& recipients) {
  CSpoolRecord record;
  record.dataLength = mail.size();
  record.acknowledgedAt = 1234567890123456789;
  record.recipients = recipients;
  return mail + EncodeSpoolTrailer(record, Crc32cExtend(0, mail.data(), mail.size()));
}

TEST(SpoolRecordTest, DamagedForeignAndUnfinishedFilesAreToldApart) {
  const std::string whole = Spool(kMail, {"TO:<1@fax.example.com>"});
  std::string flippedMail = whole, flippedFooter = whole;
  flippedMail[50] ^= 1;
  flippedFooter[whole.size() - 20] ^= 1;  // the mail's length
  struct Case {
    const char* what;
    std::string bytes;
    bool envelopeBeside;
    SpoolFileState state;
  } const cases[] = {
      {"empty, ours", "", true, SpoolFileState::kUnfinished},
      {"empty, not ours", "", false, SpoolFileState::kUnreadable},
      {"a mail without its record", kMail, false, SpoolFileState::kUnreadable},
      {"last byte missing", whole.substr(0, whole.size() - 1), true, SpoolFileState::kUnfinished},
      {"record cut out", kMail + whole.substr(whole.size() - kSpoolFooterSize), true,
       SpoolFileState::kUnreadable},
      {"a mail byte changed", flippedMail, true, SpoolFileState::kUnreadable},
      {"a footer length changed", flippedFooter, true, SpoolFileState::kUnreadable},
      {"bytes after the footer", whole + "x", true, SpoolFileState::kUnfinished},
      {"the footer alone", whole.substr(whole.size() - kSpoolFooterSize), false, SpoolFileState::kUnreadable},
  };
  CTempDir dir;
  CSpoolRecord record;
  std::string why;
  CFileIdentity identity;
  for (const Case& c : cases) {
    WriteWholeFile(dir.File("9.zqx"), c.bytes);
    why.clear();
    EXPECT_EQ(ReadSpoolFile(dir.File("9.zqx"), c.envelopeBeside, record, why, identity), c.state) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
  }
  EXPECT_EQ(ReadSpoolFile(dir.File("missing.zqx"), true, record, why, identity), SpoolFileState::kGone);
  EXPECT_EQ(ReadSpoolFile(dir.Path(), false, record, why, identity),
            SpoolFileState::kUnreadable);  // a directory
  // An I/O error tells nothing of the file: it is looked at again, never
  // taken for a damaged or an unfinished one, wherever in the file it comes.
  WriteWholeFile(dir.File("9.zqx"), whole);
  for (int skip = 0; skip < 3; ++skip) {
    ArmFault(FaultOp::kRead, "*9.zqx", 1, EIO, skip);
    EXPECT_EQ(ReadSpoolFile(dir.File("9.zqx"), true, record, why, identity), SpoolFileState::kReadFailed)
        << skip;
    ClearFaults();
  }
}

}  // namespace
