// smtpin/SpoolRecovery.cpp: the start-up look at OUT, and the later look at
// one spool file that could not be judged then.
//
// Threading: RecoverSpool as in SpoolRecovery.h (one thread, nothing else
// running in OUT); RecoverSpoolFile and KeepAsideSpoolFile on the hand-off's
// staging thread, for a spool number that nothing else uses (a session never
// draws a number whose spool file or staged names exist).
#include "smtpin/SpoolRecovery.h"

#include <algorithm>
#include <map>

#include "base/Text.h"
#include "base/Wildcard.h"
#include "log/DebugLog.h"
#include "platform/FaultInjection.h"
#include "smtpin/Decode.h"
#include "spool/StagedNames.h"

namespace {

bool AllDigits(const std::string& text) {
  return !text.empty() && text.size() <= 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void Log(const char* text, const std::string& value) {
  DebugLogStr(text, value.c_str(), CV_SRC, __LINE__);
  DebugLog2Str(text, value.c_str(), CV_SRC, __LINE__);
}

std::string Bare(const std::string& outDirectory) {
  std::string bare = outDirectory;
  if (!bare.empty()) bare.pop_back();
  return bare;
}

std::vector<std::string> StagedNamesOf(const std::string& outDirectory, const std::string& number) {
  std::vector<std::string> names;
  FindFiles(Bare(outDirectory), (StagedPrefix(number) + "*").c_str(), names);
  return names;
}

void RemoveStaged(const std::string& outDirectory, const std::vector<std::string>& staged, bool keepEnvelope,
                  const std::string& number) {
  for (const std::string& name : staged) {
    if (keepEnvelope && name == StagedEnvelopeName(number)) continue;
    FaultStep("recovery");
    FileDelete(outDirectory + name);
  }
}

// Keeps `path` aside; false (logged, nothing changed) when it cannot be.
bool KeptAside(const std::string& path, const std::string& why) {
  FaultStep("recovery");
  if (!KeepAside(path, why).empty()) return true;
  Log("SMTPIn- Error: could not be kept aside, left as it is and looked at again later: ", path);
  return false;
}

RecoveryOutcome Judge(const std::string& outDirectory, const std::string& name,
                      const std::vector<std::string>& staged, CRecoveredMail& mail) {
  const std::string path = outDirectory + name;
  const std::string number = SpoolNumber(name);
  if (!AllDigits(number))
    return KeptAside(path, "not a spool file name") ? RecoveryOutcome::kSettled : RecoveryOutcome::kTryLater;
  const std::string envelope = StagedEnvelopeName(number);
  const bool envelopeThere = std::find(staged.begin(), staged.end(), envelope) != staged.end();
  CSpoolRecord record;
  CFileIdentity identity;
  std::string why;
  switch (ReadSpoolFile(path, envelopeThere, record, why, identity)) {
    case SpoolFileState::kGone:
      // Gone meanwhile: what was staged for it belongs to no mail any more.
      RemoveStaged(outDirectory, staged, false, number);
      return RecoveryOutcome::kSettled;
    case SpoolFileState::kReadFailed:
      Log("SMTPIn- A spool file could not be read, looked at again later: ", name + " (" + why + ")");
      return RecoveryOutcome::kTryLater;
    case SpoolFileState::kUnfinished:
      Log("SMTPIn- Removing a mail that was never acknowledged: ", name);
      FaultStep("recovery");
      if (!FileDeleteIfSame(path, identity)) return RecoveryOutcome::kTryLater;
      RemoveStaged(outDirectory, staged, false, number);
      return RecoveryOutcome::kSettled;
    case SpoolFileState::kUnreadable:
      // The staged names go only once the file is kept: they mark it as ours.
      if (!KeptAside(path, why)) return RecoveryOutcome::kTryLater;
      RemoveStaged(outDirectory, staged, false, number);
      return RecoveryOutcome::kSettled;
    case SpoolFileState::kAcknowledged:
      break;
  }
  if (!envelopeThere) {
    // Its envelope was renamed: the fax server has had the job. Staged
    // names left are second names of its parts, which stay.
    Log("SMTPIn- Finishing a mail handed off before the stop: ", name);
    RemoveStaged(outDirectory, staged, false, number);
    FinishSpoolFile(path.c_str(), record.dataLength, identity);
    return RecoveryOutcome::kSettled;
  }
  // A staged envelope beside a job that is complete: a body that has its
  // final name while its envelope has its ".tmp" name was handed off, and the
  // staged envelope was made later for a spool number drawn again (by an
  // earlier version, which made it before it looked). Withdrawing would take
  // the parts of a job the fax server may be taking, and hand it off twice.
  for (const std::string& stagedName : staged) {
    std::string ignored, finalName;
    ParseStagedName(stagedName, ignored, finalName);
    if (finalName.size() <= 4 || finalName.compare(finalName.size() - 4, 4, ".bdy") != 0) continue;
    const std::string job = finalName.substr(0, finalName.size() - 4) + ".tmp";
    if (!SameFile(outDirectory + stagedName, outDirectory + finalName) || !FileExists(outDirectory + job))
      continue;
    Log("SMTPIn- A staged envelope beside a complete job, the mail was handed off: ",
        name + " (" + job + ")");
    RemoveStaged(outDirectory, staged, false, number);
    FinishSpoolFile(path.c_str(), record.dataLength, identity);
    return RecoveryOutcome::kSettled;
  }
  // An unfinished hand-off: a final name that is a second name of one of its
  // staged files was given by it, and goes with it.
  for (const std::string& stagedName : staged) {
    std::string ignored, finalName;
    ParseStagedName(stagedName, ignored, finalName);
    if (stagedName == envelope || !SameFile(outDirectory + stagedName, outDirectory + finalName)) continue;
    FaultStep("recovery");
    if (FileDelete(outDirectory + finalName))
      Log("SMTPIn- Withdrawn from an unfinished hand-off: ", finalName);
  }
  RemoveStaged(outDirectory, staged, true, number);
  Log("SMTPIn- Handing off again a mail acknowledged before the stop: ", name);
  mail = CRecoveredMail{path, std::move(record), identity};
  return RecoveryOutcome::kHandOff;
}

}  // namespace

CSpoolRecovery RecoverSpool(const std::string& outDirectory) {
  CSpoolRecovery result;
  std::vector<std::string> names;
  if (FindFiles(Bare(outDirectory), "*", names) != ERROR_SUCCESS) return result;

  std::map<std::string, std::vector<std::string>> staged;  // spool number -> staged names
  std::vector<std::string> spools;
  for (const std::string& name : names) {
    std::string number, rest;
    if (ParseStagedName(name, number, rest)) {
      staged[number].push_back(name);
    } else if (EqualsNoCase(name, "Msgcnt.imp") || WildcardMatch("~ATTC*.imp", name.c_str())) {
      // A work file of a decoding that was cut; its hand-off runs again.
      Log("SMTPIn- Removing a work file of an unfinished hand-off: ", name);
      FaultStep("recovery");
      FileDelete(outDirectory + name);
    } else if (WildcardMatch("*.zqx", name.c_str())) {
      spools.push_back(name);
    }
  }

  for (const std::string& name : spools) {
    const std::string number = SpoolNumber(name);
    const auto own = staged.find(number);
    const std::vector<std::string> mine = own == staged.end() ? std::vector<std::string>{} : own->second;
    // Whatever becomes of it, its staged names are its own, not leftovers.
    if (own != staged.end()) staged.erase(own);
    CRecoveredMail mail;
    switch (Judge(outDirectory, name, mine, mail)) {
      case RecoveryOutcome::kHandOff:
        result.handOff.push_back(std::move(mail));
        break;
      case RecoveryOutcome::kTryLater:
        result.later.push_back(outDirectory + name);
        break;
      case RecoveryOutcome::kSettled:
        break;
    }
  }
  // Staged files whose spool file is gone belong to no mail any more.
  for (const auto& [number, files] : staged) {
    for (const std::string& name : files) {
      Log("SMTPIn- Removing a leftover of a hand-off: ", name);
      FaultStep("recovery");
      FileDelete(outDirectory + name);
    }
  }
  std::stable_sort(result.handOff.begin(), result.handOff.end(),
                   [](const CRecoveredMail& a, const CRecoveredMail& b) {
                     return a.record.acknowledgedAt < b.record.acknowledgedAt;
                   });
  return result;
}

RecoveryOutcome RecoverSpoolFile(const std::string& outDirectory, const std::string& name,
                                 CRecoveredMail& mail) {
  return Judge(outDirectory, name, StagedNamesOf(outDirectory, SpoolNumber(name)), mail);
}

bool KeepAsideSpoolFile(const std::string& outDirectory, const std::string& path,
                        const CFileIdentity& identity, const std::string& why) {
  CFileIdentity now;
  if (identity.known && !(FileIdentityByName(path, now) && now == identity)) {
    Log("SMTPIn- Error: the spool file is not the one acknowledged, left alone: ", path);
    return false;
  }
  if (!KeptAside(path, why)) return false;
  const std::string number = SpoolNumber(path);
  RemoveStaged(outDirectory, StagedNamesOf(outDirectory, number), false, number);
  return true;
}
