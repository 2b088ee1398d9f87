// tests/helper/registry_commands.cpp: registry subcommands of test_helper.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "helper_commands.h"
#include "platform/Registry.h"

int HelperHiveWriteLoop(int argc, char** argv) {
  if (argc < 1) return 2;
  const long count = std::atol(argv[0]);
  CRegKey key;
  if (CRegKey::Create(kGatewayKey, key) != ERROR_SUCCESS) return 3;
  for (long i = 0; i < count; ++i) {
    const std::string name = std::string("V").append(std::to_string(i));
    const long rc = RegWriteDword(key, name.c_str(), static_cast<DWORD>(i));
    if (rc != ERROR_SUCCESS) {
      std::printf("error %ld\n", rc);
      return 4;
    }
    std::printf("%ld\n", i);
    std::fflush(stdout);
  }
  return 0;
}

int HelperCounter(int argc, char** argv) {
  if (argc < 2) return 2;
  const long count = std::atol(argv[0]);
  const long flushEvery = argc >= 3 ? std::atol(argv[2]) : 0;
  CRegKey key;
  if (flushEvery > 0 && CRegKey::Create(kGatewayKey, key) != ERROR_SUCCESS) return 3;
  for (long i = 0; i < count; ++i) {
    DWORD value = 0;
    long rc = RegIncrementCounter(kGatewayKey, argv[1], 65535, &value);
    if (rc == ERROR_SUCCESS && flushEvery > 0 && (i + 1) % flushEvery == 0) rc = key.Flush();
    if (rc != ERROR_SUCCESS) {
      std::printf("error %ld\n", rc);
      return 4;
    }
    std::printf("%lu\n", static_cast<unsigned long>(value));
    std::fflush(stdout);
  }
  return 0;
}
