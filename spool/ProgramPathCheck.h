// spool/ProgramPathCheck.h: whether the program directory (the ProgramPath
// setting) can hold the spool, checked at start before anything is written
// there.
//
// A directory that fails one of these would not fail loudly later: an empty
// or too long value becomes "" (the spool in the current directory, on
// Windows System32), a value without its final separator names the wrong
// files, a mapped drive is not there for a service, characters outside the
// ANSI code page name another path, and a volume without hard links (FAT,
// exFAT, older ReFS) or without directory flushes makes every hand-off fail
// and be tried again for ever. So each one stops the start with its reason.
//
// Threading: main or start thread, before the spool is used.
#pragma once

#include <string>

struct CProgramPathCheck {
  std::string value;    // the setting as read (cut for display when too long); "" when absent
  std::string problem;  // "" when the directory can be used, else why not, for an administrator
};

// Reads ProgramPath from the gateway's key and checks the directory: the
// value fits its limit and the code page and ends in a separator; the path
// is absolute and not on a mapped drive; the directory and its IN and OUT
// exist; a file can be made, written, synced, given a second name and
// removed in OUT, and made and removed in IN; a directory's names can be
// synced on that volume.
CProgramPathCheck CheckProgramPath();
