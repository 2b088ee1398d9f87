// tests/unit/MimeTestSupport.h: running the MIME decoder over mail text in a
// sandboxed spool (hive, ProgramPath with IN/ and OUT/, TMP), and reading back
// what it wrote. One test thread at a time.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SpoolTestSupport.h"
#include "mime/Decoder.h"
#include "mime/PartReader.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "spool/Submission.h"

// `from` → `to` at every line end: LF → CR LF as the session stores mail, and back.
inline std::string WithLineEnds(const std::string& text, const char* from, const char* to) {
  std::string out;
  for (std::size_t at = 0, end; at < text.size(); at = end + std::strlen(from)) {
    end = std::min(text.find(from, at), text.size());
    out.append(text, at, end - at);
    if (end < text.size()) out += to;
  }
  return out;
}
inline std::string AsStored(const std::string& lfText) { return WithLineEnds(lfText, "\n", "\r\n"); }

// A reader over `lfText` stored as the session stores mail, read back in text mode.
inline std::unique_ptr<PartReader> ReaderOver(const std::string& path, const std::string& lfText) {
  WriteWholeFile(path, AsStored(lfText));
  CStdioFile file = CStdioFile::Open(path, "r");
  EXPECT_TRUE(file.IsOpen()) << path;
  return PartOpen(std::move(file));
}

// A spool as a hand-off finds it: counters at 0, FileName drawn, spool file 1's
// staged envelope, an empty message content file and list; TMP in the sandbox.
class DecoderSandbox : public SpoolSandbox {
 public:
  DecoderSandbox() {
    WithProgramPath();
    for (const char* counter : {"OUTIndex", "OUTIndexAtt", "TmpIndex"}) SetNumber(counter, 0);
    SetText("FileName", EnvelopePath());
    for (const std::string& file : {EnvelopePath(), Out() + "Msgcnt.imp", ListPath()})
      WriteWholeFile(file, "");
    std::filesystem::create_directory(Tmp());
    if (const char* old = std::getenv("TMP")) m_OldTmp = old;
    SetEnvironmentValue("TMP", Tmp().c_str());
  }
  ~DecoderSandbox() { SetEnvironmentValue("TMP", m_OldTmp ? m_OldTmp->c_str() : nullptr); }

  // HandleMessage over `lfText` into a submission, completed as the hand-off
  // does; the output failures.
  int Decode(const std::string& lfText, const CRecipientList& envelope = {}) {
    std::unique_ptr<PartReader> reader = ReaderOver(Root() + "mail.zqx", lfText);
    std::snprintf(reader->attachmentList, sizeof reader->attachmentList, "%s", ListPath().c_str());
    CSubmission submission(Out(), "1");
    submission.SetEnvelopeName("ENV0");
    reader->submission = &submission;
    ResetOutputFailures();
    HandleMessage(*reader, "text/plain", 0, envelope);
    PartClose(reader);
    EXPECT_TRUE(submission.LinkParts());
    submission.Committed();
    return OutputFailures();
  }

  // Text-mode files read back with LF line ends; the paths; the saved attachments (ATT*), sorted.
  static std::string Text(const std::string& path) { return WithLineEnds(ReadWholeFile(path), "\r\n", "\n"); }
  std::string Body() const { return Text(Out() + "Msgcnt.imp"); }
  std::string Envelope() const { return Text(EnvelopePath()); }
  std::string List() const { return Text(ListPath()); }
  std::string EnvelopePath() const { return Out() + "~1~ENV"; }
  std::string ListPath() const { return Out() + "~ATTC000.imp"; }
  std::string Tmp() const { return Root() + "tmp"; }
  std::vector<std::string> Attachments() const {
    std::vector<std::string> names = DirectoryNames(Out());
    std::erase_if(names, [](const std::string& n) { return n.rfind("ATT", 0) != 0; });
    return names;
  }

 private:
  std::optional<std::string> m_OldTmp;
};
