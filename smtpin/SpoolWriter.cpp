// smtpin/SpoolWriter.cpp: buffered, synced writing of a spool file.
//
// Threading: see SpoolWriter.h.
#include "smtpin/SpoolWriter.h"

#include <cstring>
#include <new>
#include <utility>

#include "log/DebugLog.h"

CSpoolWriter::CSpoolWriter(CFile file) : m_File(std::move(file)) {
  if (!m_File.IsValid()) {
    m_Failed = true;
    return;
  }
  m_Buffer.reset(new (std::nothrow) char[kBufferSize]);
  if (!m_Buffer) m_Failed = true;
}

bool CSpoolWriter::WriteOut(const char* bytes, std::size_t count) {
  while (count > 0) {
    const std::int64_t written = m_File.Write(bytes, count);
    if (written <= 0) {
      DebugLog("SMTPIn- spool file write failed", CV_SRC, __LINE__);
      LogLastError();
      m_Failed = true;
      return false;
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

bool CSpoolWriter::Write(const char* bytes, std::size_t count) {
  if (m_Failed) return false;
  if (m_Used + count > kBufferSize) {
    if (!WriteOut(m_Buffer.get(), m_Used)) return false;
    m_Used = 0;
    if (count >= kBufferSize) return WriteOut(bytes, count);
  }
  std::memcpy(m_Buffer.get() + m_Used, bytes, count);
  m_Used += count;
  return true;
}

bool CSpoolWriter::Commit() {
  if (!m_Failed && m_Used > 0 && WriteOut(m_Buffer.get(), m_Used)) m_Used = 0;
  // The file may have been an earlier spool file, written over: it ends here.
  if (!m_Failed && !m_File.SetEndOfFile()) {
    DebugLog("SMTPIn- spool file could not be ended", CV_SRC, __LINE__);
    LogLastError();
    m_Failed = true;
  }
  if (!m_Failed && !m_File.Sync()) {
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
