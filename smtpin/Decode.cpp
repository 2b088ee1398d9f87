// smtpin/Decode.cpp: the submission hand-off.
//
// Runs on a session's thread under the server's submission lock (taken by
// Decode), so at most one hand-off draws names and decodes at a time. The
// envelope only gets its ".tmp" name once its body and attachment files are
// complete and closed.
#include "smtpin/Decode.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "log/DebugLog.h"
#include "mime/Decoder.h"
#include "mime/PartReader.h"
#include "platform/File.h"
#include "platform/System.h"
#include "smtpin/SMTPIn.h"
#include "smtpin/SMTPInThread.h"
#include "spool/FileNaming.h"

namespace {

constexpr std::uint32_t kNameInUseWaitMs = 25000;
constexpr std::size_t kPathSize = 260;
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
    const std::size_t close = line.find(">>");
    if (close != std::string::npos) {
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

std::string OutPath(const char* programPath, const std::string& name) {
  return std::string(programPath) + "OUT" + kPathSeparatorText + name;
}

// A saved name is one plain file name in OUT, never a path.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
         name != "." && name != "..";
}

void LogBoth(const char* text, const char* value) {
  DebugLogStr(text, value, CV_SRC, __LINE__);
  DebugLog2Str(text, value, CV_SRC, __LINE__);
}

// Creates (or empties) `path`: true when it could be opened and closed.
bool CreateEmptyFile(const char* path) {
  CStdioFile f = CStdioFile::Open(path, "w");
  return f.IsOpen() && f.Close();
}

// Withdraws a submission the fax server must not see in part.
void WithdrawSubmission(const std::string& envelopeFile, const std::vector<std::string>& files) {
  DebugLogStr("SMTPIn- Error: hand-off incomplete, submission withdrawn: ", envelopeFile.c_str(), CV_SRC,
              __LINE__);
  for (const std::string& file : files) FileDelete(file);
}

}  // namespace

int PrepareSubmission(const CRecipientList& envelopeRecipients, const char* spoolFilePath,
                      CPreparedSubmission& prepared) {
  DebugLog2Str("SMTPIn - Decode(fname): ", spoolFilePath, CV_SRC, __LINE__);
  while (IsFileNameInUse() == 1) {
    DebugLog2Str("SMTPIn - File name taken, waiting for 25 sec", "", CV_SRC, __LINE__);
    SleepMs(kNameInUseWaitMs);
  }

  char messageFile[kPathSize] = {};
  char listFile[kPathSize] = {};
  char envelopeFile[kPathSize] = {};
  bool failed = false;
  const char* errorText = nullptr;
  const char* errorPath = nullptr;

  GetMsgCountFileName(messageFile);
  DebugLog2Str("SMTPIn - mesage file name: ", messageFile, CV_SRC, __LINE__);
  if (!CreateEmptyFile(messageFile)) {
    errorText = "SMTPIn- Error: Unable to open message file for writing: ";
    errorPath = messageFile;
  }
  if (errorText == nullptr) {
    CreateAutoFile(listFile);
    DebugLog2Str("SMTPIn - attachment file name: ", listFile, CV_SRC, __LINE__);
    if (!CreateEmptyFile(listFile)) {
      errorText = "SMTPIn- Error: Unable to open attachment file for writing: ";
      errorPath = listFile;
      listFile[0] = '\0';  // nothing of ours to delete there (it may be the bare directory)
    }
  }
  if (errorText == nullptr) {
    const long drawn = MakeEnvFileName();
    if (drawn == 0) GetFileName(envelopeFile);
    DebugLog2Str("SMTPIn - New file name: ", envelopeFile, CV_SRC, __LINE__);
    if (drawn != 0 || envelopeFile[0] == '\0' || !CreateEmptyFile(envelopeFile)) {
      errorText = "SMTPIn- Error: Unable to open new file for writing: ";
      errorPath = envelopeFile;
      envelopeFile[0] = '\0';
    }
  }
  if (errorText != nullptr) {
    LogBoth(errorText, errorPath);
    // The work files made so far are ours alone; the received mail is kept by the caller.
    if (listFile[0] != '\0') FileDelete(listFile);
    if (errorPath != messageFile) FileDelete(messageFile);
    ReleaseFileName();
    return 1;
  }

  // The decoder writes the header summary, the text bodies and the attachments.
  ResetOutputFailures();
  CStdioFile spool = CStdioFile::Open(spoolFilePath, "r");
  if (!spool.IsOpen()) {
    LogBoth("SMTPIn- Error: Unable to open translation ip file: ", spoolFilePath);
    failed = true;
  } else {
    std::unique_ptr<PartReader> reader = PartOpen(std::move(spool));
    std::snprintf(reader->attachmentList, sizeof reader->attachmentList, "%s", listFile);
    HandleMessage(*reader, "text/plain", 0, envelopeRecipients);
    PartClose(reader);
    if (OutputFailures() > 0) {
      DebugLogStr("SMTPIn- Error: a file of the submission could not be written: ", envelopeFile, CV_SRC,
                  __LINE__);
      failed = true;
    }
  }

  const std::vector<ListedAttachment> listed = ReadAttachmentList(listFile);
  char programPath[kPathSize] = {};
  GetProgramPath(programPath);
  std::string bodyFile;
  bool messageMoved = false;  // the message content file became the body file

  CStdioFile envelope = CStdioFile::Open(envelopeFile, "a+");
  DebugLog2Str("SMTPIn- Output file: ", envelopeFile, CV_SRC, __LINE__);
  if (!envelope.IsOpen()) {
    std::printf("Error: Unable to open output file for writing\n");
    DebugLogStr("SMTPIn- Error: Unable to open output file for writing: ", envelopeFile, CV_SRC, __LINE__);
    failed = true;
  } else {
    // Body block: the message content becomes ENV<n>.bdy beside the envelope.
    GetMsgCountFileName(messageFile);
    const std::string marker = std::string("OUT") + kPathSeparatorText + "ENV";
    const char* env = std::strstr(envelopeFile, marker.c_str());
    const std::string bodyName = std::string(env ? env + 4 : "ENV") + ".bdy";
    bodyFile = OutPath(programPath, bodyName);
    // Moved, not copied and deleted: the same bytes under the same name, without
    // a second file to write and one to free.
    if (FileMoveReplace(messageFile, bodyFile)) {
      messageMoved = true;
    } else {
      DebugLogStr("SMTPIn- Error: Unable to copy the message body to: ", bodyFile.c_str(), CV_SRC, __LINE__);
      failed = true;
    }
    std::string block = "\nBEGIN BODY\n<<" + bodyName + ">>\nEND BODY\n\n";

    // Attachment block: every list line that names a saved file, in list order.
    for (const ListedAttachment& a : listed) {
      if (&a == &listed.front()) block += "BEGIN ATTACH\n";
      block += a.line;
      block.push_back(a.lineEnd == '\r' ? '\n' : a.lineEnd);
      DebugLog2Str("SMTPIn- BEGIN ATTACH written: ", a.line.c_str(), CV_SRC, __LINE__);
      const std::string full = OutPath(programPath, a.savedName);
      DebugLog2Str("SMTPIn- FullAttachmentPath: ", full.c_str(), CV_SRC, __LINE__);
      const std::int64_t size = FileSizeByName(full);
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
      failed = true;
    }
  }

  if (!FileRetire(listFile))
    DebugLog2Str("SMTPIn- Failde to delete attach file : ", listFile, CV_SRC, __LINE__);
  if (!messageMoved && !FileDelete(messageFile))
    DebugLog2Str("SMTPIn- Failde to delete msg file : ", messageFile, CV_SRC, __LINE__);

  std::vector<std::string> files = {envelopeFile};
  if (!bodyFile.empty()) files.push_back(bodyFile);
  for (const ListedAttachment& a : listed) {
    if (IsPlainFileName(a.savedName)) files.push_back(OutPath(programPath, a.savedName));
  }
  // The envelope name is free again. ReleaseFileName's flush, which also puts
  // the counters that named these files on disk before the job can get its .tmp
  // name, waits for the disk after the submission lock (CompleteSubmissions).
  ClearFileNameInUse();
  if (failed) {
    WithdrawSubmission(envelopeFile, files);
    return 1;
  }
  prepared.envelopeFile = envelopeFile;
  prepared.files = std::move(files);
  prepared.outDirectory = OutPath(programPath, "");
  return 0;
}

namespace {

void LogRenaming(const CPreparedSubmission& prepared, const std::string& finalName) {
  DebugLog2Str("SMTPIn- Renaming from: ", prepared.envelopeFile.c_str(), CV_SRC, __LINE__);
  DebugLog2Str("SMTPIn- Renaming to: ", finalName.c_str(), CV_SRC, __LINE__);
}

}  // namespace

std::vector<int> CompleteSubmissions(const std::vector<CPreparedSubmission>& batch) {
  std::vector<int> results(batch.size(), 1);
  if (batch.empty()) return results;
  const long flushed = FlushFileNames();
  if (flushed != ERROR_SUCCESS) {
    // The counters might hand these names out again after a power loss.
    for (const CPreparedSubmission& prepared : batch) {
      DebugLogStr("SMTPIn- Error: the registry could not be put on disk for: ", prepared.envelopeFile.c_str(),
                  CV_SRC, __LINE__);
      WithdrawSubmission(prepared.envelopeFile, prepared.files);
    }
    return results;
  }
  std::vector<std::string> allFiles;
  for (const CPreparedSubmission& prepared : batch)
    allFiles.insert(allFiles.end(), prepared.files.begin(), prepared.files.end());
  // One pass over all files lets their writes go to the device together; only
  // when it fails is each submission synced on its own, to find whose it was.
  const bool allSynced = FilesSync(allFiles);
  std::vector<std::string> syncDirectories;
  for (std::size_t k = 0; k < batch.size(); ++k) {
    const CPreparedSubmission& prepared = batch[k];
    const char* envelopeFile = prepared.envelopeFile.c_str();
    if (!allSynced && !FilesSync(prepared.files)) {
      DebugLogStr("SMTPIn- Error: the submission could not be put on disk: ", envelopeFile, CV_SRC, __LINE__);
      LogLastError();
      WithdrawSubmission(prepared.envelopeFile, prepared.files);
      continue;
    }
    const std::string finalName = prepared.envelopeFile + ".tmp";
    LogRenaming(prepared, finalName);
    if (!FileMove(prepared.envelopeFile, finalName)) {
      DebugLogStr("SMTPIn- Error: Unable to rename the envelope to: ", finalName.c_str(), CV_SRC, __LINE__);
      WithdrawSubmission(prepared.envelopeFile, prepared.files);
      continue;
    }
    results[k] = 0;
    if (std::find(syncDirectories.begin(), syncDirectories.end(), prepared.outDirectory) ==
        syncDirectories.end())
      syncDirectories.push_back(prepared.outDirectory);
  }
  for (const std::string& directory : syncDirectories) {
    if (DirectorySync(directory)) continue;
    // The jobs are visible and complete, but their names may not survive a
    // power loss: the received mails are kept (not deleted) by the caller.
    for (std::size_t k = 0; k < batch.size(); ++k) {
      if (results[k] != 0 || batch[k].outDirectory != directory) continue;
      DebugLogStr("SMTPIn- Error: the submission's name could not be put on disk: ",
                  (batch[k].envelopeFile + ".tmp").c_str(), CV_SRC, __LINE__);
      results[k] = 1;
    }
    LogLastError();
  }
  return results;
}

int DecodeSpoolFile(const CRecipientList& envelopeRecipients, const char* spoolFilePath) {
  CPreparedSubmission prepared;
  if (PrepareSubmission(envelopeRecipients, spoolFilePath, prepared) != 0) return 1;
  return CompleteSubmissions({prepared}).front();
}

int Decode(SMTPInThread& session, const char* spoolFilePath) {
  SMTPIn* server = session.Server();
  if (server == nullptr) {
    DebugLogStr("SMTPIn- Error: no server for the hand-off of: ", spoolFilePath, CV_SRC, __LINE__);
    return 1;
  }
  CPreparedSubmission prepared;
  {
    std::lock_guard<std::recursive_mutex> lock(server->SubmissionLock());
    if (PrepareSubmission(session.Recipients(), spoolFilePath, prepared) != 0) return 1;
  }
  return CompleteSubmissions({prepared}).front();
}

std::string FailedSpoolFileName(const char* spoolFilePath) {
  std::string stem(spoolFilePath);
  const std::size_t sep = stem.find_last_of("/\\");
  const std::size_t dot = stem.rfind('.');
  if (dot != std::string::npos && (sep == std::string::npos || dot > sep)) stem.resize(dot);
  std::string candidate = stem + ".err";
  for (int k = 1; FileExists(candidate); ++k) {
    if (k >= kMaxErrorNameTries) return {};
    candidate = stem + "-" + std::to_string(k) + ".err";
  }
  return candidate;
}

void FinishSpoolFile(const char* spoolFilePath, int decodeResult) {
  if (decodeResult == 0) {
    if (IsPrimaryLogOn()) {
      KeepDebugCopy(spoolFilePath);
    } else {
      FileRetireForOverwrite(spoolFilePath);  // its storage serves the next mail
    }
    return;
  }
  const std::string kept = FailedSpoolFileName(spoolFilePath);
  if (!kept.empty() && FileMove(spoolFilePath, kept)) {
    DebugLogStr("SMTPIn- Error: hand-off failed, received message kept as: ", kept.c_str(), CV_SRC, __LINE__);
  } else {
    DebugLogStr("SMTPIn- Error: hand-off failed, received message left as: ", spoolFilePath, CV_SRC,
                __LINE__);
  }
}
