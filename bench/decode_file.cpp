// bench/decode_file.cpp: runs the submission hand-off (MIME decoder included)
// over stored mail files, for benchmarks and cross-checks.
//
//   decode_file <spool file> [<RCPT argument>...]
//
// The settings come from the hive named by CVSMTPGW_HIVE (ProgramPath with
// OUT/, OUTIndex); the submission lands in OUT as the gateway would leave it.
// The spool file is left in place. Prints "handoff <result> <seconds>" on
// standard error; exits with the hand-off's result.
#include <chrono>
#include <cstdio>

#include "smtpin/Decode.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <spool file> [<RCPT argument>...]\n", argv[0]);
    return 2;
  }
  CRecipientList recipients;
  for (int i = 2; i < argc; ++i) recipients.emplace_back(argv[i]);
  const auto start = std::chrono::steady_clock::now();
  const int result = DecodeSpoolFile(recipients, argv[1]);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::fflush(stdout);
  std::fprintf(stderr, "handoff %d %.6f\n", result, took.count());
  return result;
}
