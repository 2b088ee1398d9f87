// mime/EnvelopeCheck.cpp: the envelope's bare addresses as a set.
// Threading: see EnvelopeCheck.h.
#include "mime/EnvelopeCheck.h"

#include "base/Text.h"
#include "log/DebugLog.h"
#include "mime/Address.h"

namespace {

constexpr std::size_t kRcptPrefix = 3;  // "TO:", dropped before the test for an address

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The key of a bare address: its ASCII letters in lower case, as EqualsNoCase compares.
std::string Folded(std::string_view bare) {
  std::string key(bare);
  for (char& c : key) c = AsciiLower(c);
  return key;
}

bool HasAddress(const std::string& rcpt) {
  if (rcpt.size() <= kRcptPrefix) return false;
  for (std::size_t i = kRcptPrefix; i < rcpt.size(); ++i) {
    if (!IsBlank(rcpt[i])) return true;
  }
  return false;
}

const CRecipientList& NoRecipients() {
  static const CRecipientList* none = new CRecipientList;  // never destroyed: checks may outlive statics
  return *none;
}

}  // namespace

CEnvelopeCheck::CEnvelopeCheck(const CRecipientList& recipients) : m_Recipients(recipients) {
  m_Index.reserve(recipients.size());
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    if (!HasAddress(recipients[i])) {
      m_FirstEmpty = i;
      break;  // the comparison never gets past this entry
    }
    m_Index.emplace(Folded(BareAddress(recipients[i])), i);  // keeps the first
  }
}

CEnvelopeCheck::CEnvelopeCheck() : m_Recipients(NoRecipients()) {}

std::size_t CEnvelopeCheck::Find(std::string_view bare) const {
  const auto it = m_Index.find(Folded(bare));
  return it == m_Index.end() ? kNone : it->second;
}

bool CEnvelopeCheck::LogNextEntry() const {
  if (m_Entries++ < kLoggedEntries) return true;
  if (m_Entries == kLoggedEntries + 1) {
    DebugLog("GetDetailsEx() - further addresses of this mail are checked without log entries", CV_SRC,
             __LINE__);
  }
  return false;
}
