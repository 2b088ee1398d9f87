// tests/helper/spool_commands.cpp: spool subcommands of test_helper.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "helper_commands.h"
#include "spool/CFileMan.h"

int HelperTmpNames(int argc, char** argv) {
  if (argc < 1) return 2;
  const long count = std::atol(argv[0]);
  CFileMan files;
  const std::size_t prefix = std::strlen(files.ProgramPath()) + 4;  // ProgramPath "OUT" separator
  for (long i = 0; i < count; ++i) {
    char name[260];
    const int rc = files.NextTmpFileName(name, sizeof(name));
    if (rc != 0) {
      std::printf("error %d\n", rc);
      return 4;
    }
    std::printf("%ld\n", std::atol(name + prefix));
  }
  std::fflush(stdout);
  return 0;
}
