// smtpout/HeaderFields.cpp: FindHeaderAddress. Threading: see HeaderFields.h.
#include "smtpout/HeaderFields.h"

#include <cstring>
#include <string_view>

#include "mime/Address.h"
#include "platform/Text.h"
#include "spool/CFileMan.h"

namespace {

constexpr std::size_t kReadSize = 4096;

// The header of a mail file as unfolded fields.
class CHeaderReader {
 public:
  explicit CHeaderReader(CFile& mail) : m_Mail(mail) { m_Mail.Seek(0, FileSeek::kBegin); }

  // The next field without its line ends; false at the header's end (an
  // empty line) or the file's. `tooLong`: the field was cut at kMaxAddressField.
  bool Next(std::string& field, bool& tooLong) {
    if (!m_HavePending && !ReadLine(m_Pending, m_PendingLong)) return false;
    m_HavePending = false;
    if (m_Pending.empty()) return false;
    field = std::move(m_Pending);
    tooLong = m_PendingLong;
    // Lines that begin with a blank continue the field.
    while (ReadLine(m_Pending, m_PendingLong)) {
      if (m_Pending.empty() || (m_Pending[0] != ' ' && m_Pending[0] != '\t')) {
        m_HavePending = true;
        break;
      }
      tooLong = tooLong || m_PendingLong || field.size() + m_Pending.size() > kMaxAddressField;
      if (!tooLong) field += m_Pending;
    }
    return true;
  }

 private:
  // One line through its LF, without the line end; false at the end of the
  // file. The file is read a block at a time, not a read per line.
  bool ReadLine(std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    for (;;) {
      if (m_Used == m_Buffered) {
        const std::int64_t got = FileRead(m_Mail, m_Block, sizeof m_Block);
        if (got <= 0) return false;  // a last line without its LF is no line
        m_Used = 0;
        m_Buffered = static_cast<std::size_t>(got);
      }
      const char* start = m_Block + m_Used;
      const void* lineFeed = std::memchr(start, '\n', m_Buffered - m_Used);
      const std::size_t length =
          lineFeed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - start) : m_Buffered - m_Used;
      if (line.size() + length > kMaxAddressField) {
        tooLong = true;
      } else {
        line.append(start, length);
      }
      m_Used += length + (lineFeed != nullptr ? 1 : 0);
      if (lineFeed != nullptr) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
    }
  }

  CFile& m_Mail;
  char m_Block[kReadSize];
  std::size_t m_Used = 0;  // m_Block[m_Used, m_Buffered) is read, not yet taken
  std::size_t m_Buffered = 0;
  std::string m_Pending;
  bool m_PendingLong = false;
  bool m_HavePending = false;
};

}  // namespace

int FindHeaderAddress(CFile& mail, const char* name, std::string& bare) {
  int result = 1;
  {
    CHeaderReader header(mail);
    std::string field;
    bool tooLong = false;
    while (header.Next(field, tooLong)) {
      if (!StartsWithNoCase(field, name)) continue;
      if (tooLong) {
        result = 2;
      } else {
        bare = BareAddress(std::string_view(field).substr(std::string_view(name).size()));
        result = 0;
      }
      break;
    }
  }
  mail.Seek(0, FileSeek::kBegin);
  return result;
}
