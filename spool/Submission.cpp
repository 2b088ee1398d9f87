// spool/Submission.cpp: the files of one submission, from staged to final.
//
// Threading: see Submission.h.
#include "spool/Submission.h"

#include "log/DebugLog.h"
#include "platform/FaultInjection.h"
#include "spool/StagedNames.h"

CSubmission::CSubmission(std::string outDirectory, std::string spoolNumber)
    : m_OutDirectory(std::move(outDirectory)), m_SpoolNumber(std::move(spoolNumber)) {}

CSubmission::~CSubmission() {
  if (!m_Committed) Withdraw();
}

std::string CSubmission::EnvelopePath() const { return m_OutDirectory + StagedEnvelopeName(m_SpoolNumber); }

std::string CSubmission::Staged(const std::string& finalName) const {
  return m_OutDirectory + StagedName(m_SpoolNumber, finalName);
}

bool CSubmission::IsNameFree(const std::string& finalName) const {
  return !FileExists(m_OutDirectory + finalName) && !FileExists(Staged(finalName));
}

CStdioFile CSubmission::CreateFile(const std::string& finalName, const char* mode) {
  FaultStep("staged-create");
  CStdioFile file = CStdioFile::Open(Staged(finalName), mode);
  if (file.IsOpen()) {
    CPart part{finalName, {}, false};
    file.Identity(part.identity);
    m_Parts.push_back(std::move(part));
  }
  return file;
}

bool CSubmission::AdoptFile(const std::string& workPath, const std::string& finalName, CFile* held) {
  CFileIdentity identity;
  if (!FileIdentityByName(workPath, identity)) return false;
  FaultStep("staged-create");
  const bool moved = held != nullptr && held->IsValid() ? held->RenameThrough(Staged(finalName))
                                                        : FileMove(workPath, Staged(finalName));
  if (!moved) return false;
  m_Parts.push_back(CPart{finalName, identity, false});
  return true;
}

std::vector<std::string> CSubmission::FilesToSync() const {
  std::vector<std::string> files;
  files.reserve(m_Parts.size() + m_AlsoSync.size() + 1);
  files.push_back(EnvelopePath());
  for (const CPart& part : m_Parts) files.push_back(Staged(part.finalName));
  files.insert(files.end(), m_AlsoSync.begin(), m_AlsoSync.end());
  return files;
}

bool CSubmission::LinkParts() {
  for (CPart& part : m_Parts) {
    if (part.linked) continue;
    const std::string to = m_OutDirectory + part.finalName;
    FaultStep("link");
    if (!FileLink(Staged(part.finalName), to)) {
      DebugLogStr("SMTPIn- Error: Unable to give a submission file its name: ", to.c_str(), CV_SRC, __LINE__);
      LogLastError();
      return false;
    }
    part.linked = true;
  }
  return true;
}

bool CSubmission::RenameEnvelope() {
  const std::string from = EnvelopePath();
  const std::string to = m_OutDirectory + m_EnvelopeName + ".tmp";
  DebugLog2Str("SMTPIn- Renaming from: ", from.c_str(), CV_SRC, __LINE__);
  DebugLog2Str("SMTPIn- Renaming to: ", to.c_str(), CV_SRC, __LINE__);
  FaultStep("envelope-rename");
  if (m_EnvelopeName.empty() || !FileMove(from, to)) {
    DebugLogStr("SMTPIn- Error: Unable to rename the envelope to: ", to.c_str(), CV_SRC, __LINE__);
    LogLastError();
    return false;
  }
  m_EnvelopeRenamed = true;
  return true;
}

void CSubmission::Committed() {
  m_Committed = true;
  // The final names stay; a staged name left by a crash here is found and
  // dropped at the next start.
  for (const CPart& part : m_Parts) {
    FaultStep("unlink");
    FileDeleteIfSame(Staged(part.finalName), part.identity);
  }
  for (const std::function<void()>& action : m_OnCommit) action();
  m_OnCommit.clear();
}

void CSubmission::Withdraw() {
  if (m_Committed) return;
  if (m_EnvelopeRenamed) {
    // The fax server may already hold the job: it is complete, so it stays.
    DebugLogStr("SMTPIn- Error: submission visible, not withdrawn: ", m_EnvelopeName.c_str(), CV_SRC,
                __LINE__);
    return;
  }
  // The final name first: while its staged name is there, a start that finds
  // the pair still knows the final name as ours.
  for (const CPart& part : m_Parts) {
    if (part.linked) FileDeleteIfSame(m_OutDirectory + part.finalName, part.identity);
    FileDeleteIfSame(Staged(part.finalName), part.identity);
  }
  m_Parts.clear();
  // Emptied, not removed: it marks the spool file as still to be handed off.
  // Never made anew: one that is gone was not this submission's to keep.
  CFile envelope =
      CFile::Open(EnvelopePath(), FileAccess::kWrite, FileShare::kNone, FileCreation::kTruncateExisting);
  if (!envelope.IsValid() || !envelope.Close()) {
    DebugLogStr("SMTPIn- Error: Unable to empty the envelope: ", EnvelopePath().c_str(), CV_SRC, __LINE__);
  }
}

std::vector<std::string> CSubmission::PartNames() const {
  std::vector<std::string> names;
  for (const CPart& part : m_Parts) names.push_back(part.finalName);
  return names;
}
