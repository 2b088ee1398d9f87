// spool/StagedNames.h: the names under which a submission is built in OUT
// before the fax server may see it.
//
// Every file of the submission for the spool file OUT/<n>.zqx is written
// under "~<n>~" followed by its final name ("~17~ATT5.pdf", "~17~ENV9.bdy"),
// and the envelope as "~17~ENV" until its rename to ENV<m>.tmp completes the
// submission. The fax server takes nothing by such a name, and after a crash
// every leftover of an unfinished hand-off is found by it. The staged
// envelope is made before the spool file itself and lives until that final
// rename, so its presence beside an acknowledged spool file means "not yet
// handed off" and its absence "handed off".
//
// Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

// "17" for ".../OUT/17.zqx": the file name without its extension.
std::string SpoolNumber(std::string_view spoolPath);

// "~17~": the prefix of every staged file of spool number `number`.
std::string StagedPrefix(std::string_view number);
// "~17~ENV": the staged envelope.
std::string StagedEnvelopeName(std::string_view number);
// "~17~" + finalName.
std::string StagedName(std::string_view number, std::string_view finalName);

// Splits a staged name "~<digits>~<rest>" into the number and the rest (the
// final name, or "ENV" for the envelope). False for any other name.
bool ParseStagedName(std::string_view name, std::string& number, std::string& rest);
