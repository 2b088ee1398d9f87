// smtpin/SpoolRecovery.h: what a start finds in OUT after the process ended
// without handing off everything it had taken (a crash, a kill, a power cut,
// a stop that could not wait).
//
// RecoverSpool looks at every spool file and every staged file in OUT:
//  - a spool file whose mail was never acknowledged (no record, staged
//    envelope beside it) is removed with its staged files: its client sends
//    the mail again;
//  - an acknowledged spool file whose staged envelope is gone was handed off
//    (the envelope's rename to ENV<m>.tmp completes a hand-off): it is
//    finished as a handed-off one (deleted, or kept as a debug copy);
//  - an acknowledged spool file with its staged envelope still there was not:
//    every file its unfinished hand-off made (staged files, and the final
//    names it had given them as second names) is withdrawn, and the mail is
//    returned to be handed off again, in the order in which the mails were
//    acknowledged;
//  - anything else named like a spool file (foreign, damaged, empty, a
//    directory) is kept aside under an ".err" name and logged;
//  - staged files without a spool file, and the work files of a decoding that
//    was cut (Msgcnt.imp, ~ATTC*.imp), are removed.
// Runs once at start, before the listener accepts a client and before any
// hand-off runs, on the starting thread.
#pragma once

#include <string>
#include <vector>

#include "spool/SpoolRecord.h"

struct CRecoveredMail {
  std::string spoolFile;  // full path
  CSpoolRecord record;
};

// `outDirectory` ends with the path separator.
std::vector<CRecoveredMail> RecoverSpool(const std::string& outDirectory);
