// mime/HeaderParser.h: reading one header block and picking the fields the
// decoder needs (Content-Type and its parameters, the transfer encoding, the
// disposition file name, Content-MD5, From, Subject, To and Cc).
//
// Every position handed out points into the header block, which is one
// NUL-terminated text starting with a LF; a value runs to the end of the block
// unless its consumer stops at the end of its line. Positions are paired with
// the block's end so that no scan can run past it. Pure functions over the
// block; one decoding run per thread.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>

#include "mime/Decoder.h"
#include "mime/EnvelopeCheck.h"
#include "mime/PartReader.h"

// A header block grows without a fixed limit up to this size; header lines
// beyond it are read and dropped with a warning, so a header that never ends
// cannot exhaust memory.
constexpr std::size_t kMaxHeaderBlock = 1 << 20;

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

struct HeaderBlock {
  std::unique_ptr<char, FreeDeleter> text;  // NUL-terminated; starts with a LF
  std::size_t length = 0;                   // bytes before the terminator
  const char* begin() const { return text.get(); }
  const char* end() const { return text.get() + length; }
};

// The out-values of ReadHeaders; each null when the header is absent.
struct HeaderInfo {
  const char* contentType = nullptr;
  TransferEncoding encoding = kEncodingNone;
  const char* disposition = nullptr;
  const char* contentMd5 = nullptr;
};

// Reads the header block of the next entity, picks its fields, hands its To
// and Cc addresses to the recipient check and writes the header summary of
// the block when it has a sender or an accepted recipient.
HeaderBlock ReadHeaders(PartReader& reader, HeaderInfo& info, const CEnvelopeCheck& envelope);

// Skips white space and (nested) comments. nullptr when the value ends first
// (a LF not followed by a space or tab, or the end of the block).
const char* SkipBlanksAndComments(const char* p, const char* end);

TransferEncoding ParseTransferEncoding(const char* p, const char* end);

// Copies the Content-Type field at `value`, compacts the media type (no
// blanks, no comments) and splits the parameters. The type is params.copy.get();
// params.items is empty when the value has no parameters.
void ParseContentType(const char* value, const char* end, ContentParams& params);

// The "filename" parameter after the disposition value; the scan runs to the
// end of the header block. nullptr when there is none.
std::unique_ptr<std::string> GetDispositionFilename(const char* disposition, const char* end);

// The header value at `value` up to its line end, joined with following lines
// that start with a tab (LF and tab removed).
std::string GetHeaderText(const char* value, const char* end);
