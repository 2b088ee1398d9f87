// smtpin/SpoolWriter.h: writes one received mail into its spool file.
//
// Bytes are gathered in a buffer of its own and written in large blocks; the
// first failed write makes the writer fail for good (later writes are dropped),
// so the session can still read the rest of the data and then refuse the mail.
// Commit appends the record of the transaction (spool/SpoolRecord.h); the
// caller then puts the file on disk (the spool's shared sync) before the mail
// may be acknowledged.
//
// Threading: used by one session thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/File.h"
#include "spool/SpoolRecord.h"

class CSpoolWriter {
 public:
  static constexpr std::size_t kBufferSize = 64 * 1024;

  // Takes ownership of `file`; an invalid handle makes a writer that has failed.
  explicit CSpoolWriter(CFile file);
  CSpoolWriter(const CSpoolWriter&) = delete;
  CSpoolWriter& operator=(const CSpoolWriter&) = delete;

  // Appends bytes of the mail. False once any write has failed.
  bool Write(const char* bytes, std::size_t count);
  // The mail's bytes so far.
  std::uint64_t Written() const { return m_Written; }
  // Appends the record (its dataLength is set here) and closes. True only
  // when every byte was written; the caller syncs (where the group sync opens
  // files by name, kGroupSyncOpensFiles, the data are synced here, through
  // the handle, and the caller syncs the names).
  bool Commit(CSpoolRecord record);
  // Closes without syncing; the caller removes the file.
  void Abandon();
  bool Failed() const { return m_Failed; }

 private:
  bool WriteOut(const char* bytes, std::size_t count);

  CFile m_File;
  std::unique_ptr<char[]> m_Buffer;
  std::size_t m_Used = 0;
  std::uint64_t m_Written = 0;  // bytes of the mail accepted, buffered or not
  std::uint32_t m_Crc = 0;      // CRC-32C of those bytes
  bool m_Failed = false;
};
