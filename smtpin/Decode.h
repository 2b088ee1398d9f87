// smtpin/Decode.h: the hand-off of a received mail to the fax server.
//
// Decode reserves the names of a submission (envelope OUT/ENV<n>, message
// content file, attachment list), runs the MIME decoder over the spool file,
// completes the envelope with its body and attachment blocks and renames it to
// ENV<n>.tmp, the name under which the fax server takes the job. Hand-offs of
// all sessions draw their names and decode one at a time under the inbound
// server's submission lock; putting the finished files on disk, the rename
// and syncing that name follow outside it, so the next hand-off need not wait
// for the disk. Decode returns only once the whole job is on disk. A hand-off
// that cannot be completed withdraws what it made, so the fax server never
// sees a partial job, and says so: the caller then keeps the received mail
// (FinishSpoolFile) instead of deleting it.
#pragma once

#include <string>
#include <vector>

#include "smtpin/RecipientList.h"

class SMTPInThread;

// A submission whose files are all written, waiting to be put on disk and
// given its .tmp name.
struct CPreparedSubmission {
  std::string envelopeFile;
  std::vector<std::string> files;  // envelope, body and attachments
  std::string outDirectory;
};

// The hand-off up to ReleaseFileName; the caller holds the submission lock:
// names drawn, the mail decoded, the envelope completed. 0 with `prepared`
// filled, or 1 (logged, whatever was made withdrawn).
int PrepareSubmission(const CRecipientList& envelopeRecipients, const char* spoolFilePath,
                      CPreparedSubmission& prepared);

// The rest of the hand-off for prepared submissions, without the submission
// lock (their names are drawn and their files written, so nothing here
// touches what another hand-off uses): the registry (the counters that named
// the files), then the files' data on disk, then the .tmp names, then those
// names on disk. So a power loss never leaves a job with missing data nor one
// whose number a counter could hand out again. One result per submission, in
// order: 0 complete and on disk, 1 not (logged; withdrawn unless only its name
// could not be synced). A batch shares the waits for the disk.
std::vector<int> CompleteSubmissions(const std::vector<CPreparedSubmission>& batch);

// Takes the submission lock of the session's server for the part of the
// hand-off that needs it and hands the mail on. 0 the submission is complete
// and on disk, 1 it could not be made (logged).
int Decode(SMTPInThread& session, const char* spoolFilePath);

// The whole hand-off; the caller holds the submission lock.
int DecodeSpoolFile(const CRecipientList& envelopeRecipients, const char* spoolFilePath);

// What becomes of the spool file after the hand-off: deleted (or kept as a
// debug copy while the primary log is on) when it succeeded; kept under an
// error name (n.zqx -> n.err, never matching "*.tmp") when it failed.
void FinishSpoolFile(const char* spoolFilePath, int decodeResult);

// The error name for a spool file that could not be handed on: its extension
// replaced by ".err", or, when that name is taken, "-<k>.err" added to its stem.
// Empty when no free name is found. Exposed for tests.
std::string FailedSpoolFileName(const char* spoolFilePath);
