// smtpout/Compose.h: an outbound message file of the fax server made into the
// mail that the SMTP client sends, the receiver found in that mail, and one
// attachment source file made into a MIME part of it.
//
// The message file is read as lines of at most 259 bytes: header lines, an
// empty line, "BEGIN BODY", an empty line, the body, an empty line, "END BODY",
// an empty line, and optionally "BEGIN ATTACH", one "<<display:file>>" line per
// file in IN, "END ATTACH". The mail file gets the header lines, a MIME header
// block, the body, one base64 part per attachment and the final "." line.
// What a receiver would refuse is mended on the way: Date and Message-ID
// fields are added when the message has none, line ends become CR LF, 8-bit
// or overlong text is encoded (quoted-printable bodies, encoded words in
// header fields), and a part delimiter is written only before a part.
//
// Threading: called on the outbound main thread only; no state between calls.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/File.h"

class SMTPOut;

// ComposeMessage results.
constexpr int kComposeNotToBeSent = 0;  // no SUBJECT: line, or a report switched off
constexpr int kComposeToBeSent = 1;
constexpr int kComposeFailed = -1;       // the mail file could not be written whole: keep the message
constexpr int kComposeNoHeaderEnd = -2;  // no "BEGIN BODY" between empty lines: header and body unknown
constexpr int kComposeChanged = -3;      // the message file changed while it was read: not whole yet

// Writes the mail for `message` into `mail` (both left at their start).
// `attachmentPaths` gets the path of every attachment source file named in the
// message, in order, whether or not it was encoded into the mail. Only the
// bytes the message file held when composition began are read.
int ComposeMessage(CFile& message, CFile& mail, SMTPOut& object, std::vector<std::string>& attachmentPaths);

// The receiver named by the first header field of the mail that begins with
// "TO:" (case ignored): "TO: <ADDRESS>" with the bare address in capitals,
// into `receiver` (capacity `size`). 0 found; 1 the header has no such field,
// or the first one names no mailbox that fits (the body is never searched,
// nor a later field). The mail file is left at its start.
int FindRecipient(CFile& mail, char* receiver, std::size_t size);

// Appends `delimiter`, the MIME part of the file at `path`, named
// `displayName`, and an empty line to `mail`; nothing when the part cannot be
// made. The part is made in memory and written in one piece (no work file).
// 0 written; 1 the source cannot be opened (or is no plain file); 2 the source
// could not be read whole; 4 the part could not be written into the mail file
// whole (the mail is then unusable).
int EncodeAttachment(const char* path, CFile& mail, SMTPOut& object, const char* displayName,
                     const std::string& delimiter = "");
