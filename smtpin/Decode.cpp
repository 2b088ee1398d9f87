// smtpin/Decode.cpp: the submission hand-off, staged and committed.
//
// StageSubmission runs under the inbound server's submission lock, one at a
// time, because the message content file and the name flags are shared by
// every hand-off. CommitSubmissions touches only files the submissions own and
// runs on any thread without the lock.
#include "smtpin/Decode.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "log/DebugLog.h"
#include "mime/Decoder.h"
#include "mime/EnvelopeCheck.h"
#include "mime/PartReader.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "spool/FileNaming.h"
#include "spool/SpoolSyncer.h"
#include "spool/StagedNames.h"
#include "spool/Submission.h"

namespace {

constexpr std::size_t kPathSize = 260;
constexpr int kEnvelopeNameAttempts = 100;  // envelope names tried before the hand-off gives up
constexpr int kMaxErrorNameTries = 100;

// A line of the attachment list that names a saved file ("<<name:ATTn.ext>>").
struct ListedAttachment {
  std::string line;  // without its line end
  char lineEnd = '\n';
  std::string savedName;  // between the first ":" and the following ">>"
};

// Reads the attachment list one byte at a time; a line counts when it holds ">>".
std::vector<ListedAttachment> ReadAttachmentList(const char* listPath) {
  std::vector<ListedAttachment> listed;
  CStdioFile list = CStdioFile::Open(listPath, "r");
  if (!list.IsOpen()) return listed;
  std::string line;
  for (int c = list.GetChar(); c != -1; c = list.GetChar()) {
    if (c != '\n' && c != '\r') {
      line.push_back(static_cast<char>(c));
      continue;
    }
    if (line.find(">>") != std::string::npos) {
      ListedAttachment a;
      a.line = line;
      a.lineEnd = static_cast<char>(c);
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) {
        const std::size_t end = line.find(">>", colon + 1);
        if (end != std::string::npos) a.savedName = line.substr(colon + 1, end - colon - 1);
      }
      listed.push_back(std::move(a));
    }
    line.clear();
  }
  return listed;
}

void LogBoth(const char* text, const char* value) {
  DebugLogStr(text, value, CV_SRC, __LINE__);
  DebugLog2Str(text, value, CV_SRC, __LINE__);
}

std::string FileNameOf(const std::string& path) {
  const std::size_t sep = path.find_last_of("/\\");
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

// Draws the envelope name: ENV<m> whose envelope, ".tmp" and ".bdy" names
// are all free (a counter that came back to an earlier job's number skips
// it). The full path in `envelopeFile`; false when no name could be drawn.
bool DrawEnvelopeName(CSubmission& submission, char* envelopeFile) {
  for (int attempt = 0; attempt < kEnvelopeNameAttempts; ++attempt) {
    envelopeFile[0] = '\0';
    if (MakeEnvFileName() != 0) return false;
    GetFileName(envelopeFile);
    if (envelopeFile[0] == '\0') return false;
    const std::string name = FileNameOf(envelopeFile);
    if (submission.IsNameFree(name) && submission.IsNameFree(name + ".tmp") &&
        submission.IsNameFree(name + ".bdy")) {
      submission.SetEnvelopeName(name);
      return true;
    }
    DebugLogStr("SMTPIn- Envelope name taken, drawing another: ", envelopeFile, CV_SRC, __LINE__);
    ClearFileNameInUse();
  }
  return false;
}

// A work file of one hand-off (the message content file, the attachment
// list): removed when the hand-off is done with it, unless the submission
// took it over.
// A work file of one hand-off, held open from its making to its end with the
// right to delete or rename it, shared for reading and writing (the decoder
// appends to it by name): another program that would open it without sharing
// deletion (a scanner) cannot, so it can never make the rename that adopts
// the file, or its deletion, fail.
class CWorkFile {
 public:
  explicit CWorkFile(const char* deleteText) : m_DeleteText(deleteText) {}
  CWorkFile(const CWorkFile&) = delete;
  CWorkFile& operator=(const CWorkFile&) = delete;
  ~CWorkFile() {
    if (!m_Made) return;
    FaultStep("unlink");
    if (!(m_Held.IsValid() ? m_Held.DeleteThrough() : FileDelete(m_Path)))
      DebugLog2Str(m_DeleteText, m_Path, CV_SRC, __LINE__);
  }
  char* Path() { return m_Path; }
  CFile& Held() { return m_Held; }
  // Made empty: true when it could be made and is held.
  bool Create() {
    m_Held = CFile::Open(m_Path, FileAccess::kReadWriteAndDelete, FileShare::kReadWrite, FileCreation::kCreateAlways);
    return m_Made = m_Held.IsValid();
  }
  // Made and held by the one who named it: true when it is.
  bool Adopt() { return m_Made = m_Held.IsValid(); }
  void Release() {  // the submission owns it now
    m_Made = false;
    m_Held.Close();
  }

 private:
  const char* m_DeleteText;
  char m_Path[kPathSize] = {};
  bool m_Made = false;
  CFile m_Held;
};

// The envelope name is in use from its drawing to the end of the staging.
struct CEnvelopeNameInUse {
  ~CEnvelopeNameInUse() { ClearFileNameInUse(); }  // the registry goes to disk with the commit
};

// Opens the spool file to be decoded: only the file that was acknowledged
// (when its identity is known). kStaged and the open file, or the failure.
int OpenSpoolFile(const char* spoolFilePath, const CFileIdentity& identity, CStdioFile& spool) {
  spool = CStdioFile::Open(spoolFilePath, "r");
  if (!spool.IsOpen()) {
    LogBoth("SMTPIn- Error: Unable to open translation ip file: ", spoolFilePath);
    LogLastError();
    return kSpoolNotRead;
  }
  CFileIdentity now;
  if (identity.known && !(spool.Identity(now) && now == identity)) {
    // The spool directory was replaced, or the name drawn again by something
    // else: what is there now is not this mail, and is left as it is.
    LogBoth("SMTPIn- Error: the spool file is not the one acknowledged, left alone: ", spoolFilePath);
    spool.Close();
    return kSpoolReplaced;
  }
  return kStaged;
}

// The decoder writes the header summary, the text bodies and the attachments
// of the mail (the spool file's first record.dataLength bytes). kStaged;
// kNotStaged when a file of the submission could not be written;
// kSpoolNotRead when the mail could not be read whole.
int DecodeMail(CStdioFile spool, const CSpoolRecord& record, CSubmission& submission, const char* listFile) {
  ResetOutputFailures();
  spool.LimitReading(record.dataLength);  // the mail, not the record after it
  std::unique_ptr<PartReader> reader = PartOpen(std::move(spool));
  std::snprintf(reader->attachmentList, sizeof reader->attachmentList, "%s", listFile);
  reader->submission = &submission;
  // The envelope's addresses are looked up, not compared one by one: made once per mail.
  const CEnvelopeCheck envelope(record.recipients);
  HandleMessage(*reader, "text/plain", 0, envelope);
  // A read error looks like the end of the file to the decoder: a mail is
  // handed on only when every byte of it was read. The decoder may stop
  // early (after a last delimiter); the rest is read here.
  if (!reader->readFailed) {
    char rest[4096];
    while (reader->file.Read(rest, sizeof rest) > 0) {
    }
  }
  const bool whole = !reader->readFailed && reader->file.ReachedReadLimit();
  const DWORD readError = PlatformGetLastError();
  PartClose(reader);
  if (!whole) {
    DebugLogStr("SMTPIn- Error: the spool file could not be read whole, tried again later: ",
                submission.SpoolNumber().c_str(), CV_SRC, __LINE__);
    PlatformSetLastError(readError);
    LogLastError();
    return kSpoolNotRead;
  }
  if (OutputFailures() == 0) return kStaged;
  DebugLogStr("SMTPIn- Error: a file of the submission could not be written: ",
              submission.EnvelopeName().c_str(), CV_SRC, __LINE__);
  return kNotStaged;
}

// Completes the envelope with its body block (the message content file
// becomes ENV<m>.bdy, moved rather than copied) and its attachment block (each
// list line that names a saved file, in list order). False on any failure.
bool WriteEnvelopeBlocks(CSubmission& submission, CWorkFile& message, const char* listFile,
                         const char* envelopeFile) {
  const std::vector<ListedAttachment> listed = ReadAttachmentList(listFile);
  CStdioFile envelope = CStdioFile::Open(submission.EnvelopePath(), "a+");
  DebugLog2Str("SMTPIn- Output file: ", envelopeFile, CV_SRC, __LINE__);
  if (!envelope.IsOpen()) {
    std::printf("Error: Unable to open output file for writing\n");
    DebugLogStr("SMTPIn- Error: Unable to open output file for writing: ", envelopeFile, CV_SRC, __LINE__);
    return false;
  }
  bool ok = true;
  const std::string bodyName = submission.EnvelopeName() + ".bdy";
  if (submission.AdoptFile(message.Path(), bodyName, &message.Held())) {
    message.Release();
  } else {
    DebugLogStr("SMTPIn- Error: Unable to copy the message body to: ", bodyName.c_str(), CV_SRC, __LINE__);
    ok = false;
  }
  std::string block = "\nBEGIN BODY\n<<" + bodyName + ">>\nEND BODY\n\n";
  for (const ListedAttachment& a : listed) {
    if (&a == &listed.front()) block += "BEGIN ATTACH\n";
    block += a.line;
    block.push_back(a.lineEnd == '\r' ? '\n' : a.lineEnd);
    DebugLog2Str("SMTPIn- BEGIN ATTACH written: ", a.line.c_str(), CV_SRC, __LINE__);
    const std::string full = submission.OutDirectory() + a.savedName;
    DebugLog2Str("SMTPIn- FullAttachmentPath: ", full.c_str(), CV_SRC, __LINE__);
    const std::int64_t size =
        FileSizeByName(submission.OutDirectory() + StagedName(submission.SpoolNumber(), a.savedName));
    if (size >= 0) {
      char sizeText[32];
      std::snprintf(sizeText, sizeof sizeText, "%ld", static_cast<long>(size));
      DebugLog2Str("SMTPIn- Attachment: ", a.savedName.c_str(), CV_SRC, __LINE__);
      DebugLog2Str("SMTPIn- Attachment File Size: ", sizeText, CV_SRC, __LINE__);
    }
  }
  if (!listed.empty()) block += "END ATTACH\n";
  const bool written = envelope.Write(block.data(), block.size()) == block.size();
  if (!envelope.Close() || !written) {
    DebugLogStr("SMTPIn- Error: Unable to write the envelope: ", envelopeFile, CV_SRC, __LINE__);
    ok = false;
  }
  return ok;
}

}  // namespace

int StageSubmission(const char* spoolFilePath, const CSpoolRecord& record, const CFileIdentity& spoolIdentity,
                    CSubmission& submission) {
  DebugLog2Str("SMTPIn - Decode(fname): ", spoolFilePath, CV_SRC, __LINE__);
  if (!WaitWhileNameInUse(IsFileNameInUse, "SMTPIn - File name taken, waiting for 25 sec")) return kNotStaged;
  // The mail first: nothing is made for a spool file that is not there or not ours.
  CStdioFile spool;
  if (const int opened = OpenSpoolFile(spoolFilePath, spoolIdentity, spool); opened != kStaged) return opened;
  // Every file made below is either the submission's (withdrawn by it unless
  // it is committed) or a work file removed at the end; the mail itself
  // stays in its spool file whatever happens here.
  const auto refuse = [](const char* text, const char* path) {
    LogBoth(text, path);
    return kNotStaged;
  };
  CWorkFile message("SMTPIn- Failde to delete msg file : ");
  GetMsgCountFileName(message.Path());
  DebugLog2Str("SMTPIn - mesage file name: ", message.Path(), CV_SRC, __LINE__);
  if (!message.Create())
    return refuse("SMTPIn- Error: Unable to open message file for writing: ", message.Path());
  CWorkFile list("SMTPIn- Failde to delete attach file : ");
  CreateAutoFile(list.Path(), &list.Held());
  DebugLog2Str("SMTPIn - attachment file name: ", list.Path(), CV_SRC, __LINE__);
  if (!list.Adopt())
    return refuse("SMTPIn- Error: Unable to open attachment file for writing: ", list.Path());

  char envelopeFile[kPathSize] = {};
  CEnvelopeNameInUse nameInUse;
  const bool drawn = DrawEnvelopeName(submission, envelopeFile);
  DebugLog2Str("SMTPIn - New file name: ", envelopeFile, CV_SRC, __LINE__);
  // The envelope is the staged envelope made with the spool file, in the same
  // directory: it starts empty, and is never made here (a directory put in
  // the place of OUT meanwhile gets no job of this mail).
  CFile envelope = drawn ? CFile::Open(submission.EnvelopePath(), FileAccess::kWrite, FileShare::kNone,
                                       FileCreation::kTruncateExisting)
                         : CFile();
  if (!envelope.IsValid() || !envelope.Close())
    return refuse("SMTPIn- Error: Unable to open new file for writing: ", envelopeFile);

  const int decoded = DecodeMail(std::move(spool), record, submission, list.Path());
  const bool completed =
      decoded == kStaged && WriteEnvelopeBlocks(submission, message, list.Path(), envelopeFile);
  if (completed) return kStaged;
  DebugLogStr("SMTPIn- Error: hand-off incomplete, submission withdrawn: ", envelopeFile, CV_SRC, __LINE__);
  return decoded == kStaged ? kNotStaged : decoded;
}

std::vector<CommitResult> CommitSubmissions(const std::vector<CSubmission*>& batch, CSpoolSyncer& spoolSync,
                                            const CSpoolSyncer::CTicket& ticket) {
  std::vector<CommitResult> results(batch.size(), CommitResult::kWithdrawn);
  if (batch.empty()) return results;
  std::vector<bool> open(batch.size(), true);
  const auto withdraw = [&](std::size_t k, const char* why) {
    DebugLogStr(why, batch[k]->EnvelopeName().c_str(), CV_SRC, __LINE__);
    batch[k]->Withdraw();
    open[k] = false;
  };
  std::vector<std::string> files;
  for (std::size_t k = 0; k < batch.size(); ++k) {
    if (!batch[k]->LinkParts()) {
      withdraw(k, "SMTPIn- Error: hand-off incomplete, submission withdrawn: ");
      continue;
    }
    const std::vector<std::string> own = batch[k]->FilesToSync();
    files.insert(files.end(), own.begin(), own.end());
  }
  // Data and names of every submission on disk in one sync, before any of
  // them becomes visible. A failure is not retried file by file: after a
  // failed sync the kernel may report the next one clean although the data
  // are lost; the ticket makes any error since the batch began a failure.
  FaultStep("data-sync");
  if (!spoolSync.Sync(ticket, files, CSpoolSyncer::Lane::kHandOff)) {
    LogLastError();
    for (std::size_t k = 0; k < batch.size(); ++k) {
      if (open[k]) withdraw(k, "SMTPIn- Error: the submission could not be put on disk: ");
    }
    return results;
  }
  for (std::size_t k = 0; k < batch.size(); ++k) {
    if (!open[k]) continue;
    if (!batch[k]->RenameEnvelope()) {
      withdraw(k, "SMTPIn- Error: hand-off incomplete, submission withdrawn: ");
      continue;
    }
    results[k] = CommitResult::kUnsynced;
  }
  FaultStep("directory-sync");
  const bool synced = spoolSync.Sync(ticket, {}, CSpoolSyncer::Lane::kHandOff);
  if (!synced) LogLastError();
  for (std::size_t k = 0; k < batch.size(); ++k) {
    if (results[k] != CommitResult::kUnsynced) continue;
    if (!synced) {
      DebugLogStr("SMTPIn- Error: the submission's name could not be put on disk: ",
                  batch[k]->EnvelopeName().c_str(), CV_SRC, __LINE__);
      continue;
    }
    batch[k]->Committed();
    results[k] = CommitResult::kCommitted;
  }
  return results;
}

int DecodeSpoolFile(const char* spoolFilePath, const CSpoolRecord& record) {
  char programPath[kPathSize] = {};
  GetProgramPath(programPath);
  const std::string outDirectory = std::string(programPath) + "OUT" + kPathSeparatorText;
  std::string directory = outDirectory;
  directory.pop_back();
  CSpoolSyncer spoolSync(directory);
  const CSpoolSyncer::CTicket ticket = spoolSync.Begin();
  CSubmission submission(outDirectory, SpoolNumber(spoolFilePath));
  // A tool's spool file comes without the staged envelope a session makes.
  CFile::Open(submission.EnvelopePath(), FileAccess::kWrite, FileShare::kNone, FileCreation::kCreateNew);
  if (StageSubmission(spoolFilePath, record, CFileIdentity{}, submission) != kStaged) return 1;
  FlushFileNames();
  return CommitSubmissions({&submission}, spoolSync, ticket).front() == CommitResult::kCommitted ? 0 : 1;
}

void FinishSpoolFile(const char* spoolFilePath, std::uint64_t dataLength, const CFileIdentity& identity,
                     CFile* held) {
  CFileIdentity now;
  if (identity.known && !(FileIdentityByName(spoolFilePath, now) && now == identity)) {
    DebugLogStr("SMTPIn- Error: the spool file is not the one handed off, left alone: ", spoolFilePath,
                CV_SRC, __LINE__);
    return;
  }
  FaultStep("unlink");
  if (!IsPrimaryLogOn()) {
    const bool through = held != nullptr && held->IsValid();
    if (!(through ? held->DeleteThrough() : FileDelete(spoolFilePath)))
      DebugLogStr("SMTPIn- Error: Unable to delete the spool file: ", spoolFilePath, CV_SRC, __LINE__);
    return;
  }
  if (held != nullptr) held->Close();  // the copy is cut below by an open of its own
  const std::string kept = KeepDebugCopy(spoolFilePath);
  if (kept.empty()) return;
  // The debug copy holds the mail as received, not the record after it.
  CFile copy = CFile::Open(kept, FileAccess::kWrite, FileShare::kNone, FileCreation::kOpenExisting);
  if (!copy.IsValid() || copy.Seek(static_cast<std::int64_t>(dataLength), FileSeek::kBegin) < 0 ||
      !copy.SetEndOfFile())
    DebugLogStr("SMTPIn- Error: Unable to cut the debug copy to the mail: ", kept.c_str(), CV_SRC, __LINE__);
}

std::string KeepAside(const std::string& path, const std::string& why) {
  std::string stem = path;
  const std::size_t sep = stem.find_last_of("/\\");
  const std::size_t dot = stem.rfind('.');
  if (dot != std::string::npos && (sep == std::string::npos || dot > sep)) stem.resize(dot);
  for (int k = 0; k < kMaxErrorNameTries; ++k) {
    const std::string candidate = k == 0 ? stem + ".err" : stem + "-" + std::to_string(k) + ".err";
    if (FileMove(path, candidate)) {
      const std::string text = candidate + " (" + why + ")";
      DebugLogStr("SMTPIn- Error: not handed off, kept aside as: ", text.c_str(), CV_SRC, __LINE__);
      DebugLog2Str("SMTPIn- Error: not handed off, kept aside as: ", text.c_str(), CV_SRC, __LINE__);
      return candidate;
    }
    if (PlatformGetLastError() != static_cast<DWORD>(ERROR_ALREADY_EXISTS)) break;
  }
  const std::string text = path + " (" + why + ")";
  DebugLogStr("SMTPIn- Error: not handed off, left as: ", text.c_str(), CV_SRC, __LINE__);
  return {};
}
