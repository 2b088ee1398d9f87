// smtpin/SpoolWriter.cpp: buffered, checked and synced writing of a spool file.
//
// Threading: see SpoolWriter.h.
#include "smtpin/SpoolWriter.h"

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "base/Crc32c.h"
#include "log/DebugLog.h"
#include "platform/FaultInjection.h"

CSpoolWriter::CSpoolWriter(CFile file) : m_File(std::move(file)) {
  if (!m_File.IsValid()) {
    m_Failed = true;
    return;
  }
  m_Buffer.reset(new (std::nothrow) char[kBufferSize]);
  if (!m_Buffer) m_Failed = true;
}

bool CSpoolWriter::WriteOut(const char* bytes, std::size_t count) {
  if (count > 0) FaultStep("spool-write");
  if (count > 0 && m_File.Write(bytes, count) != static_cast<std::int64_t>(count)) {
    DebugLog("SMTPIn- spool file write failed", CV_SRC, __LINE__);
    LogLastError();
    m_Failed = true;
    return false;
  }
  return true;
}

bool CSpoolWriter::Write(const char* bytes, std::size_t count) {
  if (m_Failed) return false;
  m_Crc = Crc32cExtend(m_Crc, bytes, count);
  m_Written += count;
  if (m_Used + count > kBufferSize) {
    if (!WriteOut(m_Buffer.get(), m_Used)) return false;
    m_Used = 0;
    if (count >= kBufferSize) return WriteOut(bytes, count);
  }
  std::memcpy(m_Buffer.get() + m_Used, bytes, count);
  m_Used += count;
  return true;
}

bool CSpoolWriter::Commit(CSpoolRecord record) {
  if (!m_Failed) {
    record.dataLength = m_Written;
    const std::string trailer = EncodeSpoolTrailer(record, m_Crc);
    // The trailer goes out with the last bytes of the mail: one write, one sync.
    if (m_Used + trailer.size() <= kBufferSize) {
      std::memcpy(m_Buffer.get() + m_Used, trailer.data(), trailer.size());
      m_Used += trailer.size();
      WriteOut(m_Buffer.get(), m_Used);
    } else if (WriteOut(m_Buffer.get(), m_Used)) {
      WriteOut(trailer.data(), trailer.size());
    }
    m_Used = 0;
  }
  // Where the group sync would open the file again by name (Windows), it is
  // flushed here through the handle that wrote it: a scanner holding it
  // meanwhile would make that open fail, and the mail be refused for nothing.
  if (!m_Failed && kGroupSyncOpensFiles && !m_File.Sync()) {
    DebugLog("SMTPIn- spool file sync failed", CV_SRC, __LINE__);
    LogLastError();
    m_Failed = true;
  }
  if (m_File.IsValid() && !m_File.Close()) {
    DebugLog("SMTPIn- spool file close failed", CV_SRC, __LINE__);
    LogLastError();
    m_Failed = true;
  }
  return !m_Failed;
}

void CSpoolWriter::Abandon() {
  m_Failed = true;
  if (m_File.IsValid()) m_File.Close();
}
