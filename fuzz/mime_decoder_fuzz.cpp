// fuzz/mime_decoder_fuzz.cpp: the MIME decoder, through the whole hand-off
// (stage and commit), on arbitrary mail files.
//
// Input: up to four mails separated by lines "%%NEXT%%", so that split mails
// (message/partial) can complete within one input. The decoder never rejects
// a mail: every hand-off must complete with an envelope naming exactly the
// files it left in OUT.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "FuzzSandbox.h"
#include "SubmissionRules.h"
#include "smtpin/Decode.h"

namespace {

constexpr std::size_t kMailsPerInput = 4;
// Envelope blocks and generated names: what a hand-off writes beyond the mail's own bytes.
constexpr std::uintmax_t kFixedOutput = 16 * 1024;

// `inputSize`: the bytes of the whole input, which bound what a hand-off can
// write (decoding only shrinks, and split mails join fragments of this input).
void CheckHandOff(const std::string& spoolName, std::size_t inputSize) {
  const std::string out = FuzzSandbox().Out();
  std::set<std::string> left;
  std::string envelope;
  std::uintmax_t written = 0;
  for (const std::string& name : CFuzzSandbox::Names(out)) {
    if (name == spoolName) continue;
    std::error_code ignored;
    written += std::filesystem::file_size(out + name, ignored);
    FUZZ_CHECK(name[0] != '~', "a staged file is left after the hand-off: " + name);
    // An attachment may be ATT<n>.tmp too: only ENV<m>.tmp is an envelope.
    if (name.size() > 7 && name.starts_with("ENV") && name.ends_with(".tmp")) {
      FUZZ_CHECK(envelope.empty(), "two envelopes for one mail");
      envelope = name;
    } else {
      left.insert(name);
    }
  }
  FUZZ_CHECK(!envelope.empty(), "no envelope after the hand-off");
  FUZZ_CHECK(written <= 3 * inputSize + kFixedOutput, "the hand-off wrote far more than the mail holds");
  std::vector<std::string> named;
  CheckSubmissionEnvelope(CFuzzSandbox::ReadFile(out + envelope), true, named);
  const std::set<std::string> namedSet(named.begin(), named.end());
  FUZZ_CHECK(namedSet.size() == named.size(), "the envelope names a file twice");
  FUZZ_CHECK(namedSet == left, "the files in OUT are not those the envelope names");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzSandbox({{}, {{"TmpIndex", 0}, {"OUTIndex", 0}, {"OUTIndexAtt", 0}}});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = AsText(data, size);
  const std::string out = FuzzSandbox().Out();
  int number = 1;
  for (const std::string_view mail : SplitInputs(input, kMailsPerInput)) {
    const std::string spoolName = std::to_string(number++) + ".zqx";
    CFuzzSandbox::WriteFile(out + spoolName, mail);
    CSpoolRecord record;
    record.dataLength = mail.size();
    FUZZ_CHECK(DecodeSpoolFile((out + spoolName).c_str(), record) == 0, "the hand-off failed");
    CheckHandOff(spoolName, size);
    CFuzzSandbox::Clear(out);
  }
  CFuzzSandbox::Clear(FuzzSandbox().Tmp());
  return 0;
}
