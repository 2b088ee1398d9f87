// tests/unit/MimeTestSupport.h: running the MIME decoder over mail text in a
// sandboxed spool (hive, ProgramPath with IN/ and OUT/), and reading back what
// it wrote. One test thread at a time.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "SpoolTestSupport.h"
#include "mime/Decoder.h"
#include "mime/PartReader.h"
#include "platform/File.h"

// The names in `dir`, sorted, without the hidden ".spare" of retired files.
inline std::vector<std::string> DirectoryNames(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename() != ".spare") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

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

// A sandbox for decoding runs: counters at 0, ProgramPath set, an envelope
// name drawn (FileName) and an empty message content file and list.
class DecoderSandbox : public SpoolSandbox {
 public:
  DecoderSandbox() {
    WithProgramPath();
    for (const char* counter : {"OUTIndex", "OUTIndexAtt", "TmpIndex"}) SetNumber(counter, 0);
    SetText("FileName", EnvelopePath());
    for (const std::string& file : {EnvelopePath(), Out() + "Msgcnt.imp", ListPath()})
      WriteWholeFile(file, "");
  }

  // Runs HandleMessage over `lfText` as the hand-off does.
  void Decode(const std::string& lfText, const CRecipientList& envelope = {}) {
    std::unique_ptr<PartReader> reader = ReaderOver(Root() + "mail.zqx", lfText);
    std::snprintf(reader->attachmentList, sizeof reader->attachmentList, "%s", ListPath().c_str());
    ResetOutputFailures();
    HandleMessage(*reader, "text/plain", 0, envelope);
    PartClose(reader);
  }

  // Text-mode files read back with LF line ends.
  static std::string Text(const std::string& path) { return WithLineEnds(ReadWholeFile(path), "\r\n", "\n"); }
  std::string Body() const { return Text(Out() + "Msgcnt.imp"); }
  std::string Envelope() const { return Text(EnvelopePath()); }
  std::string List() const { return Text(ListPath()); }
  std::string Attachment(const std::string& name) const { return ReadWholeFile(Out() + name); }
  std::string EnvelopePath() const { return Out() + "ENV0"; }
  std::string ListPath() const { return Out() + "~ATTC000.imp"; }

  // Names of the saved attachments (ATT*), sorted.
  std::vector<std::string> Attachments() const {
    std::vector<std::string> names = DirectoryNames(Out());
    std::erase_if(names, [](const std::string& n) { return n.rfind("ATT", 0) != 0; });
    return names;
  }
};
