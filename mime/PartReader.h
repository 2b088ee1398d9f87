// mime/PartReader.h: the decoder's input: a stored mail read character by
// character, stopping at the delimiter lines of the open multipart levels.
//
// The file is read in text mode, so every CR LF of the stored mail arrives as
// a single LF and all line logic works on LF alone. A failed read ends the
// input like the end of the file and is noted in readFailed. The LF before a delimiter
// belongs to the delimiter, never to the body part. One reader per decoding
// run, used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/File.h"

class CSubmission;

constexpr std::size_t kMaxBoundaryLength = 70;
constexpr std::size_t kAttachmentListPathSize = 260;
// Read buffer at creation. Larger than a line so that refills are rare; the
// buffer only grows when a line is given back.
constexpr std::size_t kPartBufferSize = 16384;

struct PartReader {
  CStdioFile file;                      // the input, text mode; owned
  std::vector<char> buffer;             // kPartBufferSize at creation, enlarged only by PartUngetLine
  std::size_t next = 0;                 // index of the next byte to deliver
  std::int32_t count = 0;               // buffered bytes from next on
  std::vector<std::string> boundaries;  // one per open level, outermost first, at most 70 chars
  std::int32_t boundaryCount = 0;       // open levels (the depth)
  std::int32_t boundarySeen = 0;        // level whose delimiter stopped reading; == boundaryCount when none
  char attachmentList[kAttachmentListPathSize] = {};  // path of the attachment list file
  CSubmission* submission = nullptr;  // where this run's envelope and attachments go; not owned
  // A read of the file failed: to the decoder that was the end of the file,
  // and whoever handed the file in must not take the output for the whole.
  bool readFailed = false;
};

// A reader over an open file (takes ownership of it).
std::unique_ptr<PartReader> PartOpen(CStdioFile file);
void PartClose(std::unique_ptr<PartReader>& reader);  // closes the file

// Everything PartGetChar does beyond handing out a byte that is not a LF:
// refills, the look at the line after a LF, the stop at a delimiter.
int PartGetCharSlow(PartReader& reader);

// 0..255, or -1 at the end of the part. Inline: the decoders call it per byte.
inline int PartGetChar(PartReader& reader) {
  if (reader.count > 0) {
    const unsigned char c = static_cast<unsigned char>(reader.buffer.data()[reader.next]);
    if (c != '\n') {
      ++reader.next;
      --reader.count;
      return c;
    }
  }
  return PartGetCharSlow(reader);
}

// Hands out the run of unread bytes before the next LF straight from the
// buffer (consumed) and gives its length; 0 when the next byte is a LF or the
// buffer is empty, in which case PartGetChar decides what comes next.
inline std::size_t PartTakeRun(PartReader& reader, const char** data, std::size_t limit) {
  if (reader.count <= 0) return 0;
  const char* start = reader.buffer.data() + reader.next;
  std::size_t run = static_cast<std::size_t>(reader.count);
  if (run > limit) run = limit;
  const void* lf = std::memchr(start, '\n', run);
  if (lf != nullptr) run = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
  reader.next += run;
  reader.count -= static_cast<std::int32_t>(run);
  *data = start;
  return run;
}

// Bytes through the first LF, at most size-1 of them, NUL-terminated;
// nullptr when size < 2 or the part has ended.
char* PartGetLine(char* buffer, int size, PartReader& reader);
// The same, giving the number of bytes stored (0 at the end of the part), so
// that a line holding NUL bytes is not mistaken for a shorter one.
std::size_t PartReadLine(char* buffer, std::size_t size, PartReader& reader);
// The characters of `line` are delivered again before all unread input.
void PartUngetLine(const char* line, PartReader& reader);
void PartUngetBytes(const char* bytes, std::size_t length, PartReader& reader);
void PartAddBoundary(PartReader& reader, const char* text);
int PartReadBoundary(PartReader& reader);  // 0 another part follows, 1 the level ended
int PartDepth(const PartReader& reader);
void PartSkipRest(PartReader& reader);
