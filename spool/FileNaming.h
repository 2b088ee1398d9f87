// spool/FileNaming.h: names of the files the gateway leaves in OUT.
//
// Counters (TmpIndex, OUTIndex, OUTIndexAtt), the last names and the
// name-in-use flags (FileNameUse, FileNameUseAtt) live under the gateway's
// registry key, so names are never handed out twice, across restarts too. A
// counter runs 0..65534 and then starts again at 0. None of these functions
// locks: the callers serialise them (the file manager's lock for spool names,
// the submission lock for the rest). CreateUniqueFile is in addition safe
// against other processes creating files in the same directory.
#pragma once

#include <cstddef>
#include <cstdint>

class CFile;

// Draws the next value of a counter (stores value+1, or 0 after 65534).
// Returns 0 and the value, or the registry error.
long DrawCounter(const char* valueName, long& value);

long MakeEnvFileName();       // OUT/ENV<n>; FileName, FileNameUse = 1
void GetFileName(char* out);  // at most 80 bytes; empty on failure
int IsFileNameInUse();
void ReleaseFileName();  // FileNameUse = 0, then the registry flushed
// The two steps of ReleaseFileName, for a caller that frees the name at once
// and waits for the disk later (after its lock): FileNameUse = 0; the flush.
void ClearFileNameInUse();
long FlushFileNames();

long MakeAttFileName(const char* extension);  // ATT<n>.<ext>; FileNameAtt, FileNameUseAtt = 1
void GetFileNameAtt(char* out);               // at most 80 bytes; empty on failure
int IsFileNameAttInUse();
void ReleaseFileNameAtt();  // FileNameUseAtt = 0 (put on disk with the submission)

// Waits while inUse() gives 1 (IsFileNameInUse, IsFileNameAttInUse), in steps
// of 25 seconds, logging `text` each time round. False once StopNameWaits has
// been called (the gateway stops): the caller gives up.
bool WaitWhileNameInUse(int (*inUse)(), const char* text);
void StopNameWaits(bool stop = true);  // false: waits go on again

void GetProgramPath(char* out);       // at most 80 bytes; empty on failure
void GetMsgCountFileName(char* out);  // ProgramPath + "OUT/Msgcnt.imp"; out has 260 bytes
// New empty ~ATTCnnn.imp in OUT; out has 260 bytes. With `held`, the file
// stays open there, with the right to delete it and shared for reading and
// writing, from its making on: no other program's open can come between.
void CreateAutoFile(char* out, CFile* held = nullptr);
// 0 and the name "~<prefix><3 digits>.<ext>" in out (capacity outSize); 1 bad
// arguments; 2 no more handles; 3 no such directory; 4 no free name; 5 other.
// `held` as for CreateAutoFile (open only on success).
int CreateUniqueFile(const char* prefix, const char* extension, const char* directory, char* out,
                     std::size_t outSize, CFile* held = nullptr);
void AddTrailingBackslash(char* path, std::size_t size);  // appends the platform separator
