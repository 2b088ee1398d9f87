// mime/HeaderParser.cpp: reading a header block, picking its fields and
// parsing Content-Type and Content-Disposition values.
//
// Every scan is bounded by the end of its block (or copy) as well as by a NUL,
// so a value that lacks its closing quote, bracket or line end stops at the
// end of the data. One decoding run per thread; no shared state.
#include "mime/HeaderParser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/Text.h"
#include "log/DebugLog.h"
#include "mime/HeaderSummary.h"
#include "spool/Submission.h"

namespace {

constexpr std::size_t kHeaderBlockStep = 1000;  // initial size and least growth
constexpr std::size_t kHeaderBlockSlack = 100;  // grow when less space remains
constexpr std::size_t kMinContentTypeCopy = 200;

inline bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// `p` starts with `word`, case ignored, within [p, end).
bool StartsWithinNoCase(const char* p, const char* end, const char* word) {
  return p < end && StartsWithNoCase(std::string_view(p, static_cast<std::size_t>(end - p)), word);
}

// The value of a parameter at `p`: a quoted string without its quotes (a
// backslash takes the next character literally; no closing quote: null) or
// the characters up to white space (and "(" when stopAtParen).
std::unique_ptr<std::string> ParameterValue(const char* p, const char* end, bool stopAtParen) {
  auto value = std::make_unique<std::string>();
  if (p < end && *p == '"') {
    ++p;
    for (;;) {
      if (p >= end || *p == '\0') return nullptr;
      if (*p == '"') break;
      if (*p == '\\') {
        ++p;
        if (p >= end || *p == '\0') return nullptr;
      }
      value->push_back(*p++);
    }
    return value;
  }
  while (p < end && *p != '\0' && !IsSpace(*p) && !(stopAtParen && *p == '(')) value->push_back(*p++);
  return value;
}

// Blanks out the comment that opens at `s` (nested, backslash escapes) and
// returns the position after it.
char* BlankComment(char* s, const char* end) {
  int level = 0;
  while (s < end) {
    const char c = *s;
    if (c == '\\' && level > 0) {
      *s++ = ' ';
      if (s < end) *s++ = ' ';
      continue;
    }
    if (c == '(') ++level;
    if (c == ')') --level;
    *s++ = ' ';
    if (level == 0) break;
  }
  return s;
}

// A line that starts a header: one or more bytes 33..126 other than ":", then ":".
bool IsHeaderLine(const char* line, std::size_t length) {
  std::size_t i = 0;
  while (i < length) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c == ':') return i > 0;
    if (c < 33 || c > 126) return false;
    ++i;
  }
  return false;
}

// The To or Cc ranges of a header block whose end is not known yet.
struct OpenRange {
  const char* start = nullptr;
};

struct BlockWalk {
  const char* end;
  const CEnvelopeCheck& envelope;
  CFaxRecipients recipients;
  OpenRange to;
  OpenRange cc;

  void Close(OpenRange& range, const char* at) {
    if (range.start == nullptr) return;
    ExtractRecipients(range.start, at, envelope, recipients);
    range.start = nullptr;
  }

  // A To or Cc value that starts at `start`: hand it on when its end is
  // known, else keep it open until the next picked header.
  void Begin(OpenRange& range, const char* start) {
    const char* colon =
        static_cast<const char*>(std::memchr(start, ':', static_cast<std::size_t>(end - start)));
    if (colon == nullptr) {
      ExtractRecipients(start, end, envelope, recipients);
      return;
    }
    for (const char* p = colon; p > start; --p) {
      if (p[-1] == '\n') {
        ExtractRecipients(start, p - 1, envelope, recipients);
        return;
      }
    }
    range.start = start;  // the colon is on the value's own line
  }
};

}  // namespace

const char* SkipBlanksAndComments(const char* p, const char* end) {
  if (p == nullptr) return nullptr;
  while (p < end && (IsSpace(*p) || *p == '(')) {
    if (*p == '\n') {
      ++p;
      if (p >= end || (*p != ' ' && *p != '\t')) return nullptr;
    } else if (*p == '(') {
      ++p;
      int level = 1;
      while (level > 0) {
        if (p >= end || *p == '\0') return nullptr;
        const char c = *p;
        if (c == '\n') {
          ++p;
          if (p >= end || (*p != ' ' && *p != '\t')) return nullptr;
          continue;
        }
        if (c == '\\') {
          ++p;
          if (p >= end || *p == '\0') return nullptr;
        } else if (c == '(') {
          ++level;
        } else if (c == ')') {
          --level;
        }
        ++p;
      }
    } else {
      ++p;
    }
  }
  if (p >= end || *p == '\0') return nullptr;
  return p;
}

TransferEncoding ParseTransferEncoding(const char* p, const char* end) {
  p = SkipBlanksAndComments(p, end);
  if (p == nullptr) return kEncodingNone;
  struct Rule {
    const char* first;  // the characters that select the rule
    const char* rest;
    TransferEncoding result;
  };
  static constexpr Rule kRules[] = {
      {"78", "bit", kEncodingNone},
      {"Bb", "ase64", kEncodingBase64},
      {"Bb", "inary", kEncodingNone},
      {"Qq", "uoted-printable", kEncodingQuotedPrintable},
  };
  for (const Rule& rule : kRules) {
    if (std::strchr(rule.first, *p) == nullptr) continue;
    if (!StartsWithinNoCase(p + 1, end, rule.rest)) continue;
    const char* after = p + 1 + std::strlen(rule.rest);
    if (after >= end || *after == '\0' || IsSpace(*after) || *after == '(') return rule.result;
  }
  Warn("ignoring unknown content transfer encoding\n");
  return kEncodingNone;
}

void ParseContentType(const char* value, const char* end, ContentParams& params) {
  params.items.clear();
  // The field runs through its continuation lines.
  const char* fieldEnd = value;
  for (;;) {
    const char* lf =
        static_cast<const char*>(std::memchr(fieldEnd, '\n', static_cast<std::size_t>(end - fieldEnd)));
    if (lf == nullptr) {
      fieldEnd = end;
      break;
    }
    fieldEnd = lf;
    if (lf + 1 < end && IsSpace(lf[1])) {
      fieldEnd = lf + 1;
      continue;
    }
    break;
  }
  const std::size_t length = static_cast<std::size_t>(fieldEnd - value);
  const std::size_t size = std::max(length + 1, kMinContentTypeCopy);
  params.copy.reset(static_cast<char*>(nullptr));
  params.copy = std::unique_ptr<char[]>(new char[size]());
  char* copy = params.copy.get();
  std::memcpy(copy, value, length);
  char* const copyEnd = copy + length;

  // Compact the media type: no blanks, no comments.
  char* s = copy;
  char* to = copy;
  while (s < copyEnd && *s != ';' && *s != '\0') {
    if (IsSpace(*s) || *s == '(') {
      const char* next = SkipBlanksAndComments(s, copyEnd);
      s = next ? const_cast<char*>(next) : copyEnd;
    } else {
      *to++ = *s++;
    }
  }
  const bool semicolon = s < copyEnd && *s == ';';
  *to = '\0';
  if (!semicolon) return;
  ++s;
  for (;;) {
    const char* next = SkipBlanksAndComments(s, copyEnd);
    if (next == nullptr) break;
    s = const_cast<char*>(next);
    params.items.push_back(s);
    while (s < copyEnd && *s != ';' && *s != '\0') {
      if (*s == '"') {
        ++s;
        while (s < copyEnd && *s != '"') {
          if (*s == '\\') ++s;
          if (s < copyEnd) ++s;
        }
        if (s < copyEnd) ++s;
      } else if (*s == '(') {
        s = BlankComment(s, copyEnd);
      } else {
        ++s;
      }
    }
    if (s >= copyEnd || *s == '\0') break;
    *s++ = '\0';
  }
}

std::unique_ptr<std::string> GetContentParam(const ContentParams* params, const char* name) {
  if (params == nullptr || name == nullptr) return nullptr;
  const std::size_t nameLength = std::strlen(name);
  for (const char* item : params->items) {
    const char* itemEnd = item + std::strlen(item);
    bool same = static_cast<std::size_t>(itemEnd - item) >= nameLength;
    for (std::size_t i = 0; same && i < nameLength; ++i) same = AsciiLower(item[i]) == AsciiLower(name[i]);
    if (!same) continue;
    const char* p = item + nameLength;
    while (p < itemEnd && IsSpace(*p)) ++p;
    if (p >= itemEnd || *p != '=') continue;
    ++p;
    while (p < itemEnd && IsSpace(*p)) ++p;
    if (p >= itemEnd) continue;
    return ParameterValue(p, itemEnd, false);
  }
  return nullptr;
}

std::unique_ptr<std::string> GetDispositionFilename(const char* disposition, const char* end) {
  const char* p = disposition;
  if (p == nullptr) return nullptr;
  for (;;) {
    // To the next ";" outside quoted strings and comments.
    while (p < end && *p != ';') {
      if (*p == '\0') return nullptr;
      if (*p == '"') {
        ++p;
        while (p < end && *p != '"') {
          if (*p == '\\') ++p;
          if (p < end) ++p;
        }
        if (p >= end) return nullptr;
        ++p;
      } else if (*p == '(') {
        p = SkipBlanksAndComments(p, end);
        if (p == nullptr) return nullptr;
      } else {
        ++p;
      }
    }
    if (p >= end) return nullptr;
    p = SkipBlanksAndComments(p + 1, end);
    if (p == nullptr) return nullptr;
    if (!StartsWithinNoCase(p, end, "filename")) continue;
    p += 8;
    if (p >= end || (!IsSpace(*p) && *p != '=' && *p != '(')) continue;
    p = SkipBlanksAndComments(p, end);
    if (p == nullptr) return nullptr;
    if (*p++ == '=') break;
  }
  p = SkipBlanksAndComments(p, end);
  if (p == nullptr) return nullptr;
  return ParameterValue(p, end, true);
}

std::string GetHeaderText(const char* value, const char* end) {
  std::string text;
  const char* p = value;
  while (p < end) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (lf == nullptr) {
      text.append(p, end);
      break;
    }
    text.append(p, lf);
    if (lf + 1 < end && lf[1] == '\t') {
      p = lf + 2;
      continue;
    }
    break;
  }
  // A NUL cannot be part of a header text.
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

HeaderBlock ReadHeaders(PartReader& reader, HeaderInfo& info, const CEnvelopeCheck& envelope) {
  info = HeaderInfo{};
  std::size_t size = kHeaderBlockStep;
  char* block = static_cast<char*>(AllocOrExit(size));
  block[0] = '\n';
  std::size_t used = 1;
  bool previousComplete = true;  // the last stored piece ended with its LF
  bool firstLine = true;
  bool dropping = false;  // the block is at its limit: lines are read, not kept
  for (;;) {
    if (size - used < kHeaderBlockSlack) {
      const std::size_t bigger = size + std::max(kHeaderBlockStep, size / 2);
      block = static_cast<char*>(ReallocOrExit(block, bigger));
      size = bigger;
    }
    char* line = block + used;
    const std::size_t n = PartReadLine(line, size - used, reader);
    if (n == 0) break;                                         // the part ended
    if (previousComplete && n == 1 && line[0] == '\n') break;  // the blank line that ends the header
    // Kept: the rest of a line longer than the space offered, a header line,
    // or a continuation line.
    const bool keep =
        !previousComplete || IsHeaderLine(line, n) || ((line[0] == ' ' || line[0] == '\t') && !firstLine);
    if (!keep) {
      PartUngetBytes(line, n, reader);  // the first line of the body
      break;
    }
    std::replace(line, line + n, '\0', ' ');
    previousComplete = line[n - 1] == '\n';
    firstLine = false;
    if (!dropping && used + n > kMaxHeaderBlock) {
      dropping = true;
      Warn("header block too long, rest of it ignored");
    }
    if (!dropping) used += n;
  }
  block[used] = '\0';

  HeaderBlock result;
  result.text.reset(block);
  result.length = used;
  const char* const begin = result.begin();
  const char* const end = result.end();

  std::string sender;
  std::string subject;
  BlockWalk walk{end, envelope, {}, {}, {}};
  for (const char* lf = begin; lf < end;
       lf = static_cast<const char*>(std::memchr(lf + 1, '\n', static_cast<std::size_t>(end - lf - 1)))) {
    if (lf == nullptr) break;
    const char* name = lf + 1;
    if (StartsWithinNoCase(name, end, "to:")) {
      walk.Close(walk.cc, lf);
      walk.Close(walk.to, lf);
      walk.Begin(walk.to, name + 3);
    } else if (StartsWithinNoCase(name, end, "cc:")) {
      walk.Close(walk.to, lf);
      walk.Close(walk.cc, lf);
      walk.Begin(walk.cc, name + 3);
    } else {
      static constexpr const char* kPicked[] = {
          "from:",       "subject:", "content-type:", "content-transfer-encoding:", "content-disposition:",
          "content-md5:"};
      const char* picked = nullptr;
      for (const char* h : kPicked) {
        if (StartsWithinNoCase(name, end, h)) {
          picked = h;
          break;
        }
      }
      if (picked == nullptr) continue;
      walk.Close(walk.to, lf);
      walk.Close(walk.cc, lf);
      const char* afterColon = name + std::strlen(picked);
      if (picked == kPicked[0]) {
        const char* v = SkipBlanksAndComments(afterColon, end);
        if (v) sender = GetHeaderText(v, end);
      } else if (picked == kPicked[1]) {
        const char* v = SkipBlanksAndComments(afterColon, end);
        if (v) subject = GetHeaderText(v, end);
      } else if (picked == kPicked[2]) {
        info.contentType = SkipBlanksAndComments(afterColon, end);
      } else if (picked == kPicked[3]) {
        info.encoding = ParseTransferEncoding(afterColon, end);
      } else if (picked == kPicked[4]) {
        DebugLog2Str("DECODE - getting content-disposition: ",
                     PrintableText(std::string_view(lf, end - lf)).c_str(), CV_SRC, __LINE__);
        info.disposition = SkipBlanksAndComments(afterColon, end);
        if (info.disposition) {
          DebugLog2Str("DECODE - extracted content-disposition: ",
                       PrintableText(std::string_view(info.disposition, end - info.disposition)).c_str(),
                       CV_SRC, __LINE__);
        }
      } else {
        info.contentMd5 = SkipBlanksAndComments(afterColon, end);
      }
    }
  }
  // A range still open at the end of the block holds addresses too.
  walk.Close(walk.to, end);
  walk.Close(walk.cc, end);
  if (!sender.empty() || !walk.recipients.empty()) {
    WriteHeaderSummary(reader.submission != nullptr ? reader.submission->EnvelopePath() : std::string(),
                       std::move(sender), std::move(subject), std::move(walk.recipients));
  }
  return result;
}
