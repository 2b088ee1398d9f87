// mime/PartReader.cpp: the boundary-aware reader of a stored mail.
//
// Invariant: the bytes buffer[next, next + count) are unread input. Reading
// stops (PartGetChar gives -1) at the LF in front of a delimiter line of an
// open level without consuming it; PartReadBoundary consumes the delimiter.
// One reader per decoding run, one thread.
#include "mime/PartReader.h"

#include <algorithm>
#include <cstring>

namespace {

// LF, "--" and a boundary of the longest length: what must be buffered to
// tell whether the line after a LF is a delimiter.
constexpr std::int32_t kDelimiterLookahead = 3 + static_cast<std::int32_t>(kMaxBoundaryLength);

std::int32_t ReadInto(PartReader& r, std::size_t offset, std::size_t room) {
  if (room == 0) return 0;
  const std::size_t got = r.file.Read(r.buffer.data() + offset, room);
  if (got == 0 && r.file.Error()) r.readFailed = true;
  return static_cast<std::int32_t>(got);
}

bool DashesAfterLf(const PartReader& r) {
  const char* p = r.buffer.data() + r.next;
  return r.count >= 3 && p[1] == '-' && p[2] == '-';
}

}  // namespace

std::unique_ptr<PartReader> PartOpen(CStdioFile file) {
  auto reader = std::make_unique<PartReader>();
  reader->file = std::move(file);
  reader->buffer.resize(kPartBufferSize);
  return reader;
}

void PartClose(std::unique_ptr<PartReader>& reader) {
  if (!reader) return;
  reader->file.Close();
  reader.reset();
}

int PartGetCharSlow(PartReader& r) {
  if (r.count > 0 && r.buffer[r.next] != '\n') {
    --r.count;
    return static_cast<unsigned char>(r.buffer[r.next++]);
  }
  if (r.boundarySeen < r.boundaryCount) return -1;
  if (r.count <= 0) {
    r.next = 0;
    r.count = ReadInto(r, 0, r.buffer.size());
    if (r.count == 0) {
      r.boundarySeen = 0;  // the end of the file ends every open level
      return -1;
    }
  }
  if (r.buffer[r.next] == '\n') {
    if (r.count < 3 || (r.count < kDelimiterLookahead && DashesAfterLf(r))) {
      const std::size_t size = r.buffer.size();
      std::size_t behind = size - (r.next + static_cast<std::size_t>(r.count));
      if (r.next != 0 &&
          static_cast<std::size_t>(r.count) + behind < static_cast<std::size_t>(kDelimiterLookahead)) {
        std::memmove(r.buffer.data(), r.buffer.data() + r.next, static_cast<std::size_t>(r.count));
        r.next = 0;
        behind = size - static_cast<std::size_t>(r.count);
      }
      r.count += ReadInto(r, r.next + static_cast<std::size_t>(r.count), behind);
    }
    if (DashesAfterLf(r)) {
      const char* after = r.buffer.data() + r.next + 3;
      const std::size_t available = static_cast<std::size_t>(r.count) - 3;
      for (std::int32_t i = 0; i < r.boundaryCount; ++i) {
        const std::string& b = r.boundaries[static_cast<std::size_t>(i)];
        if (available >= b.size() && std::memcmp(after, b.data(), b.size()) == 0) {
          r.boundarySeen = i;
          return -1;  // the LF belongs to the delimiter
        }
      }
    }
  }
  --r.count;
  return static_cast<unsigned char>(r.buffer[r.next++]);
}

std::size_t PartReadLine(char* buffer, std::size_t size, PartReader& reader) {
  if (buffer == nullptr || size < 2) return 0;
  std::size_t n = 0;
  while (n + 1 < size) {
    // Copy the run up to the next LF straight out of the buffer.
    if (reader.count > 0 && reader.buffer[reader.next] != '\n') {
      const char* start = reader.buffer.data() + reader.next;
      std::size_t run = std::min(static_cast<std::size_t>(reader.count), size - 1 - n);
      const void* lf = std::memchr(start, '\n', run);
      if (lf != nullptr) run = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
      std::memcpy(buffer + n, start, run);
      n += run;
      reader.next += run;
      reader.count -= static_cast<std::int32_t>(run);
      continue;
    }
    const int c = PartGetCharSlow(reader);
    if (c < 0) break;
    buffer[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buffer[n] = '\0';
  return n;
}

char* PartGetLine(char* buffer, int size, PartReader& reader) {
  if (size < 2) return nullptr;
  return PartReadLine(buffer, static_cast<std::size_t>(size), reader) == 0 ? nullptr : buffer;
}

void PartUngetBytes(const char* bytes, std::size_t length, PartReader& r) {
  if (length == 0) return;
  const std::size_t unread = static_cast<std::size_t>(r.count);
  // Keep one byte free in front of the line.
  if (r.buffer.size() < unread + length + 1) {
    std::vector<char> bigger(unread + length + 1);
    std::memcpy(bigger.data() + bigger.size() - unread, r.buffer.data() + r.next, unread);
    r.buffer.swap(bigger);
    r.next = r.buffer.size() - unread;
  } else if (r.next < length + 1) {
    const std::size_t to = r.buffer.size() - unread;
    std::memmove(r.buffer.data() + to, r.buffer.data() + r.next, unread);
    r.next = to;
  }
  r.next -= length;
  std::memcpy(r.buffer.data() + r.next, bytes, length);
  r.count += static_cast<std::int32_t>(length);
}

void PartUngetLine(const char* line, PartReader& reader) { PartUngetBytes(line, std::strlen(line), reader); }

void PartAddBoundary(PartReader& reader, const char* text) {
  const std::size_t length = std::min(std::strlen(text), kMaxBoundaryLength);
  reader.boundaries.resize(static_cast<std::size_t>(reader.boundaryCount));
  reader.boundaries.emplace_back(text, length);
  ++reader.boundaryCount;
}

int PartReadBoundary(PartReader& r) {
  if (r.boundarySeen < r.boundaryCount - 1) {
    --r.boundaryCount;  // an outer level's delimiter: that level reads it next
    return 1;
  }
  if (r.count <= 0) return 1;
  if (r.boundaryCount <= 0 || r.boundarySeen >= r.boundaryCount) return 1;  // nothing stopped us
  const std::size_t skip = r.boundaries[static_cast<std::size_t>(r.boundarySeen)].size() + 3;
  r.next += skip;
  r.count -= static_cast<std::int32_t>(skip);
  r.boundarySeen = r.boundaryCount;
  int c = PartGetChar(r);
  if (c == '\n') return 0;
  int result = 0;
  if (c == '-') {
    c = PartGetChar(r);
    if (c == '\n') return 0;
    if (c == '-') {
      --r.boundaryCount;  // the closing delimiter
      result = 1;
    }
  }
  while (c != '\n' && c != -1) c = PartGetChar(r);
  return result;
}

int PartDepth(const PartReader& reader) { return reader.boundaryCount; }

void PartSkipRest(PartReader& r) {
  for (;;) {
    if (r.count > 0) {
      const char* start = r.buffer.data() + r.next;
      const void* lf = std::memchr(start, '\n', static_cast<std::size_t>(r.count));
      const std::size_t run = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start)
                                 : static_cast<std::size_t>(r.count);
      r.next += run;
      r.count -= static_cast<std::int32_t>(run);
    }
    if (PartGetCharSlow(r) < 0) return;
  }
}
