// fuzz/SubmissionRules.cpp: the envelope rules of SubmissionRules.h.
#include "SubmissionRules.h"

#include <string_view>

#include "FuzzSandbox.h"

namespace {

bool IsSummaryLine(std::string_view line) {
  return line.starts_with("FROM: ") || line.starts_with("TO: ") || line.starts_with("SUBJECT: ");
}

// "<<name>>" around a saved file name (after the last ':' for attachments).
std::string SavedName(std::string_view line, bool attachment) {
  FUZZ_CHECK(line.size() > 4 && line.starts_with("<<") && line.ends_with(">>"),
             "a file line is not framed by << and >>: " + std::string(line));
  std::string_view inner = line.substr(2, line.size() - 4);
  if (attachment) {
    const std::size_t colon = inner.find(':');
    FUZZ_CHECK(colon != std::string_view::npos && inner.find(':', colon + 1) == std::string_view::npos,
               "an attachment line has no single ':': " + std::string(line));
    FUZZ_CHECK(inner.substr(0, colon).find_first_of("<>") == std::string_view::npos,
               "an attachment's listed name frames the line: " + std::string(line));
    inner = inner.substr(colon + 1);
  }
  FUZZ_CHECK(!inner.empty() && inner.find_first_of("/\\<>:") == std::string_view::npos,
             "a named file is not a plain name in OUT: " + std::string(line));
  return std::string(inner);
}

}  // namespace

void CheckSubmissionEnvelope(const std::string& text, bool complete, std::vector<std::string>& named) {
  std::vector<std::string_view> lines;
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t end = rest.find("\r\n");
    FUZZ_CHECK(end != std::string_view::npos, "the envelope does not end with a line end");
    const std::string_view line = rest.substr(0, end);
    for (const char c : line) {
      FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f,
                 "a control character in an envelope line: " + std::string(line));
    }
    lines.push_back(line);
    rest.remove_prefix(end + 2);
  }
  std::size_t i = 0;
  while (i < lines.size() && IsSummaryLine(lines[i])) ++i;
  if (!complete) {
    FUZZ_CHECK(i == lines.size(), "an envelope line that is no header summary line");
    return;
  }
  const auto expect = [&](std::string_view want) {
    FUZZ_CHECK(i < lines.size() && lines[i] == want,
               "envelope line " + std::to_string(i + 1) + " is not \"" + std::string(want) + "\"");
    ++i;
  };
  expect("");
  expect("BEGIN BODY");
  FUZZ_CHECK(i < lines.size(), "the body block names no file");
  named.push_back(SavedName(lines[i++], false));
  expect("END BODY");
  expect("");
  if (i == lines.size()) return;
  expect("BEGIN ATTACH");
  while (i < lines.size() && lines[i] != "END ATTACH") named.push_back(SavedName(lines[i++], true));
  expect("END ATTACH");
  FUZZ_CHECK(i == lines.size(), "lines after the attachment block");
}
