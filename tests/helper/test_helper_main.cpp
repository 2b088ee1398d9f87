// tests/helper/test_helper_main.cpp: test_helper, the second process of the
// multi-process unit tests and the scripted run before a power cut: `test_helper <subcommand> args...`.
// The hive is $CVSMTPGW_HIVE. Single-threaded.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/Registry.h"
#include "platform/System.h"
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
// flushes the registry after every flushEvery-th draw and at the end; prints
// each number once a flush has put its draw on disk.
int TmpNames(int argc, char** argv) {
  CFileMan files;
  const long flushEvery = argc >= 2 ? std::atol(argv[1]) : 0;
  CRegKey key;
  if (CRegKey::Create(kGatewayKey, key) != ERROR_SUCCESS) return 3;
  const std::size_t prefix = std::strlen(files.ProgramPath()) + 4;  // ProgramPath "OUT" separator
  std::vector<long> drawn;
  const auto flush = [&] {
    if (key.Flush() != ERROR_SUCCESS) return false;
    for (long n : drawn) std::printf("%ld\n", n);
    std::fflush(stdout);
    drawn.clear();
    return true;
  };
  for (long i = 0; i < std::atol(argv[0]); ++i) {
    char name[260];
    if (files.NextTmpFileName(name, sizeof(name)) != 0) return 4;
    drawn.push_back(std::atol(name + prefix));
    if (flushEvery > 0 && (i + 1) % flushEvery == 0 && !flush()) return 5;
  }
  return flush() ? 0 : 5;
}

// settings: the texts the settings object takes from the registry, one
// "name=value" line each, for comparing with what another platform wrote.
int Settings() {
  CFileMan files;
  char domain[100] = "", mailFrom[300] = "";
  files.GetDomainName(domain, sizeof domain);
  files.GetMailFrom(mailFrom, sizeof mailFrom);
  std::printf("ProgramPath=%s\nDomainName=%s\nMailFrom=%s\n", files.ProgramPath(), domain, mailFrom);
  return 0;
}

}  // namespace

int PowerCutCommand(const std::string& dir);  // power_cut_command.cpp
// The commands of one platform's own (helper/win32, helper/posix): the exit
// status, or -1 when argv[1] names none of them.
int PlatformHelperCommand(int argc, char** argv);

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "hold-exclusive") == 0) return HoldExclusive(argv + 2);
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "tmp-names") == 0) return TmpNames(argc - 2, argv + 2);
  if (argc == 2 && std::strcmp(argv[1], "settings") == 0) return Settings();
  if (argc == 3 && std::strcmp(argv[1], "power-cut") == 0) return PowerCutCommand(argv[2]);
  if (const int rc = PlatformHelperCommand(argc, argv); rc >= 0) return rc;
  std::fprintf(stderr, "usage: test_helper hold-exclusive <path> | tmp-names <count> [flushEvery] | settings | "
                       "power-cut <dir> | a command of helper/win32\n");
  return 2;
}
