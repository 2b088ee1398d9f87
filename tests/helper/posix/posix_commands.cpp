// tests/helper/posix/posix_commands.cpp: the POSIX build's helper has no
// commands of its own.
int PlatformHelperCommand(int /*argc*/, char** /*argv*/) { return -1; }
