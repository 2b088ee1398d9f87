// fuzz/hive_parser_fuzz.cpp: the hive file's parser and writer on arbitrary
// file text.
//
// Whatever the text, the hive read from it is written back as text that reads
// back with no problem reported and is written the same way again (the text
// names every key and value with its type and bytes, so equal texts are equal
// hives): the gateway rewrites its hive on every counter change, and a value
// that does not survive the trip is lost or altered for good. A binary value
// and a text value made of input bytes are stored first, as the registry's
// SetValue would, and must read back byte for byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSandbox.h"
#include "platform/HiveFormat.h"
#include "platform/Registry.h"

namespace {

constexpr std::size_t kTakenValueSize = 16;

void CheckValue(const CHive& hive, const std::string& keyPath, const char* name, DWORD type,
                const std::string& data) {
  const CHiveKey* key = hive.FindKey(keyPath);
  FUZZ_CHECK(key != nullptr, "the gateway's key is lost in the round trip");
  const CHiveValue* value = CHive::FindValue(*key, name);
  FUZZ_CHECK(value != nullptr, std::string("value lost in the round trip: ") + name);
  FUZZ_CHECK(value->type == type && value->data == data,
             std::string("value altered in the round trip: ") + name);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<CHiveProblem> problems;
  CHive hive = CHive::Parse(text, problems);
  FUZZ_CHECK(hive.Complete() == problems.empty(), "Complete() disagrees with the problems reported");

  const std::string taken(text.substr(text.size() > kTakenValueSize ? text.size() - kTakenValueSize : 0));
  const std::string keyPath = std::string("HKEY_LOCAL_MACHINE\\") + kGatewayKey;
  CHiveKey& key = hive.AddKey(keyPath);
  CHive::SetValue(key, "FuzzBinary", REG_BINARY, taken);
  CHive::SetValue(key, "FuzzText", REG_SZ, taken + '\0');

  const std::string written = hive.Serialize();
  std::vector<CHiveProblem> again;
  const CHive reread = CHive::Parse(written, again);
  FUZZ_CHECK(again.empty(), "the written hive does not read back: line " +
                                (again.empty() ? std::string() : std::to_string(again.front().line)));
  FUZZ_CHECK(reread.Serialize() == written, "the hive is written differently the second time");
  CheckValue(reread, keyPath, "FuzzBinary", REG_BINARY, taken);
  CheckValue(reread, keyPath, "FuzzText", REG_SZ, taken + '\0');
  return 0;
}
