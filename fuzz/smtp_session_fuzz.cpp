// fuzz/smtp_session_fuzz.cpp: an inbound SMTP session fed arbitrary client
// bytes through the connection's transport seam (no socket).
//
// Input: one byte choosing the size of the pieces the bytes arrive in (line
// reads must not depend on where a receive ends), then what the client
// sends; its end ends the connection. The hand-off queue takes nothing, so
// every acknowledged mail must stay in OUT as its checked spool file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "BufferSession.h"
#include "FuzzSandbox.h"
#include "smtpin/SMTPIn.h"
#include "smtpin/SMTPInThread.h"
#include "spool/CFileMan.h"
#include "spool/SpoolRecord.h"
#include "spool/StagedNames.h"

namespace {

constexpr std::size_t kPieceSizes[] = {1, 2, 3, 7, 64, 100, 101, 4096, 1 << 20};
constexpr std::string_view kAcknowledged = "250 Mail Received OK\r\n";
constexpr unsigned kMaxMessageSize = 2000;  // small, so that inputs reach the 552 too

SMTPIn* g_Server = nullptr;

std::size_t CountAcknowledged(const std::string& replies) {
  std::size_t count = 0;
  std::size_t start = 0;
  while (start < replies.size()) {
    const std::size_t end = replies.find("\r\n", start);
    FUZZ_CHECK(end != std::string::npos, "a reply does not end with CR LF");
    const std::string_view line(replies.data() + start, end - start);
    FUZZ_CHECK(line.size() >= 4 &&
                   std::all_of(line.begin(), line.begin() + 3, [](char c) { return c >= '0' && c <= '9'; }) &&
                   (line[3] == ' ' || line[3] == '-'),
               "a reply line without its code: " + std::string(line));
    if (line == kAcknowledged.substr(0, kAcknowledged.size() - 2)) ++count;
    start = end + 2;
  }
  return count;
}

// `sent`: the bytes the client sent, which bound what was stored.
void CheckSpool(std::size_t acknowledged, std::size_t sent) {
  const std::string out = FuzzSandbox().Out();
  std::size_t spoolFiles = 0;
  std::size_t staged = 0;
  std::size_t stored = 0;
  for (const std::string& name : CFuzzSandbox::Names(out)) {
    std::string number;
    std::string rest;
    if (ParseStagedName(name, number, rest)) {
      FUZZ_CHECK(rest == "ENV", "a staged file other than an envelope: " + name);
      FUZZ_CHECK(CFuzzSandbox::ReadFile(out + number + ".zqx").size() > 0,
                 "a staged envelope alone: " + name);
      ++staged;
      continue;
    }
    FUZZ_CHECK(name.size() > 4 && name.ends_with(".zqx"), "a stray file in OUT: " + name);
    CSpoolRecord record;
    std::string why;
    CFileIdentity identity;
    FUZZ_CHECK(ReadSpoolFile(out + name, true, record, why, identity) == SpoolFileState::kAcknowledged,
               "a spool file that does not check: " + name + " (" + why + ")");
    FUZZ_CHECK(!record.recipients.empty() && record.recipients.size() <= SMTPInThread::kMaxRecipients,
               "a stored mail without its recipients, or too many");
    const std::string mail = CFuzzSandbox::ReadFile(out + name).substr(0, record.dataLength);
    const std::size_t traceEnd = mail.find("\r\n");
    FUZZ_CHECK(mail.starts_with("Received: from ") && traceEnd != std::string::npos,
               "a stored mail without its trace line");
    stored += mail.size() - traceEnd - 2;
    ++spoolFiles;
  }
  FUZZ_CHECK(spoolFiles == acknowledged, "acknowledged mails and spool files differ in number");
  FUZZ_CHECK(stored <= sent, "more mail stored than the client sent");
  FUZZ_CHECK(staged == spoolFiles, "a spool file without its staged envelope");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzSandbox({{{"DomainName", "fax.example.com"}},
               {{"TmpIndex", 0}, {"OUTIndex", 0}, {"MaxMessageSize", kMaxMessageSize}}});
  static CFileMan files;
  static SMTPIn server;
  server.SetFileMan(&files);
  // Hand-offs are the decoder target's: here acknowledged mails stay in OUT.
  server.HandOffs().Stop(0);
  g_Server = &server;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = kPieceSizes[data[0] % std::size(kPieceSizes)];
  {
    CBufferSession session(AsText(data + 1, size - 1), piece);
    session.m_Server = g_Server;
    session.Run();
    FUZZ_CHECK(session.Replies().starts_with("220 "), "no greeting");
    CheckSpool(CountAcknowledged(session.Replies()), size - 1);
  }
  CFuzzSandbox::Clear(FuzzSandbox().Out());
  return 0;
}
