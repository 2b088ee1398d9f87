// fuzz/header_summary_fuzz.cpp: the header summary and the address helpers
// on arbitrary header blocks and addresses.
//
// Input, in parts separated by lines "%%NEXT%%": the SMTP envelope (one RCPT
// argument a line, none when empty), a mail's header block, and a text given
// to the address helpers and the recipient check directly.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSandbox.h"
#include "SubmissionRules.h"
#include "base/Text.h"
#include "mime/Address.h"
#include "mime/EnvelopeCheck.h"
#include "mime/HeaderParser.h"
#include "mime/HeaderSummary.h"
#include "mime/PartReader.h"
#include "spool/Submission.h"

namespace {

CRecipientList EnvelopeOf(std::string_view text) {
  CRecipientList list;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    list.emplace_back(text.substr(0, lf));
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return list;
}

// A formatted recipient "\"name\" <address>" (the name holds no quote): only
// fax numbers when no envelope confirms addresses.
void CheckRecipient(const std::string& formatted, bool faxNumbersOnly) {
  FUZZ_CHECK(formatted.size() >= 5 && formatted.front() == '"' && formatted.back() == '>',
             "a recipient is not formatted: " + formatted);
  FUZZ_CHECK(formatted.find_first_of("\r\n") == std::string::npos, "a recipient spans lines: " + formatted);
  const std::size_t open = formatted.find("\" <", 1);
  FUZZ_CHECK(open != std::string::npos, "a recipient without its address: " + formatted);
  if (!faxNumbersOnly) return;
  const std::string address = formatted.substr(open + 3, formatted.size() - open - 4);
  const std::size_t at = address.find('@');
  const std::string user = at == std::string::npos || at == 0 ? address : address.substr(0, at);
  for (const char c : user) {
    FUZZ_CHECK((c >= '0' && c <= '9') || c == '+' || c == '-',
               "a recipient that is no fax number was accepted without an envelope: " + formatted);
  }
}

// The envelope entry an address matches when each RCPT argument is compared
// in turn: the first with the same bare address, up to the first one without
// an address (nothing after "TO:" but blanks), which ends the comparison.
std::size_t FindInOrder(const CRecipientList& envelope, std::string_view bare) {
  for (std::size_t i = 0; i < envelope.size(); ++i) {
    if (envelope[i].size() <= 3 || envelope[i].find_first_not_of(" \t", 3) == std::string::npos) break;
    if (EqualsNoCase(BareAddress(envelope[i]), bare)) return i;
  }
  return CEnvelopeCheck::kNone;
}

void CheckEnvelopeLookUp(const CRecipientList& envelope, std::string_view text) {
  const CEnvelopeCheck check(envelope);
  std::vector<std::string> asked{BareAddress(text)};
  for (const std::string& entry : envelope) asked.push_back(BareAddress(entry));
  for (const std::string& bare : asked) {
    FUZZ_CHECK(check.Find(bare) == FindInOrder(envelope, bare),
               "the envelope set and the comparison in order disagree on " + bare);
  }
}

void HeaderBlockRun(std::string_view header, const CRecipientList& envelope) {
  const std::string out = FuzzSandbox().Out();
  CFuzzSandbox::WriteFile(FuzzSandbox().Root() + "header", header);
  CSubmission submission(out, "1");
  CFuzzSandbox::WriteFile(submission.EnvelopePath(), "");
  {
    std::unique_ptr<PartReader> reader = PartOpen(CStdioFile::Open(FuzzSandbox().Root() + "header", "r"));
    reader->submission = &submission;
    HeaderInfo info;
    ReadHeaders(*reader, info, envelope);
    PartClose(reader);
  }
  std::vector<std::string> named;
  CheckSubmissionEnvelope(CFuzzSandbox::ReadFile(submission.EnvelopePath()), false, named);
  submission.Withdraw();
  CFuzzSandbox::Clear(out);
}

void HelperRun(std::string_view text, const CRecipientList& envelope) {
  for (const int withName : {0, 1}) {
    const std::string formatted = FormatAddress(text, withName);
    FUZZ_CHECK(formatted.find_first_of("\r\n") == std::string::npos, "a formatted address spans lines");
  }
  const std::string bare = BareAddress(text);
  FUZZ_CHECK(bare.find('<') == std::string::npos, "a bare address keeps a '<'");
  FUZZ_CHECK(AddressUser(text).size() <= bare.size(), "the user part is longer than the address");
  (void)IsFaxNumberAddress(text);

  CFaxRecipients recipients;
  ExtractRecipients(text.data(), text.data() + text.size(), envelope, recipients);
  for (const std::string& r : recipients) CheckRecipient(r, envelope.empty());
  CheckEnvelopeLookUp(envelope, text);

  std::string decoded(text);
  DecodeEncodedWord(decoded);
  MakeSingleLine(decoded);
  for (const char c : decoded) {
    FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f, "MakeSingleLine left a control character");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzSandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> parts = SplitInputs(AsText(data, size), 3);
  const CRecipientList envelope = EnvelopeOf(parts[0]);
  if (parts.size() > 1) HeaderBlockRun(parts[1], envelope);
  if (parts.size() > 2) HelperRun(parts[2], envelope);
  return 0;
}
