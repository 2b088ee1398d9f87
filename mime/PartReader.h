// mime/PartReader.h: the decoder's input: a stored mail read character by
// character, stopping at the delimiter lines of the open multipart levels.
//
// The file is read in text mode, so every CR LF of the stored mail arrives as
// a single LF and all line logic works on LF alone. The LF before a delimiter
// belongs to the delimiter, never to the body part. One reader per decoding
// run, used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/File.h"

constexpr std::size_t kMaxBoundaryLength = 70;
constexpr std::size_t kAttachmentListPathSize = 260;

struct PartReader {
  CStdioFile file;               // the input, text mode; owned
  std::vector<char> buffer;      // 1024 bytes at creation, enlarged only by PartUngetLine
  std::size_t next = 0;          // index of the next byte to deliver
  std::int32_t count = 0;        // buffered bytes from next on
  std::vector<std::string> boundaries;  // one per open level, outermost first, at most 70 chars
  std::int32_t boundaryCount = 0;       // open levels (the depth)
  std::int32_t boundarySeen = 0;        // level whose delimiter stopped reading; == boundaryCount when none
  char attachmentList[kAttachmentListPathSize] = {};  // path of the attachment list file
};

// A reader over an open file (takes ownership of it).
std::unique_ptr<PartReader> PartOpen(CStdioFile file);
void PartClose(std::unique_ptr<PartReader>& reader);  // closes the file

int PartGetChar(PartReader& reader);  // 0..255, or -1 at the end of the part
char* PartGetLine(char* buffer, int size, PartReader& reader);
void PartUngetLine(const char* line, PartReader& reader);
void PartAddBoundary(PartReader& reader, const char* text);
int PartReadBoundary(PartReader& reader);  // 0 another part follows, 1 the level ended
int PartDepth(const PartReader& reader);
void PartSkipRest(PartReader& reader);
