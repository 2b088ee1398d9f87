// mime/BodyOutput.h: where decoded leaf parts go. Text bodies are appended to
// the message content file; every other part becomes an attachment file
// OUT/ATT<n>.<ext> with one line in the attachment list.
//
// Runs inside one decoding run, under the submission lock (the attachment
// name counter and its in-use flag live in the registry).
#pragma once

#include <string>
#include <string_view>

#include "mime/Decoder.h"
#include "mime/PartReader.h"

// Longest original name written into the attachment list line; longer names
// are cut (the name is informational, the saved name is what counts).
constexpr std::size_t kMaxListedName = 200;

// 0 written, 1 not written.
int SaveTextBody(PartReader& reader, TransferEncoding encoding);

// `disposition` and `contentMd5` point into the header block that ends at
// `headerEnd` (either may be null). 0 written, 1 not written.
int SaveAttachment(PartReader& reader, const char* type, const ContentParams& params,
                   TransferEncoding encoding, const char* disposition, const char* contentMd5,
                   const char* headerEnd);

// The extension of a saved attachment: up to 3 characters after the first "."
// of the original name, letters and digits only.
std::string AttachmentExtension(std::string_view originalName);

// The original name listed for a part that carries none: "attachment" and an
// extension that suits its type.
std::string GeneratedAttachmentName(std::string_view type);

// The original name as the list line carries it: one line, without the
// characters that frame the line (":", "<", ">"), cut to kMaxListedName.
std::string ListedAttachmentName(std::string_view originalName);
