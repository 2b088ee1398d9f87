// smtpin/SpoolWriter.h: writes one received mail into its spool file.
//
// Bytes are gathered in a buffer of its own and written in large blocks; the
// first failed write makes the writer fail for good (later writes are dropped),
// so the session can still read the rest of the data and then refuse the mail.
// Commit puts the content on disk (fsync) before the mail may be acknowledged.
//
// Threading: used by one session thread.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/File.h"

class CSpoolWriter {
 public:
  static constexpr std::size_t kBufferSize = 64 * 1024;

  // Takes ownership of `file`; an invalid handle makes a writer that has failed.
  explicit CSpoolWriter(CFile file);
  CSpoolWriter(const CSpoolWriter&) = delete;
  CSpoolWriter& operator=(const CSpoolWriter&) = delete;

  // Appends bytes. False once any write has failed.
  bool Write(const char* bytes, std::size_t count);
  // Writes what is buffered, syncs and closes. True only when every byte is on disk.
  bool Commit();
  // Closes without syncing; the caller removes the file.
  void Abandon();
  bool Failed() const { return m_Failed; }

 private:
  bool WriteOut(const char* bytes, std::size_t count);

  CFile m_File;
  std::unique_ptr<char[]> m_Buffer;
  std::size_t m_Used = 0;
  bool m_Failed = false;
};
