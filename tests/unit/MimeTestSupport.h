// tests/unit/MimeTestSupport.h: running the MIME decoder over mail text in a
// sandboxed spool (hive, ProgramPath with IN/ and OUT/), and reading back what
// it wrote. One test thread at a time.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "SpoolTestSupport.h"
#include "mime/Decoder.h"
#include "mime/PartReader.h"
#include "platform/File.h"

// The names in a directory, sorted.
// The names in `dir`, sorted, without the hidden ".spare" of retired files.
inline std::vector<std::string> DirectoryNames(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::string name = e.path().filename().string();
    if (name != ".spare") names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The bytes as the SMTP session stores them: every LF as CR LF.
inline std::string AsStored(const std::string& lfText) {
  std::string out;
  out.reserve(lfText.size() + lfText.size() / 16);
  for (const char c : lfText) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

// A reader over `lfText` stored as the session stores mail (CR LF on disk,
// read back in text mode).
inline std::unique_ptr<PartReader> ReaderOver(const std::string& path, const std::string& lfText) {
  WriteWholeFile(path, AsStored(lfText));
  CStdioFile file = CStdioFile::Open(path, "r");
  EXPECT_TRUE(file.IsOpen()) << path;
  return PartOpen(std::move(file));
}

// A sandbox set up for decoding runs: counters at 0, ProgramPath set, an
// envelope name drawn (FileName) and an empty message content file and list.
class DecoderSandbox : public SpoolSandbox {
 public:
  DecoderSandbox() {
    WithProgramPath();
    SetNumber("OUTIndex", 0);
    SetNumber("OUTIndexAtt", 0);
    SetNumber("TmpIndex", 0);
    m_Envelope = Out() + "ENV0";
    m_MessageFile = Out() + "Msgcnt.imp";
    m_ListFile = Out() + "~ATTC000.imp";
    SetText("FileName", m_Envelope);
    WriteWholeFile(m_Envelope, "");
    WriteWholeFile(m_MessageFile, "");
    WriteWholeFile(m_ListFile, "");
  }

  // Runs HandleMessage over `lfText` as the hand-off does.
  void Decode(const std::string& lfText, const CRecipientList& envelope = {}) {
    std::unique_ptr<PartReader> reader = ReaderOver(Root() + "mail.zqx", lfText);
    std::snprintf(reader->attachmentList, sizeof reader->attachmentList, "%s", m_ListFile.c_str());
    ResetOutputFailures();
    HandleMessage(*reader, "text/plain", 0, envelope);
    PartClose(reader);
  }

  // Files written in text mode read back with LF line ends.
  static std::string Text(const std::string& path) {
    const std::string bytes = ReadWholeFile(path);
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
      out.push_back(bytes[i]);
    }
    return out;
  }
  std::string Body() const { return Text(m_MessageFile); }
  std::string Envelope() const { return Text(m_Envelope); }
  std::string List() const { return Text(m_ListFile); }
  std::string Attachment(const std::string& name) const { return ReadWholeFile(Out() + name); }

  // Names of the saved attachments (ATT*), sorted.
  std::vector<std::string> Attachments() const {
    std::vector<std::string> names;
    for (const std::string& n : DirectoryNames(Out()))
      if (n.rfind("ATT", 0) == 0) names.push_back(n);
    return names;
  }
  const std::string& EnvelopePath() const { return m_Envelope; }

 private:
  std::string m_Envelope;
  std::string m_MessageFile;
  std::string m_ListFile;
};
