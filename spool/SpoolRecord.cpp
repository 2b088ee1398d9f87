// spool/SpoolRecord.cpp: the spool file's record and footer, written and read.
//
// All numbers are little-endian. Record: the acknowledgement time (8 bytes),
// the number of recipients (4), then each recipient as a 2-byte length and its
// bytes. Footer: "CVGWSPL1", the mail's length (8), the record's length (4),
// the mail's CRC-32C (4), the CRC-32C of the record and the footer's first 24
// bytes (4), "END\n".
#include "spool/SpoolRecord.h"

#include <cstring>
#include <memory>

#include "base/Crc32c.h"
#include "platform/File.h"

namespace {

constexpr char kMagic[] = "CVGWSPL1";
constexpr char kEnd[] = "END\n";
constexpr std::size_t kMagicSize = 8;
constexpr std::size_t kEndSize = 4;
constexpr std::size_t kCheckedFooterBytes = 24;  // covered by the record CRC
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr char kTracePrefix[] = "Received: from ";

void Put(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint64_t Get(const unsigned char* p, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// Reads exactly `size` bytes at `offset`: true; false when the file could
// not be read (an I/O error, or it ended before: it changed under us).
bool ReadAt(CFile& file, std::uint64_t offset, void* buffer, std::size_t size) {
  return file.Seek(static_cast<std::int64_t>(offset), FileSeek::kBegin) >= 0 &&
         file.Read(buffer, size) == static_cast<std::int64_t>(size);
}

SpoolFileState ReadFailed(std::string& why, const char* what) {
  why = std::string(what) + ": " + PlatformErrorText(PlatformGetLastError());
  return SpoolFileState::kReadFailed;
}

bool ParseRecord(const std::string& bytes, CSpoolRecord& record) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t at = 0;
  const auto left = [&] { return bytes.size() - at; };
  if (left() < 12) return false;
  record.acknowledgedAt = static_cast<std::int64_t>(Get(p, 8));
  const std::uint64_t count = Get(p + 8, 4);
  at = 12;
  if (count > kMaxSpoolRecipients) return false;
  record.recipients.clear();
  for (std::uint64_t i = 0; i < count; ++i) {
    if (left() < 2) return false;
    const std::size_t length = static_cast<std::size_t>(Get(p + at, 2));
    at += 2;
    if (length > left() || length > kMaxSpoolRecipientLength) return false;
    record.recipients.emplace_back(bytes.data() + at, length);
    at += length;
  }
  return at == bytes.size();
}

}  // namespace

std::string EncodeSpoolTrailer(const CSpoolRecord& record, std::uint32_t dataCrc) {
  std::string out;
  Put(out, static_cast<std::uint64_t>(record.acknowledgedAt), 8);
  Put(out, record.recipients.size(), 4);
  for (const std::string& r : record.recipients) {
    const std::size_t length = std::min(r.size(), kMaxSpoolRecipientLength);
    Put(out, length, 2);
    out.append(r, 0, length);
  }
  const std::size_t recordLength = out.size();
  out.append(kMagic, kMagicSize);
  Put(out, record.dataLength, 8);
  Put(out, recordLength, 4);
  Put(out, dataCrc, 4);
  const std::uint32_t recordCrc = Crc32cExtend(0, out.data(), recordLength + kCheckedFooterBytes);
  Put(out, recordCrc, 4);
  out.append(kEnd, kEndSize);
  return out;
}

SpoolFileState ReadSpoolFile(const std::string& path, bool oursBeside, CSpoolRecord& record, std::string& why,
                             CFileIdentity& identity) {
  record = CSpoolRecord{};
  identity = CFileIdentity{};
  CFile file = CFile::Open(path, FileAccess::kRead, FileShare::kReadWrite, FileCreation::kOpenExisting);
  if (!file.IsValid()) {
    const DWORD error = PlatformGetLastError();
    why = PlatformErrorText(error);
    if (error == static_cast<DWORD>(ERROR_FILE_NOT_FOUND) ||
        error == static_cast<DWORD>(ERROR_PATH_NOT_FOUND))
      return SpoolFileState::kGone;
    // A directory (or a file closed to us) is no spool file; any other
    // failure may pass: nothing can be told of the file yet.
    return error == static_cast<DWORD>(ERROR_ACCESS_DENIED) ? SpoolFileState::kUnreadable
                                                            : SpoolFileState::kReadFailed;
  }
  if (!file.Identity(identity)) return ReadFailed(why, "not examined");
  const std::int64_t size = file.Size();
  if (size < 0) return ReadFailed(why, "size not known");
  unsigned char footer[kSpoolFooterSize];
  bool hasFooter = false;
  if (size >= static_cast<std::int64_t>(kSpoolFooterSize)) {
    if (!ReadAt(file, static_cast<std::uint64_t>(size) - kSpoolFooterSize, footer, sizeof footer))
      return ReadFailed(why, "footer not read");
    hasFooter = std::memcmp(footer, kMagic, kMagicSize) == 0 &&
                std::memcmp(footer + kSpoolFooterSize - kEndSize, kEnd, kEndSize) == 0;
  }
  if (!hasFooter) {
    if (oursBeside) {
      why = "never acknowledged";
      return SpoolFileState::kUnfinished;
    }
    char head[sizeof kTracePrefix - 1] = {};
    bool traced = false;
    if (size >= static_cast<std::int64_t>(sizeof head)) {
      if (!ReadAt(file, 0, head, sizeof head)) return ReadFailed(why, "start not read");
      traced = std::memcmp(head, kTracePrefix, sizeof head) == 0;
    }
    why = size == 0 ? "empty" : traced ? "no record of its transaction" : "not a received mail";
    return SpoolFileState::kUnreadable;
  }
  const std::uint64_t dataLength = Get(footer + 8, 8);
  const std::uint64_t recordLength = Get(footer + 16, 4);
  const std::uint32_t dataCrc = static_cast<std::uint32_t>(Get(footer + 20, 4));
  const std::uint32_t recordCrc = static_cast<std::uint32_t>(Get(footer + 24, 4));
  const std::uint64_t total = static_cast<std::uint64_t>(size);
  if (dataLength > total || recordLength > total || dataLength + recordLength + kSpoolFooterSize != total) {
    why = "record lengths do not match the file";
    return SpoolFileState::kUnreadable;
  }
  std::string recordBytes(static_cast<std::size_t>(recordLength), '\0');
  if (!ReadAt(file, dataLength, recordBytes.data(), recordBytes.size()))
    return ReadFailed(why, "record not read");
  std::uint32_t crc = Crc32cExtend(0, recordBytes.data(), recordBytes.size());
  crc = Crc32cExtend(crc, footer, kCheckedFooterBytes);
  if (crc != recordCrc || !ParseRecord(recordBytes, record)) {
    why = "damaged record";
    return SpoolFileState::kUnreadable;
  }
  // The footer may have reached the disk while earlier pages of the mail did
  // not: only a mail whose bytes check out is handed off.
  std::unique_ptr<char[]> chunk(new char[kReadChunk]);
  crc = 0;
  if (file.Seek(0, FileSeek::kBegin) < 0) return ReadFailed(why, "mail not read");
  for (std::uint64_t left = dataLength; left > 0;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadChunk));
    if (file.Read(chunk.get(), want) != static_cast<std::int64_t>(want))
      return ReadFailed(why, "mail not read");
    crc = Crc32cExtend(crc, chunk.get(), want);
    left -= want;
  }
  if (crc != dataCrc) {
    why = "damaged mail";
    return SpoolFileState::kUnreadable;
  }
  record.dataLength = dataLength;
  return SpoolFileState::kAcknowledged;
}
