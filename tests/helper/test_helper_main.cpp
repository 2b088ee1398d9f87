// tests/helper/test_helper_main.cpp: test_helper, the second process of the
// multi-process unit tests and the DNS client's driver in the integration
// tests: `test_helper <subcommand> args...`. The hive is $CVSMTPGW_HIVE.
// Single-threaded.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/File.h"
#include "platform/Registry.h"
#include "spool/CFileMan.h"

namespace {

// hold-exclusive <path>: opens the file shared with nobody, prints "locked" and
// holds it until standard input ends.
int HoldExclusive(char** argv) {
  CFile file = CFile::Open(argv[0], FileAccess::kReadWrite, FileShare::kNone, FileCreation::kOpenAlways);
  std::printf(file.IsValid() ? "locked\n" : "failed\n");
  std::fflush(stdout);
  while (std::fgetc(stdin) != EOF) {
  }
  return file.IsValid() ? 0 : 1;
}

// tmp-names <count> [flushEvery]: draws inbound spool names (TmpIndex) and
// prints each number as it is drawn; flushes the registry after every
// flushEvery-th draw (so later draws rewrite the hive in place).
int TmpNames(int argc, char** argv) {
  CFileMan files;
  const long flushEvery = argc >= 2 ? std::atol(argv[1]) : 0;
  CRegKey key;
  if (flushEvery > 0 && CRegKey::Create(kGatewayKey, key) != ERROR_SUCCESS) return 3;
  const std::size_t prefix = std::strlen(files.ProgramPath()) + 4;  // ProgramPath "OUT" separator
  for (long i = 0; i < std::atol(argv[0]); ++i) {
    char name[260];
    if (files.NextTmpFileName(name, sizeof(name)) != 0) return 4;
    if (flushEvery > 0 && (i + 1) % flushEvery == 0 && key.Flush() != ERROR_SUCCESS) return 5;
    std::printf("%ld\n", std::atol(name + prefix));
    std::fflush(stdout);
  }
  return 0;
}
}  // namespace

int DnsLookupCommand(const char* server, const char* domain);  // dns_lookup_command.cpp

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "hold-exclusive") == 0) return HoldExclusive(argv + 2);
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "tmp-names") == 0) return TmpNames(argc - 2, argv + 2);
  if (argc == 4 && std::strcmp(argv[1], "dns-lookup") == 0) return DnsLookupCommand(argv[2], argv[3]);
  std::fprintf(
      stderr,
      "usage: test_helper hold-exclusive|tmp-names <arg> [flushEvery] | dns-lookup <server> <domain>\n");
  return 2;
}
