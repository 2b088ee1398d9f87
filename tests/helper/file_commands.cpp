// tests/helper/file_commands.cpp: file subcommands of test_helper.
#include <cstdio>

#include "helper_commands.h"
#include "platform/File.h"

int HelperHoldExclusive(int argc, char** argv) {
  if (argc < 1) return 2;
  CFile file = CFile::Open(argv[0], FileAccess::kReadWrite, FileShare::kNone, FileCreation::kOpenAlways);
  if (!file.IsValid()) {
    std::printf("failed %lu\n", static_cast<unsigned long>(PlatformGetLastError()));
    std::fflush(stdout);
    return 1;
  }
  std::printf("locked\n");
  std::fflush(stdout);
  while (std::fgetc(stdin) != EOF) {
  }
  return 0;
}
