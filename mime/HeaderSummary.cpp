// mime/HeaderSummary.cpp: fax recipient check and the header summary.
// Runs on the decoding thread under the submission lock; no shared state.
#include "mime/HeaderSummary.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/Text.h"
#include "log/DebugLog.h"
#include "log/MailLog.h"
#include "mime/Address.h"
#include "mime/Base64.h"
#include "mime/Decoder.h"
#include "platform/File.h"
#include "spool/CFileMan.h"
#include "spool/AccessSettings.h"
#include "spool/FileNaming.h"

namespace {

constexpr std::size_t kLoggedTextLimit = 300;

std::string Loggable(std::string_view text) { return PrintableText(text, kLoggedTextLimit); }

void LogStr(const char* text, std::string_view value, int line) {
  DebugLogStr(text, Loggable(value).c_str(), CV_SRC, line);
}

// Q encoding of RFC 2047 (underscore is a space).
std::string DecodeQWord(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '_') {
      out.push_back(' ');
    } else if (c == '=') {
      if (in.size() - i < 3) break;  // fewer than two characters after it
      const std::uint8_t hi = kHexValue[static_cast<unsigned char>(in[i + 1])];
      const std::uint8_t lo = kHexValue[static_cast<unsigned char>(in[i + 2])];
      if (hi != kNotHex && lo != kNotHex) {
        out.push_back(static_cast<char>((hi << 4) | lo));
        i += 2;
      } else if (in[i + 1] == '\r' && in[i + 2] == '\n') {
        i += 2;
      }
      // Otherwise the "=" alone is dropped and what follows is kept.
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string DecodeBWord(std::string_view in) {
  std::string out;
  unsigned group = 0;
  int have = 0;
  for (const char c : in) {
    if (c == '=') break;
    const std::uint8_t v = kBase64Value[static_cast<unsigned char>(c)];
    if (v == kNotBase64) continue;
    group = (group << 6) | v;
    if (++have == 4) {
      out.push_back(static_cast<char>(group >> 16));
      out.push_back(static_cast<char>(group >> 8));
      out.push_back(static_cast<char>(group));
      group = 0;
      have = 0;
    }
  }
  if (have == 2) {
    out.push_back(static_cast<char>(group >> 4));
  } else if (have == 3) {
    out.push_back(static_cast<char>(group >> 10));
    out.push_back(static_cast<char>(group >> 2));
  }
  return out;
}

}  // namespace

std::string GetDetailsEx(const CEnvelopeCheck& envelope, std::string_view entry) {
  // The log tells, for each address, the envelope recipient the outcome rests
  // on (the one that matched, or the last one compared) rather than every
  // comparison; past the mail's budget it tells nothing.
  const bool logged = IsPrimaryLogOn() && envelope.LogNextEntry();
  if (logged) DebugLog("GetDetailsEx() called", CV_SRC, __LINE__);
  const CRecipientList& list = envelope.Recipients();
  int accepted = 0;
  bool compared = false;
  std::string entryBare;
  std::string_view decisive;  // the last envelope text examined
  if (list.empty()) {
    if (logged) LogStr("Empty prList - Check for fax number in ", entry, __LINE__);
    accepted = IsFaxNumberAddress(entry);
  } else {
    entryBare = BareAddress(entry);
    constexpr std::size_t kNone = CEnvelopeCheck::kNone;
    const std::size_t match = envelope.Find(entryBare);
    const std::size_t empty = envelope.FirstEmptyEntry();
    // Without a match the comparison went on to the entry without an address,
    // or through the whole list.
    std::size_t last = list.size() - 1;  // the last envelope entry examined
    std::size_t lastCompared = last;     // ... and the last one with an address
    if (match != kNone) {
      last = lastCompared = match;
    } else if (empty != kNone) {
      last = empty;
      lastCompared = empty > 0 ? empty - 1 : kNone;
    }
    decisive = list[last];
    compared = lastCompared != kNone;
    if (logged && compared) {
      LogStr("Recipient in header list: ", list[lastCompared], __LINE__);
      LogStr("Recipient in str: ", entry, __LINE__);
      LogStr("Recipient in header list after EEA: ", BareAddress(list[lastCompared]), __LINE__);
      LogStr("Recipient in str after EEA: ", entryBare, __LINE__);
    }
    if (match != kNone) {
      accepted = 1;
    } else if (empty != kNone) {
      if (logged) LogStr("Empty prList entry - Check for fax number in ", entry, __LINE__);
      accepted = IsFaxNumberAddress(entry);
    }
  }
  std::string result;
  // An address the envelope confirmed passed the number lists at its RCPT;
  // one taken from the header alone (a fax number, or every address under
  // OverrideAddressCheck) is checked now, with the settings now in force.
  const bool fromEnvelope = accepted == 1 && !list.empty() && envelope.Find(entryBare) != CEnvelopeCheck::kNone;
  if ((accepted == 1 || GetOverrideAddressCheck() == 1) && !fromEnvelope &&
      !CurrentAccessSettings()->FaxNumberPermitted(FaxNumberKey(entry))) {
    LogStr("Fax number not permitted, left out of the submission: ", BareAddress(entry), __LINE__);
    DebugLog2Str("Fax number not permitted, left out of the submission: ", Loggable(BareAddress(entry)).c_str(),
                 CV_SRC, __LINE__);
    MailLogNotice("fax number of a To or Cc header not permitted, left out of the submission: " +
                  BareAddress(entry));
  } else if (accepted == 1 || GetOverrideAddressCheck() == 1) {
    if (logged) LogStr("CV Recipient - ", BareAddress(decisive), __LINE__);
    result.assign(entry);
  } else if (logged) {
    char line[kLoggedTextLimit + 40];
    const std::string who = Loggable(compared ? std::string_view(entryBare) : entry);
    std::snprintf(line, sizeof line, "Not a CV recipient (%s)", who.c_str());
    DebugLog(line, CV_SRC, __LINE__);
  }
  if (logged) DebugLog("End of GetDetailsEx()", CV_SRC, __LINE__);
  return result;
}

void ExtractRecipients(const char* start, const char* end, const CEnvelopeCheck& envelope,
                       CFaxRecipients& recipients) {
  if (start == nullptr || end == nullptr || end <= start) return;
  const std::string_view range(start, static_cast<std::size_t>(end - start));
  std::size_t pos = 0;
  for (;;) {
    const std::size_t comma = range.find(',', pos);
    const std::string_view piece =
        range.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
    if (piece.size() > kMaxRecipientEntry) {
      LogStr("Recipient entry too long, ignored: ", piece, __LINE__);
    } else if (!piece.empty()) {
      std::string entry(piece);
      for (const char c : {'\r', '\n', '\t'}) {
        const std::size_t at = entry.find(c);
        if (at != std::string::npos) entry[at] = ' ';
      }
      const std::string r = GetDetailsEx(envelope, entry);
      if (!r.empty()) recipients.push_back(FormatAddress(r, 1));
    }
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
}

void DecodeEncodedWord(std::string& text) {
  if (text.size() >= 2 && text[text.size() - 2] == '\r') text.resize(text.size() - 2);
  std::size_t first = 0;
  while (first < text.size() && text[first] == ' ') ++first;
  const std::string_view all(text);
  const std::size_t start = FindNoCase(all, "=?", first);
  if (start == std::string_view::npos) return;
  const std::string_view prefix = all.substr(first, start - first);
  std::size_t close = std::string_view::npos;
  const std::size_t qEq = FindNoCase(all, "Q?=", start + 2);
  if (qEq != std::string_view::npos) {
    close = all.find("?=", qEq + 3);
  } else {
    close = all.find("?=", start + 2);
  }
  const std::size_t wordEnd = close == std::string_view::npos ? all.size() : close;
  const std::string_view word = all.substr(start, wordEnd - start);
  const std::string_view suffix =
      close == std::string_view::npos ? std::string_view() : all.substr(close + 2);
  const std::size_t q = FindNoCase(word, "?Q?", 0);
  const std::size_t b = FindNoCase(word, "?B?", 0);
  if (q == std::string_view::npos && b == std::string_view::npos) return;  // no known encoding: as is
  const std::size_t marker = b != std::string_view::npos ? b : q;
  const std::string_view payload = word.substr(marker + 3);
  if (payload.empty()) {
    // Nothing to decode: the text ends after the word.
    text.resize(close == std::string_view::npos ? all.size() : close + 2);
    return;
  }
  const std::string decoded = b != std::string_view::npos ? DecodeBWord(payload) : DecodeQWord(payload);
  text = std::string(prefix) + decoded + std::string(suffix);
}

void MakeSingleLine(std::string& text) {
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = ' ';
  }
}

int WriteHeaderSummary(const std::string& envelopePath, std::string sender, std::string subject,
                       CFaxRecipients recipients) {
  CStdioFile envelope = CStdioFile::Open(envelopePath, "a+");
  if (envelopePath.empty() || !envelope.IsOpen()) {
    DebugLogStr("DECODE - Error: Unable to open envelope for the header summary: ", envelopePath.c_str(), CV_SRC,
                __LINE__);
    NoteOutputFailure();
    return 1;
  }
  DecodeEncodedWord(sender);
  DecodeEncodedWord(subject);
  for (std::string& r : recipients) {
    DecodeEncodedWord(r);
    MakeSingleLine(r);
  }
  MakeSingleLine(sender);
  MakeSingleLine(subject);
  std::string out = "FROM: " + FormatAddress(sender, 0) + "\n";
  std::sort(recipients.begin(), recipients.end());
  recipients.erase(std::unique(recipients.begin(), recipients.end()), recipients.end());
  for (const std::string& r : recipients) out += "TO: " + r + "\n";
  out += "SUBJECT: " + subject + "\n";
  const bool written = envelope.Write(out.data(), out.size()) == out.size();
  if (!envelope.Close() || !written) {
    DebugLogStr("DECODE - Error: Unable to write the header summary to: ", envelopePath.c_str(), CV_SRC,
                __LINE__);
    NoteOutputFailure();
    return 1;
  }
  return 0;
}
