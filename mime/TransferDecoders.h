// mime/TransferDecoders.h: the base64, quoted-printable and identity decoders
// that write one body part to a file, optionally with the MD5 digest text of
// the decoded data (for a Content-MD5 check).
//
// They read the part through the PartReader to its end (end of file or a
// delimiter) and stream: memory use does not depend on the part's size. One
// decoding run per thread.
#pragma once

#include <string>

#include "mime/PartReader.h"

class CStdioFile;

// suppressCR 1: decoded CR bytes are not written (they still count in the digest).
void DecodeBase64(PartReader& reader, CStdioFile& out, std::string* digestOut, int suppressCR);
void DecodeQuotedPrintable(PartReader& reader, CStdioFile& out, std::string* digestOut);
void CopyPart(PartReader& reader, CStdioFile& out, std::string* digestOut);
