// smtpin/Decode.h: the hand-off of an acknowledged mail to the fax server.
//
// A hand-off has two halves. StageSubmission, under the inbound server's
// submission lock (one at a time), reserves the names (envelope ENV<m>,
// message content file, attachment list), runs the MIME decoder over the
// spool file and writes the envelope, the body and the attachments under
// their staged names (spool/Submission.h). CommitSubmissions then completes
// any number of staged submissions together, outside the lock, so that they
// share the waits for the disk: the parts get their final names, the files'
// data and names go to disk, then the envelopes get their ".tmp" names, which
// go to disk too. The fax server therefore never sees a job before all of it
// is on disk, and a crash at any point leaves either a complete job or staged
// leftovers that the next start withdraws before it hands the mail off again.
// The spool file goes only after its submission is complete and its name on
// disk. The registry (the name counters) is put on disk by the caller, at
// most once a second: a counter that a power cut takes back only makes names
// be skipped, since every file is created exclusively.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/File.h"
#include "spool/SpoolRecord.h"
#include "spool/SpoolSyncer.h"

class CSubmission;

// Results of StageSubmission.
constexpr int kStaged = 0;
constexpr int kNotStaged = 1;      // a file of the submission could not be made: try again later
constexpr int kSpoolNotRead = 2;   // the spool file could not be read whole: try again later
constexpr int kSpoolReplaced = 3;  // the path names another file than the acknowledged one

// Stages the submission of the spool file at `spoolFilePath` (its mail is the
// first record.dataLength bytes; record.recipients confirm fax recipients)
// into `submission`; the caller holds the submission lock. `spoolIdentity`,
// when known, is the file that was acknowledged: a path that now names
// another is left alone, before anything is made. A mail that could not be
// read whole (an I/O error, a file cut short) is never handed on. One of the
// results above (logged; the submission withdraws what it made when it is
// destroyed).
int StageSubmission(const char* spoolFilePath, const CSpoolRecord& record, const CFileIdentity& spoolIdentity,
                    CSubmission& submission);

enum class CommitResult {
  kCommitted,  // complete, its names on disk: the spool file may go
  kUnsynced,   // complete and visible, but the sync of its name failed: keep the spool file
  kWithdrawn,  // not complete, withdrawn: hand the mail off again later
};

// Completes staged submissions, in order; `spoolSync` syncs their files,
// `ticket` taken before the first of them was staged. One result per
// submission. A failed write, sync or rename withdraws every submission it
// may have touched: none is ever retried as if its data were safe.
std::vector<CommitResult> CommitSubmissions(const std::vector<CSubmission*>& batch, CSpoolSyncer& spoolSync,
                                            const CSpoolSyncer::CTicket& ticket);

// The whole hand-off on the calling thread, for tools and tests: stage and
// commit; the spool file is left as it is. 0 complete, 1 not.
int DecodeSpoolFile(const char* spoolFilePath, const CSpoolRecord& record);

// A handed-off spool file: deleted, or while the primary debug log is on kept
// as its debug copy with the mail alone (trace line and data lines); only
// while the path still names the file `identity` (when known). `held`, when
// open, is the file opened with the right to delete it: it is deleted through
// that handle, which no other program's open can make fail (a spool file left
// behind would be handed off again at the next start).
void FinishSpoolFile(const char* spoolFilePath, std::uint64_t dataLength, const CFileIdentity& identity,
                     CFile* held = nullptr);

// Keeps a file of OUT that cannot be handed off under the name
// "<stem>.err" (or "<stem>-<k>.err" when that is taken), which nothing else
// ever takes; logs why. The kept name, or empty when it could not be moved.
std::string KeepAside(const std::string& path, const std::string& why);
