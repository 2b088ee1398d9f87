// platform/Environment.cpp: reading the process's environment, the same on
// every backend (setting it is the backends': Windows keeps two copies).
// Any thread, while nobody sets a variable.
#include <cstdlib>
#include <string>

#include "platform/Process.h"

std::string EnvironmentValue(const char* name, const char* fallback) {
  const char* value = name != nullptr ? std::getenv(name) : nullptr;
  return value != nullptr && *value != '\0' ? std::string(value)
                                            : std::string(fallback != nullptr ? fallback : "");
}
