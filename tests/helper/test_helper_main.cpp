// tests/helper/test_helper_main.cpp: the one entry of test_helper; dispatches
// on the subcommand name.
#include <cstdio>
#include <cstring>

#include "helper_commands.h"

namespace {
struct CHelperCommand {
  const char* name;
  int (*run)(int argc, char** argv);
};

constexpr CHelperCommand kCommands[] = {
    {"hive-write-loop", HelperHiveWriteLoop},
    {"counter", HelperCounter},
    {"hold-exclusive", HelperHoldExclusive},
    {"tmp-names", HelperTmpNames},
};
}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2) {
    for (const CHelperCommand& command : kCommands) {
      if (std::strcmp(argv[1], command.name) == 0) return command.run(argc - 2, argv + 2);
    }
  }
  std::fprintf(stderr, "usage: test_helper <subcommand> [args...]\n");
  return 2;
}
