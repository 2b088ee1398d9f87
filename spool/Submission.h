// spool/Submission.h: one fax submission on its way into OUT, owning every
// file it makes there.
//
// A submission is built for one spool file OUT/<n>.zqx. Its files are created
// under staged names ("~<n>~" and the final name, spool/StagedNames.h), each
// exclusively, so that nothing of another job is ever written over; its
// envelope is the staged envelope "~<n>~ENV" that was made with the spool file.
// Completing it (see smtpin/Decode.h) gives the body and the attachments
// their final names as second names of the same files (so each staged name
// still says whose a final name is), puts all of it on disk, then renames the
// envelope to "ENV<m>.tmp", at which moment the fax server may take the job,
// and only then drops the staged names. Until then Withdraw (also run by the
// destructor of a submission not committed) removes exactly the files this
// submission made, their final names included, and empties its envelope,
// which stays to say that the mail still waits for its hand-off. A name is
// only ever removed while it still stands for the file made under it (its
// identity is kept from the making): a spool directory replaced meanwhile
// loses nothing to a withdrawal.
//
// Threading: used by one thread at a time (the hand-off's).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/File.h"

class CSubmission {
 public:
  // `outDirectory` ends with the path separator; `spoolNumber` is the n of n.zqx.
  CSubmission(std::string outDirectory, std::string spoolNumber);
  CSubmission(const CSubmission&) = delete;
  CSubmission& operator=(const CSubmission&) = delete;
  ~CSubmission();

  const std::string& OutDirectory() const { return m_OutDirectory; }
  const std::string& SpoolNumber() const { return m_SpoolNumber; }
  // The envelope being written: the staged envelope of the spool file.
  std::string EnvelopePath() const;
  // "ENV<m>": the envelope's final name without ".tmp" (set by the hand-off
  // once drawn); also names the body "ENV<m>.bdy".
  void SetEnvelopeName(std::string name) { m_EnvelopeName = std::move(name); }
  const std::string& EnvelopeName() const { return m_EnvelopeName; }

  // True when neither `finalName` nor its staged name exists in OUT, so a file
  // of that name may be made for this submission.
  bool IsNameFree(const std::string& finalName) const;
  // Creates the staged file of `finalName`, new and exclusively ("wx" or
  // "wbx"); not open on failure (last error set: ERROR_FILE_EXISTS when taken).
  CStdioFile CreateFile(const std::string& finalName, const char* mode);
  // Makes the work file `workPath` (a file of the hand-off's own) the staged
  // file of `finalName`, by renaming it (through `held`, its open handle with
  // the right to, when given: no other program's open can stop that); false
  // (last error set) on failure.
  bool AdoptFile(const std::string& workPath, const std::string& finalName, CFile* held = nullptr);
  // Another file the submission depends on (a stored fragment, say): synced
  // with the submission's own files, never removed by it.
  void SyncAlso(std::string path) { m_AlsoSync.push_back(std::move(path)); }
  // Runs once the submission is complete, never when it is withdrawn.
  void OnCommit(std::function<void()> action) { m_OnCommit.push_back(std::move(action)); }

  // Every file whose data must be on disk before the envelope's rename.
  std::vector<std::string> FilesToSync() const;
  // Gives the staged body and attachments their final names too, never
  // replacing a file. False (logged) when one cannot be given.
  bool LinkParts();
  // The envelope to "ENV<m>.tmp", never replacing a file. False (logged) on failure.
  bool RenameEnvelope();
  // The submission is complete and its names are on disk: drops the staged
  // names of its parts and runs the OnCommit actions; nothing of it is
  // withdrawn from now on.
  void Committed();
  // Removes the files this submission made and empties its envelope.
  void Withdraw();

  bool IsCommitted() const { return m_Committed; }
  // The final names of the body and attachments, in the order made.
  std::vector<std::string> PartNames() const;

 private:
  struct CPart {
    std::string finalName;
    CFileIdentity identity;  // the file made
    bool linked = false;     // its final name given as well
  };

  std::string Staged(const std::string& finalName) const;

  std::string m_OutDirectory;
  std::string m_SpoolNumber;
  std::string m_EnvelopeName;
  std::vector<CPart> m_Parts;
  std::vector<std::string> m_AlsoSync;
  std::vector<std::function<void()>> m_OnCommit;
  bool m_EnvelopeRenamed = false;
  bool m_Committed = false;
};
