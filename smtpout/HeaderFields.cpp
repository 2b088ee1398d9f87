// smtpout/HeaderFields.cpp: FindHeaderAddress. Threading: see HeaderFields.h.
#include "smtpout/HeaderFields.h"

#include <string_view>

#include "mime/Address.h"
#include "platform/Text.h"
#include "spool/CFileMan.h"

namespace {

constexpr int kReadSize = 256;

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
  // One line through its LF, without the line end; false at the end of the file.
  bool ReadLine(std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    char buffer[kReadSize];
    for (int count; (count = FileReadLine(m_Mail, buffer, kReadSize)) > 0;) {
      std::string_view piece(buffer, static_cast<std::size_t>(count));
      const bool end = piece.back() == '\n';
      if (end) piece.remove_suffix(1);
      if (line.size() + piece.size() > kMaxAddressField) {
        tooLong = true;
      } else {
        line += piece;
      }
      if (end) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
    }
    return false;
  }

  CFile& m_Mail;
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
