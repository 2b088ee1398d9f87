// platform/FaultInjection.h: a seam that makes chosen file operations fail, so
// that tests can drive the error paths (a full disk, an I/O error halfway
// through a replacement) on a real file system.
//
// Platform code asks FaultInjected before an operation on a path; when it
// answers true, the code fails that call with the errno it set, as if the
// operating system had. Nothing is armed unless a test arms it: unit tests call
// ArmFault directly; the program itself arms the rules in the environment
// variable CVSMTPGW_FAULTS (see ArmFaultsFromText) at the first check, but only
// when built with -DCVSMTPGW_FAULT_INJECTION=ON (the sanitizer test build; never
// a release). With nothing armed a check costs a few atomic operations.
//
// Test settings ride on the same build option: time limits shortened from the
// environment (TestDurationMs), such as the outbound reply time-out, and
// limits made small (TestLimit).
//
// Two more tools reach the windows that random kills only hit by chance. The
// steps of the spool protocol (spool write and sync, staged create, link,
// data sync, envelope rename, directory sync, unlink, recovery step) announce
// themselves through FaultStep before they act. A "crash" rule ends the
// process there as kill -9 would; a "power" rule first undoes every change of
// the spool directories that no sync has made durable yet, as a power cut
// would (platform/posix/PosixDurability.h, armed by CVSMTPGW_POWER_CUT_DIRS),
// then ends it the same way. CVSMTPGW_STEP_LOG names a file that gets one
// line per step, so that a test can count the steps of a run.
//
// Consulted by the hive's replacement (create, write and sync of the
// temporary file, the rename over the hive, the sync of its directory), and by
// the file calls of the spool: creating, writing and reading a CFile or
// CStdioFile, moves and second names (kRename, the new name), file deletions,
// and the syncs of files, directories and a CVolumeSync (its directory). On
// Windows the registry's value changes ask too (kWrite, "HKEY_LOCAL_MACHINE\<key>\<value
// name>"). Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class FaultOp {
  kCreate,    // creating a file (the path of the new file)
  kWrite,     // writing a file's data
  kSync,      // putting a file, or a directory (its path without a final separator), on disk
  kRename,    // a rename or a second name (the new name)
  kRead,      // reading a file's data (the path as opened)
  kCrash,     // a step of the spool protocol (its name, see FaultStep): the process is killed
  kPowerCut,  // the same, after undoing what is not durable
  kDelete,    // deleting a file (its path)
};

// True: fail this call. errno is then set to the armed error (EIO unless the
// rule asked for another, ENOSPC for a full disk, say).
bool FaultInjected(FaultOp op, const std::string& path);

// Fails the next `count` calls of `op` on paths matching `pattern` (the whole
// path, with the wildcards of FindFiles: * any run, ? one character) with
// `error`, an errno value (0: EIO), after letting the first `skip` of them
// pass. Rules are kept in the order armed; a call uses up the first rule that
// matches it.
void ArmFault(FaultOp op, const std::string& pattern, int count, int error = 0, int skip = 0);
void ClearFaults();

// How often FaultInjected was asked about `op` in this process, whatever it
// answered: tests count operations through it (the hive writes of a batch).
std::uint64_t FaultChecks(FaultOp op);

// Arms the rules in `ruleText`, "op:count:error:pattern" joined by ';', with op one
// of create, write, sync, rename, read, crash, power, delete, count "N" or "skip+N",
// and error EIO, ENOSPC, EACCES, EPERM or empty (EIO); the pattern comes last, so
// it may hold ':'. Examples: "sync:1::*/hive.reg.new", "sync:1+1:ENOSPC:*/OUT" (the
// second sync fails), "crash:2+1::link" (killed at the third link).
// False, with nothing armed, when any rule cannot be read.
bool ArmFaultsFromText(std::string_view ruleText);

// Whether this build arms CVSMTPGW_FAULTS from the environment.
bool FaultEnvironmentHonoured();

// A step of the spool protocol is about to act: "spool-write", "spool-sync",
// "staged-create", "link", "data-sync", "envelope-rename", "directory-sync",
// "unlink" or "recovery". Logged to CVSMTPGW_STEP_LOG, then a crash or power
// rule that matches it ends the process here. Costs an atomic load unarmed.
void FaultStep(const char* step);

// Backends: ends the process at once, as kill -9 does.
[[noreturn]] void KillProcessNow();
// Backends: undoes what the process has not made durable (where the backend
// keeps that record), then KillProcessNow.
[[noreturn]] void PowerCutNow();

// A time limit that tests may shorten, so that a ten-minute limit can be shown
// in seconds: the environment variable `name` (decimal milliseconds, 1 or
// more) in a build that honours CVSMTPGW_FAULTS, else `normal`. A value that
// cannot be read is reported on standard error and `normal` is kept.
std::uint32_t TestDurationMs(const char* name, std::uint32_t normal);
// A count limit that tests may make small, read the same way.
std::uint32_t TestLimit(const char* name, std::uint32_t normal);
// A switch for tests: true when the variable `name` is "1" in such a build.
bool TestFlag(const char* name);
