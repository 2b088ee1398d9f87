// mime/Decoder.cpp: the dispatcher of the MIME decoder and its multipart loop,
// warnings and the memory-exhausted exit.
//
// The nesting depth and the failure count are per thread: a decoding run
// stays on its session's thread, and only one runs at a time (submission lock).
#include "mime/Decoder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/Text.h"
#include "mime/BodyOutput.h"
#include "mime/HeaderParser.h"
#include "mime/Partial.h"

namespace {

thread_local int t_Depth = 0;     // entities open on this thread's stack
thread_local int t_Failures = 0;  // files of the current run that could not be written

// Holds `levels` of nesting depth for the lifetime of one entity.
class CDepthHold {
 public:
  CDepthHold() { Add(); }
  ~CDepthHold() { t_Depth -= m_Levels; }
  CDepthHold(const CDepthHold&) = delete;
  CDepthHold& operator=(const CDepthHold&) = delete;
  // false when the new level is beyond the limit.
  bool Add() {
    ++t_Depth;
    ++m_Levels;
    return t_Depth <= kMaxNestingDepth;
  }
  bool Within() const { return t_Depth <= kMaxNestingDepth; }

 private:
  int m_Levels = 0;
};

void DropTooDeep(PartReader& reader) {
  Warn("message nested too deeply, rest of it dropped");
  PartSkipRest(reader);
}

void PrintHeaderLength(const HeaderBlock& block) {
  std::printf("headers len : %d\n", static_cast<int>(block.length));
}

void HandleEntity(PartReader& reader, const char* defaultType, int inAppleDouble,
                  const CEnvelopeCheck& envelope) {
  CDepthHold depth;
  if (!depth.Within()) {
    DropTooDeep(reader);
    return;
  }
  HeaderInfo info;
  HeaderBlock block = ReadHeaders(reader, info, envelope);
  PrintHeaderLength(block);
  ContentParams params;
  for (;;) {
    const char* type = info.contentType;
    if (type == nullptr || std::memchr(type, '/', static_cast<std::size_t>(block.end() - type)) == nullptr) {
      ParseContentType(defaultType, defaultType + std::strlen(defaultType), params);
    } else {
      ParseContentType(type, block.end(), params);
    }
    if (!EqualsNoCase(params.copy.get(), "message/rfc822")) break;
    if (info.encoding != kEncodingNone) Warn("ignoring invalid content encoding on message/rfc822");
    if (!depth.Add()) {
      DropTooDeep(reader);
      return;
    }
    block = ReadHeaders(reader, info, envelope);
    PrintHeaderLength(block);
    defaultType = "text/plain";
    inAppleDouble = 0;
  }
  const char* type = params.copy.get();
  if (EqualsNoCase(type, "message/partial")) {
    if (info.encoding != kEncodingNone) Warn("ignoring invalid content encoding on message/partial");
    HandlePartial(reader, block.begin(), &params, envelope);
  } else if (StartsWithNoCase(type, "message/") || StartsWithNoCase(type, "text/html")) {
    PartSkipRest(reader);
  } else if (StartsWithNoCase(type, "multipart/")) {
    if (info.encoding != kEncodingNone) Warn("ignoring invalid content encoding on multipart");
    HandleMultipart(reader, type, params, envelope);
  } else if (inAppleDouble == 0 && StartsWithNoCase(type, "text/") &&
             !GetDispositionFilename(info.disposition, block.end()) && !GetContentParam(&params, "name")) {
    SaveTextBody(reader, info.encoding);
  } else {
    SaveAttachment(reader, type, params, info.encoding, info.disposition, info.contentMd5, block.end());
  }
}

}  // namespace

void Warn(const char* text) { std::fprintf(stderr, "dekant: warning: %s\n", text); }

[[noreturn]] void MemoryExhausted() {
  std::fputs("Memory exhausted\n", stderr);
  std::exit(1);
}

void* AllocOrExit(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (p == nullptr) MemoryExhausted();
  return p;
}

void* ReallocOrExit(void* block, std::size_t size) {
  void* p = std::realloc(block, size ? size : 1);
  if (p == nullptr) MemoryExhausted();
  return p;
}

void NoteOutputFailure() { ++t_Failures; }
void ResetOutputFailures() { t_Failures = 0; }
int OutputFailures() { return t_Failures; }

void HandleMessage(PartReader& reader, const char* defaultType, int inAppleDouble,
                   const CEnvelopeCheck& envelope) {
  if (t_Depth > 0) {
    HandleEntity(reader, defaultType, inAppleDouble, envelope);
    return;
  }
  try {
    HandleEntity(reader, defaultType, inAppleDouble, envelope);
  } catch (const std::bad_alloc&) {
    MemoryExhausted();
  }
}

void HandleMultipart(PartReader& reader, const char* type, const ContentParams& params,
                     const CEnvelopeCheck& envelope) {
  const char* partType = EqualsNoCase(type, "multipart/digest") ? "message/rfc822" : "text/plain";
  const int appleDouble = EqualsNoCase(type, "multipart/appledouble") ? 1 : 0;
  std::unique_ptr<std::string> boundary = GetContentParam(&params, "boundary");
  if (!boundary) {
    Warn("multipart message has no boundary parameter");
    boundary = std::make_unique<std::string>();
  }
  PartAddBoundary(reader, boundary->c_str());
  // A delimiter on the very first line of the body has no LF in front of it.
  PartUngetBytes("\n", 1, reader);
  reader.boundarySeen = reader.boundaryCount;
  PartSkipRest(reader);  // the preamble
  while (PartReadBoundary(reader) == 0) HandleMessage(reader, partType, appleDouble, envelope);
  PartSkipRest(reader);  // the epilogue
}
