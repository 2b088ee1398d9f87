// platform/StdioFile.cpp: CStdioFile, the buffered stream with the runtime's
// text mode, over a backend's raw file (RawFile.h) and one 64 KiB buffer. The
// same code on every platform, so text files are byte-identical everywhere.
//
// Text mode stores a LF as CR LF and reads CR LF back as LF; a CR not followed
// by LF stays. The translation works on whole buffers (memchr for the next CR
// or LF), never byte by byte: the MIME decoder reads big attachments through
// this class. A CR at the end of a buffer is held in m_PendingCr until the next
// byte is known. One thread at a time per object.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/RawFile.h"

namespace {
// Writes all of `data`; false with the last error set.
bool WriteAll(RawFile file, const char* data, std::size_t count, const std::string& path) {
  if (count > 0 && FaultInjected(FaultOp::kWrite, path)) {
    RawSetFaultError(errno);
    return false;
  }
  return RawWriteAll(file, data, count);
}

// One read; -1 with the last error set on failure.
std::int64_t ReadSome(RawFile file, char* buffer, std::size_t count, const std::string& path) {
  if (FaultInjected(FaultOp::kRead, path)) {
    RawSetFaultError(errno);
    return -1;
  }
  return RawRead(file, buffer, count);
}
}  // namespace

CStdioFile::CStdioFile(CStdioFile&& other) noexcept { *this = std::move(other); }

CStdioFile& CStdioFile::operator=(CStdioFile&& other) noexcept {
  if (this == &other) return *this;
  if (IsOpen()) Close();
  m_Fd = other.m_Fd;
  m_Buffer = std::move(other.m_Buffer);
  m_Pos = other.m_Pos;
  m_End = other.m_End;
  m_Out = other.m_Out;
  m_Writing = other.m_Writing;
  m_CanRead = other.m_CanRead;
  m_CanWrite = other.m_CanWrite;
  m_Text = other.m_Text;
  m_Eof = other.m_Eof;
  m_Error = other.m_Error;
  m_WriteFailed = other.m_WriteFailed;
  m_PendingCr = other.m_PendingCr;
  m_Path = std::move(other.m_Path);
  m_ReadLimit = other.m_ReadLimit;
  m_ReadLeft = other.m_ReadLeft;
  other.m_Fd = kNoRawFile;
  other.Reset();
  return *this;
}

CStdioFile::~CStdioFile() {
  if (IsOpen()) Close();
}

void CStdioFile::Reset() {
  m_Pos = m_End = m_Out = 0;
  m_Writing = m_CanRead = m_CanWrite = m_Eof = m_Error = m_WriteFailed = false;
  m_Text = true;
  m_PendingCr = 0;
  m_ReadLimit = m_ReadLeft = UINT64_MAX;
}

CStdioFile CStdioFile::Open(const std::string& path, const char* mode) {
  CStdioFile file;
  bool valid = mode != nullptr && (mode[0] == 'r' || mode[0] == 'w' || mode[0] == 'a');
  bool plus = false, binary = false, exclusive = false;
  for (const char* m = valid ? mode + 1 : ""; *m != '\0'; ++m) {
    if (*m == '+')
      plus = true;
    else if (*m == 'b')
      binary = true;
    else if (*m == 'x' && mode[0] == 'w')
      exclusive = true;
    else if (*m != 't')
      valid = false;
  }
  if (!valid) {
    errno = EINVAL;
    PlatformSetLastError(ERROR_INVALID_PARAMETER);
    return file;
  }
  CRawOpenMode raw;
  raw.read = mode[0] == 'r' || plus;
  raw.write = mode[0] != 'r' || plus;
  raw.create = mode[0] != 'r';
  raw.exclusive = exclusive;
  raw.truncate = mode[0] == 'w' && !exclusive;
  raw.append = mode[0] == 'a';
  if (raw.create && FaultInjected(FaultOp::kCreate, path)) {
    const int err = errno;
    RawSetFaultError(err);
    errno = err;
    return file;
  }
  const RawFile fd = RawOpen(path, raw);
  if (fd == kNoRawFile) return file;
  file.m_Fd = fd;
  file.m_Path = path;
  file.m_Buffer =
      std::make_unique_for_overwrite<char[]>(kBufferSize);  // not zeroed: only bytes read or written are used
  file.m_CanRead = mode[0] == 'r' || plus;
  file.m_CanWrite = mode[0] != 'r' || plus;
  file.m_Text = !binary;
  return file;
}

bool CStdioFile::FillBuffer() {
  m_Pos = m_End = 0;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, m_ReadLeft));
  const std::int64_t n = want == 0 ? 0 : ReadSome(m_Fd, m_Buffer.get(), want, m_Path);
  if (n > 0) {
    m_End = static_cast<std::size_t>(n);
    m_ReadLeft -= static_cast<std::uint64_t>(n);
    return true;
  }
  if (n == 0)
    m_Eof = true;
  else
    m_Error = true;
  return false;
}

bool CStdioFile::FlushWrites() {
  if (!m_Writing || m_Out == 0) return true;
  const bool ok = WriteAll(m_Fd, m_Buffer.get(), m_Out, m_Path);
  if (!ok) m_Error = m_WriteFailed = true;
  m_Out = 0;  // a failed block is dropped, as stdio does; the failure sticks
  return ok;
}

bool CStdioFile::EnterReading() {
  if (!m_Writing) return true;
  const bool ok = FlushWrites();
  m_Writing = false;
  m_Pos = m_End = 0;
  return ok;
}

bool CStdioFile::EnterWriting() {
  if (m_Writing) return true;
  // Give back what was read ahead, so the write lands where reading stopped.
  const std::int64_t unread = static_cast<std::int64_t>(m_End - m_Pos) + m_PendingCr;
  if (unread > 0 && RawSeek(m_Fd, -unread, FileSeek::kCurrent) < 0) {
    m_Error = true;
    return false;
  }
  if (m_ReadLeft != UINT64_MAX) m_ReadLeft += static_cast<std::uint64_t>(unread);
  m_Pos = m_End = 0;
  m_PendingCr = 0;
  m_Out = 0;
  m_Writing = true;
  return true;
}

bool CStdioFile::AppendOut(const char* data, std::size_t count) {
  if (count >= kBufferSize) {
    // Big blocks go straight out, after what is already waiting.
    if (!FlushWrites()) return false;
    if (!WriteAll(m_Fd, data, count, m_Path)) {
      m_Error = m_WriteFailed = true;
      return false;
    }
    return true;
  }
  while (count > 0) {
    if (m_Out == kBufferSize && !FlushWrites()) return false;
    const std::size_t n = std::min(count, kBufferSize - m_Out);
    std::memcpy(m_Buffer.get() + m_Out, data, n);
    m_Out += n;
    data += n;
    count -= n;
  }
  return true;
}

std::size_t CStdioFile::Read(void* buffer, std::size_t count) {
  if (!IsOpen() || !m_CanRead) {
    m_Error = IsOpen();
    PlatformSetLastError(IsOpen() ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
    return 0;
  }
  if (!EnterReading()) return 0;
  char* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    if (m_PendingCr != 0) {
      // The CR's fate depends on the byte after it.
      if (m_Pos == m_End && !FillBuffer()) {
        if (m_Error) break;  // keep the CR for a retry
        m_PendingCr = 0;
        out[done++] = '\r';  // a CR at the end of the file stays
        continue;
      }
      m_PendingCr = 0;
      if (m_Buffer[m_Pos] == '\n') {
        ++m_Pos;
        out[done++] = '\n';
      } else {
        out[done++] = '\r';
      }
      continue;
    }
    if (m_Pos == m_End) {
      if (!m_Text && count - done >= kBufferSize && m_ReadLeft >= kBufferSize) {
        // Large binary reads skip the copy through the buffer.
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, m_ReadLeft));
        const std::int64_t n = ReadSome(m_Fd, out + done, want, m_Path);
        if (n > 0) {
          done += static_cast<std::size_t>(n);
          m_ReadLeft -= static_cast<std::uint64_t>(n);
          continue;
        }
        if (n == 0)
          m_Eof = true;
        else
          m_Error = true;
        break;
      }
      if (!FillBuffer()) break;
    }
    const char* src = m_Buffer.get() + m_Pos;
    std::size_t n = std::min(m_End - m_Pos, count - done);
    if (m_Text) {
      const void* cr = std::memchr(src, '\r', n);
      if (cr != nullptr) {
        n = static_cast<std::size_t>(static_cast<const char*>(cr) - src);
        m_PendingCr = 1;  // consumed now, decided on the next round
        std::memcpy(out + done, src, n);
        done += n;
        m_Pos += n + 1;
        continue;
      }
    }
    std::memcpy(out + done, src, n);
    done += n;
    m_Pos += n;
  }
  return done;
}

int CStdioFile::GetCharSlow() {
  if (!IsOpen() || !m_CanRead) {
    m_Error = IsOpen();
    PlatformSetLastError(IsOpen() ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
    return -1;
  }
  if (!EnterReading()) return -1;
  if (m_PendingCr == 0) {
    if (m_Pos == m_End && !FillBuffer()) return -1;
    const unsigned char c = static_cast<unsigned char>(m_Buffer[m_Pos++]);
    if (c != '\r' || !m_Text) return c;
    m_PendingCr = 1;
  }
  if (m_Pos == m_End && !FillBuffer()) {
    if (m_Error) return -1;
    m_PendingCr = 0;
    return '\r';
  }
  m_PendingCr = 0;
  if (m_Buffer[m_Pos] == '\n') {
    ++m_Pos;
    return '\n';
  }
  return '\r';
}

char* CStdioFile::GetLine(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return nullptr;
  if (size == 1) {
    buffer[0] = '\0';
    return buffer;
  }
  const std::size_t limit = static_cast<std::size_t>(size) - 1;
  std::size_t n = 0;
  while (n < limit) {
    if (m_Pos < m_End && m_PendingCr == 0) {
      // Copy up to the next LF (or CR in text mode) in one step.
      const char* src = m_Buffer.get() + m_Pos;
      const std::size_t avail = std::min(m_End - m_Pos, limit - n);
      const void* lf = std::memchr(src, '\n', avail);
      std::size_t span =
          lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - src) + 1 : avail;
      bool crNext = false;
      if (m_Text) {
        const void* cr = std::memchr(src, '\r', span);
        if (cr != nullptr) {
          span = static_cast<std::size_t>(static_cast<const char*>(cr) - src);
          crNext = true;
        }
      }
      std::memcpy(buffer + n, src, span);
      n += span;
      m_Pos += span;
      if (!crNext) {
        if (span > 0 && buffer[n - 1] == '\n') break;
        continue;
      }
      if (n == limit) break;
    }
    const int c = GetCharSlow();  // refills, and settles a CR
    if (c < 0) break;
    buffer[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (n == 0) return nullptr;
  buffer[n] = '\0';
  return buffer;
}

std::size_t CStdioFile::Write(const void* buffer, std::size_t count) {
  if (!IsOpen() || !m_CanWrite) {
    m_Error = IsOpen();
    PlatformSetLastError(IsOpen() ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
    return 0;
  }
  if (!EnterWriting()) return 0;
  const char* in = static_cast<const char*>(buffer);
  if (!m_Text) return AppendOut(in, count) ? count : 0;
  std::size_t done = 0;
  while (done < count) {
    const void* lf = std::memchr(in + done, '\n', count - done);
    const std::size_t span =
        lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - (in + done)) : count - done;
    if (!AppendOut(in + done, span)) return done;
    done += span;
    if (lf != nullptr) {
      if (!AppendOut("\r\n", 2)) return done;
      ++done;
    }
  }
  return done;
}

std::size_t CStdioFile::WriteText(const char* text) {
  return text == nullptr ? 0 : Write(text, std::strlen(text));
}

bool CStdioFile::Rewind() {
  if (!IsOpen()) return FailNoHandle();
  bool ok = FlushWrites();
  m_Writing = false;
  m_Pos = m_End = m_Out = 0;
  m_PendingCr = 0;
  m_ReadLeft = m_ReadLimit;
  m_Eof = false;
  m_Error = false;
  if (RawSeek(m_Fd, 0, FileSeek::kBegin) < 0) {
    m_Error = true;
    ok = false;
  }
  return ok;
}

bool CStdioFile::Flush() {
  if (!IsOpen()) return FailNoHandle();
  return FlushWrites();
}

bool CStdioFile::Sync() {
  if (!Flush()) return false;
  if (!RawSync(m_Fd)) {
    m_Error = m_WriteFailed = true;
    return false;
  }
  return true;
}

bool CStdioFile::Close() {
  if (!IsOpen()) return FailNoHandle();
  bool ok = FlushWrites() && !m_WriteFailed;
  if (!RawClose(m_Fd)) ok = false;
  m_Fd = kNoRawFile;
  m_Buffer.reset();
  Reset();
  return ok;
}
