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

#include "platform/File.h"
#include "smtpin/Decode.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <spool file> [<RCPT argument>...]\n", argv[0]);
    return 2;
  }
  CSpoolRecord record;
  for (int i = 2; i < argc; ++i) record.recipients.emplace_back(argv[i]);
  // A plain mail file: all of it is the mail.
  const std::int64_t size = FileSizeByName(argv[1]);
  record.dataLength = size > 0 ? static_cast<std::uint64_t>(size) : 0;
  const auto start = std::chrono::steady_clock::now();
  const int result = DecodeSpoolFile(argv[1], record);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::fflush(stdout);
  std::fprintf(stderr, "handoff %d %.6f\n", result, took.count());
  return result;
}
