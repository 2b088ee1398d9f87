// mime/MimeEncoder.h: one outbound attachment as a complete base64 MIME part,
// the content type guess from a file's first bytes, and the identifier that
// names the boundary of each outbound mail.
//
// Stateless apart from the files passed in; safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CStdioFile;

// The type of the file from its first bytes (GIF, JPEG, MPEG, PostScript),
// else "application/octet-stream". The file is left at its start.
const char* DetectContentType(CStdioFile& input);

// Writes the header lines of one attachment part, an empty line and the
// base64 text of `input` (open for binary reading, left open) into a new text
// file `outputName`. `displayName` names the part; `inputPath` is for the
// caller's logs only. 0 done, 1 the output cannot be created or written
// whole (reported on standard error).
int EncodeFile(CStdioFile& input, const char* inputPath, const char* outputName, const char* displayName);
// The same part appended to `out`, each line ended by `lineEnd` (the mail's
// CR LF, so that no work file is needed). Check input.Error() afterwards: a
// source that could not be read to its end makes a part that looks whole.
void EncodePart(CStdioFile& input, const char* displayName, std::string_view lineEnd, std::string& out);

// "<seconds since 1970>@<HOSTNAME or random-pc>" into buffer (capacity size).
// The characters written, or a negative value when it does not fit.
std::int32_t os_genid(char* buffer, std::size_t size);
