// fuzz/hive_parser_fuzz.cpp: the hive file's parser and writer on arbitrary
// file text (UTF-8, UTF-16 with its mark, or neither).
//
// The gateway rewrites its hive on every counter change: a key or value
// that does not survive the written round trip, with values stored from
// input bytes too, is lost or altered for good.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSandbox.h"
#include "platform/Registry.h"
#include "platform/posix/HiveFormat.h"

namespace {

constexpr std::size_t kTakenValueSize = 16;

// The two hives hold the same keys with the same values, in the same order.
void CheckSameHive(const CHive& before, const CHive& after) {
  const std::vector<CHiveKey>& a = before.Keys();
  const std::vector<CHiveKey>& b = after.Keys();
  FUZZ_CHECK(a.size() == b.size(), "a key is lost or added in the round trip");
  for (std::size_t k = 0; k < a.size(); ++k) {
    FUZZ_CHECK(a[k].path == b[k].path, "key renamed in the round trip: " + a[k].path);
    FUZZ_CHECK(a[k].values.size() == b[k].values.size(),
               "a value is lost or added in the round trip under " + a[k].path);
    for (std::size_t v = 0; v < a[k].values.size(); ++v) {
      const CHiveValue& x = a[k].values[v];
      const CHiveValue& y = b[k].values[v];
      FUZZ_CHECK(x.name == y.name && x.type == y.type && x.data == y.data,
                 "value renamed or altered in the round trip: " + x.name);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = AsText(data, size);
  std::vector<CHiveProblem> problems;
  CHive hive = CHive::Parse(text, problems);
  FUZZ_CHECK(hive.Complete() == problems.empty(), "Complete() disagrees with the problems reported");

  const std::string taken(text.substr(text.size() > kTakenValueSize ? text.size() - kTakenValueSize : 0));
  CHiveKey& key = hive.AddKey(std::string("HKEY_LOCAL_MACHINE\\") + kGatewayKey);
  CHive::SetValue(key, "FuzzBinary", REG_BINARY, taken);
  CHive::SetValue(key, "FuzzText", REG_SZ, taken + '\0');
  CHive::SetValue(key, "FuzzExpand", REG_EXPAND_SZ, taken);  // no terminator: a string type need not have one

  const std::string written = hive.Serialize();
  std::vector<CHiveProblem> again;
  const CHive reread = CHive::Parse(written, again);
  FUZZ_CHECK(again.empty(), "the written hive does not read back: line " +
                                (again.empty() ? std::string() : std::to_string(again.front().line)));
  FUZZ_CHECK(reread.Serialize() == written, "the hive is written differently the second time");
  CheckSameHive(hive, reread);  // the three values stored above too
  return 0;
}
