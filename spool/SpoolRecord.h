// spool/SpoolRecord.h: what a spool file OUT/<n>.zqx holds beyond the mail,
// and how a spool file found in OUT is judged.
//
// A spool file is the durable record of one received mail: the mail as it was
// received (the trace line and the data lines), then the record of its SMTP
// transaction (when it was acknowledged, its RCPT arguments, from which fax
// recipients are confirmed), then a footer of kSpoolFooterSize bytes. The
// footer and the record are written, with a checksum of everything before
// them, in the last write before the file is synced and the mail answered
// 250: a file with a whole footer whose checksums hold was acknowledged (or
// was about to be), whatever a crash did afterwards. The mail is always the
// first dataLength bytes, so readers of the mail stop there.
//
// Beside every spool file of ours lies its staged envelope (see
// spool/SubmissionNames.h), made before the spool file itself: a spool file
// without a footer is only taken for an unfinished one of ours when that
// envelope is there.
//
// Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/File.h"

constexpr std::size_t kSpoolFooterSize = 32;
// A RCPT argument is at most a command line; anything longer is not ours.
constexpr std::size_t kMaxSpoolRecipientLength = 1000;
constexpr std::size_t kMaxSpoolRecipients = 1000;

struct CSpoolRecord {
  std::uint64_t dataLength = 0;         // the mail: trace line and data lines
  std::int64_t acknowledgedAt = 0;      // nanoseconds since 1970
  std::vector<std::string> recipients;  // RCPT arguments as received, in order
};

// The bytes that follow the mail: the record and the footer. `dataCrc` is the
// CRC-32C of the mail's dataLength bytes.
std::string EncodeSpoolTrailer(const CSpoolRecord& record, std::uint32_t dataCrc);

enum class SpoolFileState {
  kAcknowledged,  // whole and checked: hand it off (or finish it)
  kUnfinished,    // no footer: a mail that was being received, never acknowledged
  kUnreadable,    // read whole, and not ours or damaged (or not a file): to be kept aside
  kReadFailed,    // could not be read (an I/O error): nothing can be told yet, try again later
  kGone,          // no file by that name (any more)
};

// Judges the file at `path`, reading its footer, its record and (to check it)
// the whole mail. kAcknowledged fills `record`; the others set `why` to a
// short reason for the log. `identity` is the file that was read (when it
// could be opened). `oursBeside`: the file's staged envelope exists, so a
// file without a footer is an unfinished one of ours (without it, such a
// file is not taken for ours).
SpoolFileState ReadSpoolFile(const std::string& path, bool oursBeside, CSpoolRecord& record, std::string& why,
                             CFileIdentity& identity);
