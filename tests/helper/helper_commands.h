// tests/helper/helper_commands.h: the subcommands of the test_helper program.
//
// Unit tests start test_helper (path in CVSMTPGW_TEST_HELPER) as a second
// process: `test_helper <subcommand> args...`. Each subcommand is a function
// taking the arguments after the subcommand name and returning the exit code;
// add yours here and to the table in test_helper_main.cpp, in a file of its
// own.
#pragma once

// Registry helpers (registry_commands.cpp); the hive is $CVSMTPGW_HIVE.
// hive-write-loop <count>: rewrites the hive `count` times, storing V<i> = i
// and printing i after each write.
int HelperHiveWriteLoop(int argc, char** argv);
// counter <count> <valueName> [flushEvery]: draws `count` numbers with
// RegIncrementCounter and prints each as it is drawn; with flushEvery > 0 the
// key is flushed after every flushEvery-th draw.
int HelperCounter(int argc, char** argv);

// File helpers (file_commands.cpp).
// hold-exclusive <path>: opens the file shared with nobody, prints "locked"
// (or "failed <code>") and holds it until standard input ends.
int HelperHoldExclusive(int argc, char** argv);

// Spool helpers (spool_commands.cpp).
// tmp-names <count>: draws `count` inbound spool names through the file
// manager (TmpIndex) and prints each name's number.
int HelperTmpNames(int argc, char** argv);
