// fuzz/SubmissionRules.h: what the fax server may rely on in an envelope the
// gateway wrote: header summary lines, each one line (FROM, TO, SUBJECT),
// the body block naming its body file, and an attachment block whose lines
// each name one saved attachment. Used by the fuzz targets that write one.
#pragma once

#include <string>
#include <vector>

// Checks the envelope text (as stored: CR LF line ends), ending the process
// with the broken rule otherwise. `complete`: the body block and what follows
// must be there (a finished submission), else only header summary lines.
// The body and attachment file names it refers to go to `named`.
void CheckSubmissionEnvelope(const std::string& text, bool complete, std::vector<std::string>& named);
