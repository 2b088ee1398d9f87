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
//    acknowledged; unless its staged body is a second name of the body of a
//    complete job (ENV<m>.bdy beside ENV<m>.tmp): that mail was handed off,
//    and the staged envelope was made later for its number drawn again;
//  - anything else named like a spool file (foreign, damaged, empty, a
//    directory) is kept aside under an ".err" name and logged; its staged
//    files go only once it is kept;
//  - a spool file that cannot be read now (an I/O error), or cannot be kept
//    aside, is left as it is, with everything beside it, and returned to be
//    judged again later: nothing is removed that is not first known to be
//    handed off, never acknowledged, or kept;
//  - staged files without a spool file, and the work files of a decoding that
//    was cut (Msgcnt.imp, ~ATTC*.imp), are removed.
// Runs once at start, before the listener accepts a client and before any
// hand-off runs, on the starting thread; RecoverSpoolFile judges one spool
// file again later, on a hand-off thread.
#pragma once

#include <string>
#include <vector>

#include "platform/File.h"
#include "spool/SpoolRecord.h"

struct CRecoveredMail {
  std::string spoolFile;  // full path
  CSpoolRecord record;
  CFileIdentity identity;  // the file judged
};

struct CSpoolRecovery {
  std::vector<CRecoveredMail> handOff;  // in the order acknowledged
  std::vector<std::string> later;       // spool files (full paths) to judge again later
};

// `outDirectory` ends with the path separator.
CSpoolRecovery RecoverSpool(const std::string& outDirectory);

enum class RecoveryOutcome {
  kHandOff,   // acknowledged, not handed off: `mail` is filled
  kSettled,   // nothing more to do for it
  kTryLater,  // left as it is
};
// Judges the spool file `name` of OUT, as RecoverSpool does, with the staged
// names of its number found now.
RecoveryOutcome RecoverSpoolFile(const std::string& outDirectory, const std::string& name,
                                 CRecoveredMail& mail);

// A spool file that could not be read however often it was tried: kept
// aside as ".err" (logged with `why`), then its staged names removed; only
// while `path` still names the file `identity` (when known). False when it
// could not be kept aside: then nothing was changed.
bool KeepAsideSpoolFile(const std::string& outDirectory, const std::string& path,
                        const CFileIdentity& identity, const std::string& why);
