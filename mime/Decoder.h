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

#include "mime/EnvelopeCheck.h"
#include "mime/PartReader.h"

// Content-Transfer-Encoding: 0 none, 1 quoted-printable, 2 base64.
using TransferEncoding = int;
constexpr TransferEncoding kEncodingNone = 0;
constexpr TransferEncoding kEncodingQuotedPrintable = 1;
constexpr TransferEncoding kEncodingBase64 = 2;

// The parameters of a Content-Type value: positions into an owned copy of the
// value, one per parameter (name, "=", value as written, quotes kept).
struct ContentParams {
  std::unique_ptr<char[]> copy;    // the owned, compacted content type text
  std::vector<const char*> items;  // parameter positions into `copy`; empty: no parameters
};

// Entities nested deeper than this (multipart levels and enclosed messages
// together, across reassembled split mails too) are dropped with a warning:
// the decoder recurses, and connection threads have small stacks.
constexpr int kMaxNestingDepth = 64;

void HandleMessage(PartReader& reader, const char* defaultType, int inAppleDouble,
                   const CEnvelopeCheck& envelope);
void HandleMultipart(PartReader& reader, const char* type, const ContentParams& params,
                     const CEnvelopeCheck& envelope);

// The value of parameter `name` (case-insensitive), unquoted; empty optional
// (nullptr) when absent. Returned whole, whatever its length.
std::unique_ptr<std::string> GetContentParam(const ContentParams* params, const char* name);

// "dekant: warning: <text>\n" on standard error.
void Warn(const char* text);

// Allocation that ends the process with "Memory exhausted\n" on standard
// error (exit code 1) instead of failing.
void* AllocOrExit(std::size_t size);
void* ReallocOrExit(void* block, std::size_t size);
[[noreturn]] void MemoryExhausted();

// A file the submission needs could not be written (envelope, message content,
// attachment or its list line). The hand-off asks after the run and keeps the
// received mail instead of handing on an incomplete submission. Counted per
// thread: one decoding run per thread at a time.
void NoteOutputFailure();
void ResetOutputFailures();
int OutputFailures();
