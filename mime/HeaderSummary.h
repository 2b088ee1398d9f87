// mime/HeaderSummary.h: which To and Cc addresses of a mail become fax
// recipients, and the FROM, TO and SUBJECT lines each header block adds to the
// envelope of the submission.
//
// An address is accepted when the SMTP envelope confirms it (same bare
// address, case ignored), when there is no envelope to ask and its user part
// is a fax number, or when OverrideAddressCheck is on. The envelope is read by
// the fax server line by line, so every text written there is made a single
// line first. Runs inside one decoding run, under the submission lock.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mime/EnvelopeCheck.h"
#include "mime/RecipientList.h"

using CFaxRecipients = std::vector<std::string>;  // formatted "\"name\" <address>" texts

// Entries of a To or Cc header longer than this are refused, never cut: a cut
// address could name another fax number.
constexpr std::size_t kMaxRecipientEntry = 249;

// The entry unchanged when it is a fax recipient, else the empty text. One
// look-up in the envelope however many recipients it has.
std::string GetDetailsEx(const CEnvelopeCheck& envelope, std::string_view entry);

// Adds the accepted addresses of the header text [start, end) to `recipients`.
void ExtractRecipients(const char* start, const char* end, const CEnvelopeCheck& envelope,
                       CFaxRecipients& recipients);

// Decodes the first RFC 2047 encoded word of `text` in place (Q or B).
void DecodeEncodedWord(std::string& text);

// Replaces CR, LF and every other control character by a space, so that the
// text cannot add a line to the envelope.
void MakeSingleLine(std::string& text);

// Appends FROM, the sorted distinct TO lines and SUBJECT to the envelope at
// `envelopePath`. 0 written, 1 the envelope could not be opened or written.
int WriteHeaderSummary(const std::string& envelopePath, std::string sender, std::string subject,
                       CFaxRecipients recipients);
