// mime/BodyOutput.cpp: the text body and attachment savers.
//
// Runs on the decoding thread under the submission lock. An attachment's
// output file is opened before its list line is written, so the list never
// names a file that does not exist; every file that cannot be written is
// reported to the hand-off (NoteOutputFailure).
#include "mime/BodyOutput.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/Text.h"
#include "log/DebugLog.h"
#include "mime/HeaderParser.h"
#include "mime/HeaderSummary.h"
#include "mime/TransferDecoders.h"
#include "platform/File.h"
#include "platform/System.h"
#include "spool/FileNaming.h"
#include "spool/Submission.h"

namespace {

constexpr std::size_t kPathSize = 260;
constexpr int kAttachmentNameAttempts = 100;  // names tried before an attachment is given up

bool IsAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

void Decode(PartReader& reader, CStdioFile& out, TransferEncoding encoding, std::string* digest,
            int suppressCR) {
  switch (encoding) {
    case kEncodingQuotedPrintable:
      DecodeQuotedPrintable(reader, out, digest);
      break;
    case kEncodingBase64:
      DecodeBase64(reader, out, digest, suppressCR);
      break;
    default:
      CopyPart(reader, out, digest);
      break;
  }
}

}  // namespace

std::string AttachmentExtension(std::string_view originalName) {
  const std::size_t dot = originalName.find('.');
  if (dot == std::string_view::npos) return {};
  std::string ext;
  for (const char c : originalName.substr(dot + 1, 3)) {
    if (IsAlnum(c)) ext.push_back(c);
  }
  return ext;
}

std::string GeneratedAttachmentName(std::string_view type) {
  struct Suffix {
    const char* type;  // lower case; a trailing "/" matches the whole family
    const char* ext;
  };
  static constexpr Suffix kSuffixes[] = {
      {"application/pdf", "pdf"},
      {"application/postscript", "ps"},
      {"application/msword", "doc"},
      {"application/rtf", "rtf"},
      {"application/zip", "zip"},
      {"image/gif", "gif"},
      {"image/jpeg", "jpg"},
      {"image/png", "png"},
      {"image/tiff", "tif"},
      {"text/html", "htm"},
      {"text/", "txt"},
  };
  for (const Suffix& s : kSuffixes) {
    const std::string_view want(s.type);
    if (want.back() == '/' ? StartsWithNoCase(type, want)
                           : (type.size() == want.size() && StartsWithNoCase(type, want))) {
      return std::string("attachment.") + s.ext;
    }
  }
  return "attachment.bin";
}

std::string ListedAttachmentName(std::string_view originalName) {
  std::string name(originalName.substr(0, kMaxListedName));
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f || c == ':' || c == '<' || c == '>') c = '_';
  }
  return name;
}

int SaveTextBody(PartReader& reader, TransferEncoding encoding) {
  char path[kPathSize] = {};
  GetMsgCountFileName(path);
  CStdioFile out = CStdioFile::Open(path, "a+");
  if (!out.IsOpen()) {
    std::perror("tempdesc.txt");
    DebugLogStr("DECODE - Error: Unable to open message file for appending: ", path, CV_SRC, __LINE__);
    PartSkipRest(reader);
    NoteOutputFailure();
    return 1;
  }
  Decode(reader, out, encoding, nullptr, 1);
  if (!out.Close()) {
    DebugLogStr("DECODE - Error: Unable to write message file: ", path, CV_SRC, __LINE__);
    NoteOutputFailure();
    return 1;
  }
  return 0;
}

int SaveAttachment(PartReader& reader, const char* type, const ContentParams& params,
                   TransferEncoding encoding, const char* disposition, const char* contentMd5,
                   const char* headerEnd) {
  const bool text = StartsWithNoCase(type ? type : "", "text/");
  const bool binary = !text && encoding == kEncodingBase64;

  std::unique_ptr<std::string> name = GetDispositionFilename(disposition, headerEnd);
  if (!name) name = GetContentParam(&params, "name");
  std::string originalName;
  if (name) {
    originalName = *name;
    DebugLog2Str("DECODE - attachment name: ", PrintableText(originalName).c_str(), CV_SRC, __LINE__);
  }
  if (originalName.empty()) {
    // A part without a name is still part of the mail: list it under one.
    originalName = GeneratedAttachmentName(type ? type : "");
    DebugLog2Str("DECODE - attachment without a name, listed as: ", originalName.c_str(), CV_SRC, __LINE__);
  }

  CSubmission* submission = reader.submission;
  if (submission == nullptr ||
      !WaitWhileNameInUse(IsFileNameAttInUse, "DECODE - Attachment file name taken, waiting for 25 sec")) {
    DebugLog("DECODE - Error: no submission to save the attachment in", CV_SRC, __LINE__);
    PartSkipRest(reader);
    NoteOutputFailure();
    return 1;
  }
  // A name still in use in OUT (the counter came back to it after a wrap or a
  // restored hive) is skipped, never written over.
  const std::string extension = AttachmentExtension(originalName);
  char savedName[kPathSize] = {};
  CStdioFile out;
  for (int attempt = 0; attempt < kAttachmentNameAttempts && !out.IsOpen(); ++attempt) {
    savedName[0] = '\0';
    if (MakeAttFileName(extension.c_str()) != 0) break;
    GetFileNameAtt(savedName);
    if (savedName[0] == '\0') break;
    if (!submission->IsNameFree(savedName)) {
      DebugLogStr("DECODE - Attachment file name taken, drawing another: ", savedName, CV_SRC, __LINE__);
      ReleaseFileNameAtt();
      continue;
    }
    out = submission->CreateFile(savedName, binary ? "wbx" : "wx");
    if (!out.IsOpen()) {
      DebugLogStr("DECODE - Error: Unable to create attachment file: ", savedName, CV_SRC, __LINE__);
      LogLastError();
      ReleaseFileNameAtt();
      if (PlatformGetLastError() != static_cast<DWORD>(ERROR_FILE_EXISTS)) break;
    }
  }
  if (!out.IsOpen()) {
    DebugLogStr("DECODE - Error: no usable attachment file name: ", savedName, CV_SRC, __LINE__);
    PartSkipRest(reader);
    NoteOutputFailure();
    return 1;
  }
  const std::string outPath = submission->OutDirectory() + savedName;

  CStdioFile list = CStdioFile::Open(reader.attachmentList, "a+");
  if (list.IsOpen()) {
    const std::string line = "<<" + ListedAttachmentName(originalName) + ":" + savedName + ">>\n";
    const bool listed = list.Write(line.data(), line.size()) == line.size();
    if (!list.Close() || !listed) {
      DebugLogStr("DECODE - Error: Unable to write attachment list: ", reader.attachmentList, CV_SRC,
                  __LINE__);
      NoteOutputFailure();
    }
  } else {
    std::fprintf(stderr, "Unable to open out file for write: %s\n", std::strerror(errno));
    NoteOutputFailure();
  }

  // The digest is only worked out when there is a Content-MD5 value to check.
  std::string digest;
  Decode(reader, out, encoding, contentMd5 != nullptr ? &digest : nullptr, text ? 1 : 0);
  if (contentMd5 != nullptr && std::strncmp(contentMd5, digest.c_str(), digest.size()) != 0) {
    char warning[kPathSize + 40];
    std::snprintf(warning, sizeof warning, "%s was corrupted in transit", outPath.c_str());
    Warn(warning);
  }
  if (!out.Close()) {
    DebugLogStr("DECODE - Error: Unable to write attachment file: ", outPath.c_str(), CV_SRC, __LINE__);
    NoteOutputFailure();
  }
  ReleaseFileNameAtt();
  return 0;
}
