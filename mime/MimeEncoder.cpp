// mime/MimeEncoder.cpp: attachment encoder, content type detection and
// identifiers. Stateless; safe on any thread.
#include "mime/MimeEncoder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "mime/Base64.h"
#include "mime/TextEncoding.h"
#include "platform/File.h"

namespace {

struct ContentSignature {
  const char* type;
  unsigned char lead[4];
  std::size_t length;
};

constexpr ContentSignature kSignatures[] = {
    {"image/gif", {'G', 'I', 'F'}, 3},
    {"image/jpeg", {0xFF, 0xD8, 0xFF}, 3},
    {"video/mpeg", {0x00, 0x00, 0x01, 0xB3}, 4},
    {"application/postscript", {'%', '!'}, 2},
};

constexpr std::size_t LongestSignature() {
  std::size_t longest = 0;
  for (const auto& s : kSignatures) longest = s.length > longest ? s.length : longest;
  return longest;
}

constexpr std::size_t kProbeLength = LongestSignature();

}  // namespace

const char* DetectContentType(CStdioFile& input) {
  unsigned char lead[kProbeLength] = {};
  input.Rewind();
  const std::size_t got = input.Read(lead, kProbeLength);
  input.Rewind();
  for (const auto& s : kSignatures) {
    if (s.length <= got && std::memcmp(s.lead, lead, s.length) == 0) return s.type;
  }
  return "application/octet-stream";
}

void EncodePart(CStdioFile& input, const char* displayName, std::string_view lineEnd, std::string& out) {
  const char* type = DetectContentType(input);
  const std::string d = displayName ? displayName : "";
  const std::string end(lineEnd);
  // A plain name goes in as it is. One with a quote or a backslash is escaped
  // in its quoted strings; one with 8-bit or control bytes is encoded (RFC
  // 2047 for the type's name and the description, RFC 2231 for the file
  // name), since the mail travels over a 7-bit session.
  std::string name = "\"" + d + "\"", filename = "filename=" + name, description = d;
  if (!IsPlainAscii(d)) {
    const char* charset = CharsetOf(d);
    description = EncodedWords(d, charset, end + " ");
    name = "\"" + EncodedWords(d, charset, " ") + "\"";
    filename = "filename*=" + ExtendedParameterValue(d, charset);
  } else if (d.find_first_of("\"\\") != std::string::npos) {
    name = QuotedString(d);
    filename = "filename=" + name;
  }
  out.reserve(out.size() + 256 + 4 * d.size());
  out += "Content-Type: ";
  out += type;
  out += ";" + end + "        name=" + name + end;
  out += "Content-Transfer-Encoding: base64" + end;
  out += "Content-Disposition: attachment;" + end + "        " + filename + end;
  out += "Content-Description: " + description + end + end;
  Base64EncodeAppend(input, lineEnd, out);
}

int EncodeFile(CStdioFile& input, const char* inputPath, const char* outputName, const char* displayName) {
  (void)inputPath;  // the display name, never the local path, goes into the mail
  CStdioFile output = CStdioFile::Open(outputName, "w");
  if (!output.IsOpen()) {
    std::perror(outputName);
    return 1;
  }
  std::string part;
  EncodePart(input, displayName, "\n", part);  // the output's text mode makes each LF a CR LF
  output.Write(part.data(), part.size());
  // A part cut short by a failed write must not pass for the whole file.
  if (!output.Close()) {
    std::perror(outputName);
    return 1;
  }
  return 0;
}

std::int32_t os_genid(char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return -1;
  const char* host = std::getenv("HOSTNAME");
  if (host == nullptr) host = "random-pc";
  const int n = std::snprintf(buffer, size, "%lu@%s", static_cast<unsigned long>(std::time(nullptr)), host);
  if (n < 0 || static_cast<std::size_t>(n) >= size) return -1;
  return n;
}
