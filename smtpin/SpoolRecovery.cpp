// smtpin/SpoolRecovery.cpp: the start-up look at OUT.
//
// Threading: see SpoolRecovery.h (one thread, nothing else running in OUT).
#include "smtpin/SpoolRecovery.h"

#include <algorithm>
#include <map>
#include <set>

#include "log/DebugLog.h"
#include "platform/File.h"
#include "platform/Text.h"
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

}  // namespace

std::vector<CRecoveredMail> RecoverSpool(const std::string& outDirectory) {
  std::vector<CRecoveredMail> recovered;
  std::string bare = outDirectory;
  if (!bare.empty()) bare.pop_back();
  std::vector<std::string> names;
  if (FindFiles(bare, "*", names) != ERROR_SUCCESS) return recovered;

  std::map<std::string, std::vector<std::string>> staged;  // spool number -> staged names
  std::vector<std::string> spools;
  for (const std::string& name : names) {
    std::string number, rest;
    if (ParseStagedName(name, number, rest)) {
      staged[number].push_back(name);
    } else if (EqualsNoCase(name, "Msgcnt.imp") || WildcardMatch("~ATTC*.imp", name.c_str())) {
      // A work file of a decoding that was cut; its hand-off runs again.
      Log("SMTPIn- Removing a work file of an unfinished hand-off: ", name);
      FileDelete(outDirectory + name);
    } else if (WildcardMatch("*.zqx", name.c_str())) {
      spools.push_back(name);
    }
  }

  const auto removeStaged = [&](const std::string& number, bool keepEnvelope) {
    auto it = staged.find(number);
    if (it == staged.end()) return;
    for (const std::string& name : it->second) {
      if (keepEnvelope && name == StagedEnvelopeName(number)) continue;
      FileDelete(outDirectory + name);
    }
    staged.erase(it);
  };

  for (const std::string& name : spools) {
    const std::string path = outDirectory + name;
    const std::string number = SpoolNumber(name);
    const std::string envelope = StagedEnvelopeName(number);
    const auto own = staged.find(number);
    const bool envelopeThere = own != staged.end() && std::find(own->second.begin(), own->second.end(),
                                                                envelope) != own->second.end();
    if (!AllDigits(number)) {
      KeepAside(path, "not a spool file name");
      continue;
    }
    CSpoolRecord record;
    std::string why;
    switch (ReadSpoolFile(path, envelopeThere, record, why)) {
      case SpoolFileState::kUnfinished:
        Log("SMTPIn- Removing a mail that was never acknowledged: ", name);
        FileDelete(path);
        removeStaged(number, false);
        break;
      case SpoolFileState::kUnreadable:
        KeepAside(path, why);
        removeStaged(number, false);
        break;
      case SpoolFileState::kAcknowledged:
        if (!envelopeThere) {
          // Its envelope was renamed: the fax server has had the job. Staged
          // names left are second names of its parts, which stay.
          Log("SMTPIn- Finishing a mail handed off before the stop: ", name);
          removeStaged(number, false);
          FinishSpoolFile(path.c_str(), record.dataLength);
          break;
        }
        // An unfinished hand-off: a final name that is a second name of one
        // of its staged files was given by it, and goes with it.
        for (const std::string& name : own->second) {
          std::string ignored, finalName;
          ParseStagedName(name, ignored, finalName);
          if (name == envelope || !SameFile(outDirectory + name, outDirectory + finalName)) continue;
          if (FileDelete(outDirectory + finalName))
            Log("SMTPIn- Withdrawn from an unfinished hand-off: ", finalName);
        }
        removeStaged(number, true);
        Log("SMTPIn- Handing off again a mail acknowledged before the stop: ", name);
        recovered.push_back(CRecoveredMail{path, std::move(record)});
        break;
    }
  }
  // Staged files whose spool file is gone belong to no mail any more.
  for (const auto& [number, files] : staged) {
    for (const std::string& name : files) {
      Log("SMTPIn- Removing a leftover of a hand-off: ", name);
      FileDelete(outDirectory + name);
    }
  }
  std::stable_sort(recovered.begin(), recovered.end(), [](const CRecoveredMail& a, const CRecoveredMail& b) {
    return a.record.acknowledgedAt < b.record.acknowledgedAt;
  });
  return recovered;
}
