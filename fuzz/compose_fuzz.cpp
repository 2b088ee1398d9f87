// fuzz/compose_fuzz.cpp: the outbound composition on arbitrary message files.
//
// Input: one byte choosing the settings (IncludeTIFF, SubjectLine,
// NotifyOnSuccess, NotifyOnFailure, MailFrom), then the message file; IN
// holds attachment sources its lines may name. A mail to be sent must be
// what a strict receiver takes over a plain session: 7-bit lines of at most
// 998 octets ended by CR LF.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSandbox.h"
#include "mime/Address.h"
#include "platform/Registry.h"
#include "smtpout/Compose.h"
#include "smtpout/SMTPOut.h"
#include "spool/CFileMan.h"

namespace {

constexpr int kVariants = 32;
constexpr std::size_t kReceiverSize = 200;

std::int32_t FixedIdentifier(char* buffer, std::size_t size) {
  return std::snprintf(buffer, size, "%s", "1700000000@fuzz-host");
}

// The file manager and deliverer of one settings variant, made on first use
// (the settings are read when they are constructed).
SMTPOut& Variant(int index) {
  static std::unique_ptr<CFileMan> files[kVariants];
  static std::unique_ptr<SMTPOut> outs[kVariants];
  std::unique_ptr<SMTPOut>& out = outs[index];
  if (!out) {
    CRegKey key;
    CRegKey::Create(kGatewayKey, key);
    RegWriteDword(key, "IncludeTIFF", index & 1);
    RegWriteDword(key, "SubjectLine", (index >> 1) & 1);
    RegWriteDword(key, "NotifyOnSuccess", (index >> 2) & 1);
    RegWriteDword(key, "NotifyOnFailure", (index >> 3) & 1);
    RegWriteString(key, "MailFrom", (index >> 4) & 1 ? "fax-gateway@fax.example.com" : "");
    files[index] = std::make_unique<CFileMan>();
    out = std::make_unique<SMTPOut>();
    out->fileMan = files[index].get();
    out->SetIdentifierSource(FixedIdentifier);
  }
  return *out;
}

void WriteAttachmentSources(const std::string& in) {
  std::string tif = "II*";
  for (int i = 0; i < 300; ++i) tif.push_back(static_cast<char>(i * 7));
  CFuzzSandbox::WriteFile(in + "F0001.tif", tif);
  CFuzzSandbox::WriteFile(in + "F0001.pdf", "%PDF-1.4\n%%EOF\n");
  CFuzzSandbox::WriteFile(in + "F0002.gif", "GIF89a");
}

// A field name (printable ASCII, blanks allowed before the colon) and its colon.
bool IsFieldLine(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view name = line.substr(0, colon);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzSandbox({{{"DNSName", "127.0.2.53"}}, {{"AdvancedOptions", 1}}});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  SMTPOut& object = Variant(data[0] % kVariants);
  const std::string in = FuzzSandbox().In();
  WriteAttachmentSources(in);
  CFuzzSandbox::WriteFile(in + "msg.tmp", AsText(data + 1, size - 1));

  std::string mailText;
  bool toBeSent = false;
  {
    CFile message =
        CFile::Open(in + "msg.tmp", FileAccess::kRead, FileShare::kNone, FileCreation::kOpenExisting);
    CFile mail =
        CFile::Open(in + "9.zqx", FileAccess::kReadWrite, FileShare::kNone, FileCreation::kCreateAlways);
    FUZZ_CHECK(message.IsValid() && mail.IsValid(), "cannot open the work files");
    std::vector<std::string> paths;
    const int result = ComposeMessage(message, mail, object, paths);
    FUZZ_CHECK(result == kComposeToBeSent || result == kComposeNotToBeSent || result == kComposeNoHeaderEnd,
               "the composition failed");
    toBeSent = result == kComposeToBeSent;
    FUZZ_CHECK(message.Seek(0, FileSeek::kCurrent) == 0 && mail.Seek(0, FileSeek::kCurrent) == 0,
               "a file is not left at its start");
    for (const std::string& path : paths) {
      const std::string name = path.substr(std::min(path.size(), in.size()));
      FUZZ_CHECK(path.starts_with(in) && !name.empty() && name != "." && name != ".." &&
                     name.find_first_of("/\\") == std::string::npos,
                 "an attachment path outside IN: " + path);
    }
    char receiver[kReceiverSize];
    if (FindRecipient(mail, receiver, sizeof receiver) == 0) {
      const std::string found = receiver;
      FUZZ_CHECK(found.size() > 6 && found.starts_with("TO: <") && found.ends_with('>') &&
                     IsMailbox(found.substr(5, found.size() - 6)),
                 "a receiver that is not one bracketed mailbox on one line: " + found);
    }
    FUZZ_CHECK(mail.Seek(0, FileSeek::kCurrent) == 0, "FindRecipient moved the mail file");
  }
  mailText = CFuzzSandbox::ReadFile(in + "9.zqx");
  // The dialogue sends the mail before its final ".\r\n", ending its last line first.
  FUZZ_CHECK(mailText.ends_with(".\r\n"), "the mail does not end with its final line");
  bool inHeader = true;
  for (std::size_t start = 0, end; toBeSent && start < mailText.size(); start = end + 2) {
    end = mailText.find("\r\n", start);
    FUZZ_CHECK(end != std::string::npos, "the mail ends without its line end");
    const std::string_view line(mailText.data() + start, end - start);
    inHeader = inHeader && !line.empty();
    // The header ends only at its empty line: every line before is a field or its continuation.
    FUZZ_CHECK(!inHeader || line[0] == ' ' || line[0] == '\t' || IsFieldLine(line),
               "a header line that is no field: " + std::string(line.substr(0, 100)));
    FUZZ_CHECK(line.size() <= 998, "a line longer than 998 octets");
    FUZZ_CHECK(std::none_of(line.begin(), line.end(),
                            [](char c) { return c == '\r' || c == '\n' || static_cast<unsigned char>(c) >= 0x80; }),
               "a bare line end or an 8-bit byte in a mail to be sent: " + std::string(line.substr(0, 100)));
  }
  for (const std::string& name : CFuzzSandbox::Names(in)) {
    FUZZ_CHECK(!name.starts_with("At"), "the encoder's work file stayed: " + name);
  }
  CFuzzSandbox::Clear(in);
  return 0;
}
