// mime/Partial.cpp: storing message/partial fragments and decoding the
// joined mail once a set is complete. Runs on the decoding thread under the
// submission lock; the only state besides the set directories is the
// per-thread depth guard below.
#include "mime/Partial.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/Text.h"
#include "log/DebugLog.h"
#include "platform/File.h"
#include "spool/Submission.h"

namespace {

constexpr int kLineSize = 1024;                // header lines are read in pieces of 1023 bytes
constexpr std::size_t kCopyChunk = 64 * 1024;  // body copy buffer
constexpr std::size_t kPrintedIdMax = 200;     // the progress line shows at most this much of an id

// Depth of reassembled mails being decoded on this thread. A reassembled mail
// that is itself a fragment would store into, join and delete the very set
// being read; such nesting is refused.
thread_local int t_JoinedDepth = 0;

// The headers that describe the enclosed message rather than the fragment.
bool IsContentHeader(const char* line, std::size_t length) {
  const std::string_view text(line, length);
  return StartsWithNoCase(text, "content-") || StartsWithNoCase(text, "message-id:");
}

bool WriteAll(CStdioFile& out, const char* data, std::size_t length) {
  return length == 0 || out.Write(data, length) == length;
}

// The fragment's own header minus its Content and Message-ID headers (with
// their continuation lines): the outer part of the joined mail's header.
bool WriteOuterHeader(CStdioFile& out, const char* headerBlock) {
  const char* p = headerBlock != nullptr ? headerBlock : "";
  if (*p == '\n') ++p;
  bool keep = true;
  bool endsInLf = true;
  while (*p != '\0') {
    const char* lf = std::strchr(p, '\n');
    const std::size_t length = lf ? static_cast<std::size_t>(lf - p) + 1 : std::strlen(p);
    if (*p != ' ' && *p != '\t') keep = !IsContentHeader(p, length);
    if (keep) {
      if (!WriteAll(out, p, length)) return false;
      endsInLf = p[length - 1] == '\n';
    }
    p += length;
  }
  // A header cut off by the end of the part must not run into the next one.
  return endsInLf || WriteAll(out, "\n", 1);
}

// The enclosed message's Content and Message-ID headers, read from the body
// up to its first empty line, which ends the joined header.
bool WriteInnerHeader(CStdioFile& out, PartReader& reader) {
  char line[kLineSize];
  bool atLineStart = true;  // the previous piece ended with LF
  bool keep = false;
  for (std::size_t length; (length = PartReadLine(line, kLineSize, reader)) > 0;) {
    if (atLineStart) {
      if (line[0] == '\n') return WriteAll(out, "\n", 1);
      if (line[0] != ' ' && line[0] != '\t') keep = IsContentHeader(line, length);
    }
    if (keep && !WriteAll(out, line, length)) return false;
    atLineStart = line[length - 1] == '\n';
  }
  return true;
}

// The rest of the body, byte for byte (NUL bytes included).
bool CopyBody(CStdioFile& out, PartReader& reader) {
  std::unique_ptr<char[]> chunk(new char[kCopyChunk]);
  std::size_t used = 0;
  bool ok = true;
  for (int c = PartGetChar(reader); c != -1; c = PartGetChar(reader)) {
    chunk[used++] = static_cast<char>(c);
    if (used == kCopyChunk) {
      ok = ok && WriteAll(out, chunk.get(), used);
      used = 0;
    }
  }
  return WriteAll(out, chunk.get(), used) && ok;
}

std::string PrintableId(const std::string& id) {
  std::string shown;
  for (std::size_t i = 0; i < id.size() && i < kPrintedIdMax; ++i) {
    const unsigned char c = static_cast<unsigned char>(id[i]);
    shown += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
  }
  if (id.size() > kPrintedIdMax) shown += "...";
  return shown;
}

int Refuse(PartReader& reader, const char* warning) {
  if (warning != nullptr) Warn(warning);
  PartSkipRest(reader);
  return 1;
}

// The fragment could not be kept: the hand-off then keeps the received mail
// instead of passing on a submission that lacks it.
int FailStore(PartReader& reader) {
  NoteOutputFailure();
  PartSkipRest(reader);
  return 1;
}

std::string FragmentPath(const std::string& dir, int number) { return dir + std::to_string(number); }

bool IsSetComplete(const std::string& dir, int total) {
  for (int number = total; number >= 1; --number) {
    CStdioFile probe = CStdioFile::Open(FragmentPath(dir, number), "r");
    if (!probe.IsOpen()) return false;
  }
  return true;
}

}  // namespace

int HandlePartial(PartReader& reader, const char* headerBlock, const ContentParams* params,
                  const CEnvelopeCheck& envelope) {
  const std::unique_ptr<std::string> id = GetContentParam(params, "id");
  if (!id) return Refuse(reader, "partial message has no id parameter");
  if (t_JoinedDepth > 0) return Refuse(reader, "partial message inside a reassembled message dropped");

  const std::unique_ptr<std::string> numberText = GetContentParam(params, "number");
  if (!numberText) return Refuse(reader, "partial message doesn't have number parameter");
  const int number = ParseFragmentNumber(*numberText);

  // Everything the parameters alone can refuse is refused before the disk is touched.
  const std::unique_ptr<std::string> totalText = GetContentParam(params, "total");
  int total = 0;
  if (totalText) {
    total = ParseFragmentNumber(*totalText);
    if (total < 1 || total > kMaxFragments)
      return Refuse(reader, "partial message has invalid number of parts");
  }
  if (number < 1 || number > kMaxFragments || (total != 0 && number > total))
    return Refuse(reader, "partial message has invalid number");

  // Without its directory a fragment has nowhere safe to go: files in the
  // current directory would mix every set into one.
  const std::optional<std::string> madeDir = MakeFragmentDir(*id);
  if (!madeDir) return FailStore(reader);
  const std::string& dir = *madeDir;

  const std::string parts = FragmentPartsDir();
  if (!parts.empty()) ExpireFragmentSets(parts, FragmentDirName(*id), kFragmentSetMaxAgeSeconds);

  if (totalText) {
    if (!WriteFragmentCount(dir, total)) return FailStore(reader);
  } else {
    total = ReadFragmentCount(dir);
    if (total != 0 && number > total) return Refuse(reader, "partial message has invalid number");
  }

  if (total != 0)
    std::printf("Saving part %d of %d %s\n", number, total, PrintableId(*id).c_str());
  else
    std::printf("Saving part %d %s\n", number, PrintableId(*id).c_str());
  std::fflush(stdout);

  // Written beside the stored one and put in its place only when whole, so
  // that a fragment stored before survives a copy cut by a write or read error.
  const std::string fragmentPath = FragmentPath(dir, number);
  const std::string newPath = fragmentPath + ".new";
  CStdioFile fragment = CStdioFile::Open(newPath, "w");
  if (!fragment.IsOpen()) {
    PrintFileError(newPath);
    return FailStore(reader);
  }
  bool written = true;
  if (number == 1) written = WriteOuterHeader(fragment, headerBlock) && WriteInnerHeader(fragment, reader);
  written = CopyBody(fragment, reader) && written && !reader.readFailed;
  if (!fragment.Close() || !written || !FileMoveReplace(newPath, fragmentPath)) {
    // A cut fragment would corrupt the joined mail; better to wait for it again.
    PrintFileError(fragmentPath);
    FileDelete(newPath);
    return FailStore(reader);
  }
  DebugLogStr("DECODE - Saved partial message fragment: ", fragmentPath.c_str(), CV_SRC, __LINE__);
  if (reader.submission != nullptr) {
    // The spool file of this fragment goes once its submission is on disk:
    // the stored fragment, the set's count and their names must be too.
    reader.submission->SyncAlso(fragmentPath);
    if (totalText) reader.submission->SyncAlso(dir + kCountFileName);
    reader.submission->SyncAlso(WithoutTrailingSeparator(dir));
    if (!parts.empty()) reader.submission->SyncAlso(parts);
  }

  if (total == 0 || !IsSetComplete(dir, total)) return 0;
  if (!JoinFragments(dir, total)) {
    NoteOutputFailure();  // the joined mail is missing from this submission
    return 1;
  }

  const std::string joinedPath = dir + kJoinedFileName;
  CStdioFile joinedFile = CStdioFile::Open(joinedPath, "r");
  if (!joinedFile.IsOpen()) {
    PrintFileError(joinedPath);
    FileDelete(joinedPath);
    NoteOutputFailure();
    return 1;
  }
  DebugLogStr("DECODE - Decoding reassembled partial message: ", joinedPath.c_str(), CV_SRC, __LINE__);
  std::unique_ptr<PartReader> joined = PartOpen(std::move(joinedFile));
  std::memcpy(joined->attachmentList, reader.attachmentList, sizeof joined->attachmentList);
  joined->attachmentList[sizeof joined->attachmentList - 1] = '\0';
  joined->submission = reader.submission;
  const int failuresBefore = OutputFailures();
  ++t_JoinedDepth;
  HandleMessage(*joined, "text/plain", 0, envelope);
  --t_JoinedDepth;
  // A joined mail read only in part is a submission that lacks its end.
  if (joined->readFailed) NoteOutputFailure();
  PartClose(joined);
  if (OutputFailures() > failuresBefore) {
    // The hand-off withdraws this submission and keeps only the last
    // fragment's mail; the set must stay so that it can complete again.
    FileDelete(joinedPath);
    DebugLogStr("DECODE - Reassembled partial message not handed on, fragments kept: ", dir.c_str(), CV_SRC,
                __LINE__);
    return 1;
  }

  // The fragments are given up only once the joined mail's submission is
  // complete and on disk: a hand-off withdrawn or cut by a crash runs again
  // from the last fragment's spool file and must find the set still whole.
  const auto removeSet = [dir] {
    if (!RemoveFragmentSet(dir))
      DebugLogStr("DECODE - Could not remove fragment directory: ", dir.c_str(), CV_SRC, __LINE__);
  };
  if (reader.submission != nullptr) {
    reader.submission->OnCommit(removeSet);
  } else {
    removeSet();
  }
  return 0;
}
