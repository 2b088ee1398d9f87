// mime/Decoder.h: header parsing and body dispatch of the MIME decoder.
//
// HandleMessage decodes one entity (header block and body) from the reader:
// text bodies go to the message content file, other parts become attachment
// files in OUT listed in the attachment list, message/partial fragments are
// collected, and the header summary (FROM, TO, SUBJECT) goes to the envelope.
// The decoder never rejects a mail: malformed input gives warnings on standard
// error ("dekant: warning: ...") and best-effort output. It runs under the
// submission lock, one run at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "mime/PartReader.h"
#include "smtpin/RecipientList.h"

// Content-Transfer-Encoding: 0 none, 1 quoted-printable, 2 base64.
using TransferEncoding = int;
constexpr TransferEncoding kEncodingNone = 0;
constexpr TransferEncoding kEncodingQuotedPrintable = 1;
constexpr TransferEncoding kEncodingBase64 = 2;

// The parameters of a Content-Type value: positions into an owned copy of the
// value, one per parameter (name, "=", value as written, quotes kept).
struct ContentParams {
  std::unique_ptr<char[]> copy;    // the owned, compacted content type text
  std::vector<const char*> items;  // parameter positions into `copy`
};

void HandleMessage(PartReader& reader, const char* defaultType, int inAppleDouble,
                   const CRecipientList& envelopeRecipients);

// The value of parameter `name` (case-insensitive), unquoted; empty optional
// (nullptr) when absent. Returned whole, whatever its length.
std::unique_ptr<std::string> GetContentParam(const ContentParams* params, const char* name);

// "dekant: warning: <text>\n" on standard error.
void Warn(const char* text);
