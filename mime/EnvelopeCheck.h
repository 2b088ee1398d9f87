// mime/EnvelopeCheck.h: the SMTP envelope of one mail, prepared once for
// confirming the To and Cc addresses of its header blocks.
//
// A mail may list thousands of addresses in its header and, from the spool
// files of older versions, as many envelope recipients. Comparing every
// header address with every RCPT argument in turn costs their product; here
// each header address is one look-up in a set of the envelope's bare
// addresses, folded to lower case. The outcome is the one of the comparison
// in order: the first envelope recipient that matches decides, and an
// envelope entry without an address ends the comparison where it stands.
//
// The check also holds the debug log's budget for the recipient entries of
// its mail, so that a huge header cannot flood the log.
//
// Threading: one decoding run (one thread) at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include "mime/RecipientList.h"

class CEnvelopeCheck {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  // Header addresses of one mail logged one by one; the rest only counted.
  static constexpr std::size_t kLoggedEntries = 100;

  // Implicit, so that a caller holding only the list still gets the check,
  // made once for its call. `recipients` is not copied: it must outlive the check.
  CEnvelopeCheck(const CRecipientList& recipients);
  // No envelope (an empty list).
  CEnvelopeCheck();
  CEnvelopeCheck(const CEnvelopeCheck&) = delete;
  CEnvelopeCheck& operator=(const CEnvelopeCheck&) = delete;

  const CRecipientList& Recipients() const { return m_Recipients; }
  // The first envelope entry, before FirstEmptyEntry, whose bare address is
  // `bare` without regard to case; kNone when there is none.
  std::size_t Find(std::string_view bare) const;
  // The first envelope entry without an address (nothing after its first three
  // characters but blanks); kNone when every entry has one.
  std::size_t FirstEmptyEntry() const { return m_FirstEmpty; }

  // True while header addresses of this mail are still logged one by one;
  // counts the one asked about.
  bool LogNextEntry() const;

 private:
  const CRecipientList& m_Recipients;
  std::unordered_map<std::string, std::size_t> m_Index;  // folded bare address -> first entry
  std::size_t m_FirstEmpty = kNone;
  mutable std::size_t m_Entries = 0;  // header addresses asked about so far
};
