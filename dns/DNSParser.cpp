// dns/DNSParser.cpp: bounded decoding of names and records of a DNS message.
//
// Stateless; safe on any thread.
#include "dns/DNSParser.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::uint8_t kMaxLabelLength = 63;  // a larger byte starts a pointer
constexpr std::size_t kMaxNameChars = kDnsTextSize - 1;
constexpr std::size_t kFixedFieldsSize = 10;  // type, class, ttl, data length
// The smallest record: a one-byte name (the root) and the fixed fields.
constexpr std::size_t kMinRecordSize = 1 + kFixedFieldsSize;
constexpr std::size_t kMxPreferenceSize = 2;
constexpr std::size_t kSoaNumbersSize = 20;
constexpr std::size_t kAddressSize = 4;

// True when `count` bytes from `offset` arrived. Written so that no sum can wrap.
bool Fits(std::span<const std::uint8_t> message, std::size_t offset, std::size_t count) {
  return offset <= message.size() && count <= message.size() - offset;
}

std::uint32_t Read16(std::span<const std::uint8_t> message, std::size_t offset) {
  return static_cast<std::uint32_t>(message[offset]) << 8 | message[offset + 1];
}

std::uint32_t Read32(std::span<const std::uint8_t> message, std::size_t offset) {
  return Read16(message, offset) << 16 | Read16(message, offset + 2);
}

// Appends to a name that holds at most kMaxNameChars characters; false when
// something had to be left out.
class CNameText {
 public:
  explicit CNameText(char (&out)[kDnsTextSize]) : m_Out(out) { m_Out[0] = '\0'; }
  bool Empty() const { return m_Length == 0; }
  bool Append(const std::uint8_t* bytes, std::size_t count) {
    const std::size_t take = std::min(count, kMaxNameChars - m_Length);
    std::copy_n(bytes, take, m_Out + m_Length);
    m_Length += take;
    m_Out[m_Length] = '\0';
    return take == count;
  }
  void Clear() {
    m_Length = 0;
    m_Out[0] = '\0';
  }

 private:
  char (&m_Out)[kDnsTextSize];
  std::size_t m_Length = 0;
};

// The second of the two character strings at `data`; empty when they did not arrive.
void ReadSecondString(std::span<const std::uint8_t> message, std::size_t data, char (&out)[kDnsTextSize]) {
  out[0] = '\0';
  if (!Fits(message, data, 1)) return;
  const std::size_t second = data + 1 + message[data];
  if (!Fits(message, second, 1) || !Fits(message, second + 1, message[second])) return;
  const std::size_t length = message[second];  // a byte: at most 255, so it fits
  std::copy_n(message.data() + second + 1, length, out);
  out[length] = '\0';
}

void ReadSoa(std::span<const std::uint8_t> message, std::size_t data, DNSRecord& record) {
  std::size_t afterPrimary = 0;
  if (DNS_DecodeName(message, data, record.text1, afterPrimary) == DnsNameStatus::kBroken) return;
  std::size_t afterMailbox = 0;
  if (DNS_DecodeName(message, afterPrimary, record.text2, afterMailbox) == DnsNameStatus::kBroken) return;
  if (!Fits(message, afterMailbox, kSoaNumbersSize)) return;
  record.serial = Read32(message, afterMailbox);
  record.refresh = Read32(message, afterMailbox + 4);
  record.retry = Read32(message, afterMailbox + 8);
  record.expire = Read32(message, afterMailbox + 12);
  record.minimum = Read32(message, afterMailbox + 16);
}

// The data fields of `record` by its type. What did not arrive stays empty or 0.
void ReadData(std::span<const std::uint8_t> message, std::size_t data, DNSRecord& record) {
  std::size_t ignored = 0;
  switch (record.type) {
    case kDnsTypeA:
      if (Fits(message, data, kAddressSize))
        std::snprintf(record.text1, sizeof record.text1, "%u.%u.%u.%u", message[data], message[data + 1],
                      message[data + 2], message[data + 3]);
      break;
    case kDnsTypeSOA:
      ReadSoa(message, data, record);
      break;
    case kDnsTypeHINFO:
    case kDnsTypeMINFO:
      ReadSecondString(message, data, record.text1);
      break;
    case kDnsTypeMX:
      if (!Fits(message, data, kMxPreferenceSize)) break;
      record.number1 = Read16(message, data);
      (void)DNS_DecodeName(message, data + kMxPreferenceSize, record.text1, ignored);
      break;
    default:
      (void)DNS_DecodeName(message, data, record.text1, ignored);
      break;
  }
}

}  // namespace

DnsNameStatus DNS_DecodeName(std::span<const std::uint8_t> message, std::size_t position,
                             char (&out)[kDnsTextSize], std::size_t& end) {
  CNameText text(out);
  bool complete = true;
  bool jumped = false;
  std::size_t nameEnd = 0;
  int jumps = 0;
  for (std::size_t at = position;;) {
    if (!Fits(message, at, 1)) break;
    const std::uint8_t length = message[at];
    if (length == 0) {
      end = jumped ? nameEnd : at + 1;
      return complete ? DnsNameStatus::kOk : DnsNameStatus::kTooLong;
    }
    if (length > kMaxLabelLength) {
      if (!Fits(message, at, 2) || ++jumps > kDnsMaxPointerJumps) break;
      if (!jumped) nameEnd = at + 2;
      jumped = true;
      at = static_cast<std::size_t>(length & kMaxLabelLength) << 8 | message[at + 1];
      continue;
    }
    if (!Fits(message, at + 1, length)) break;
    // Past the limit the walk goes on without text, so that the end is known.
    static constexpr std::uint8_t kDot = '.';
    if (!text.Empty()) complete = text.Append(&kDot, 1) && complete;
    complete = text.Append(message.data() + at + 1, length) && complete;
    at += 1 + static_cast<std::size_t>(length);
  }
  text.Clear();
  return DnsNameStatus::kBroken;
}

std::uint32_t DNS_HeaderCount(std::span<const std::uint8_t> message, int index) {
  if (index < 0 || index > 3 || message.size() < kDnsHeaderSize) return 0;
  return Read16(message, 4 + 2 * static_cast<std::size_t>(index));
}

std::vector<DNSRecord> DNS_ParseRecords(std::span<const std::uint8_t> message, std::size_t answerOffset) {
  std::vector<DNSRecord> records;
  const std::size_t count =
      DNS_HeaderCount(message, 1) + DNS_HeaderCount(message, 2) + DNS_HeaderCount(message, 3);
  // The counts are the peer's word; what arrived bounds how many records there can be.
  const std::size_t room =
      answerOffset < message.size() ? (message.size() - answerOffset) / kMinRecordSize : 0;
  records.reserve(std::min(count, room));

  std::size_t position = answerOffset;
  for (std::size_t i = 0; i < count; ++i) {
    DNSRecord record;
    std::size_t fixed = 0;
    if (DNS_DecodeName(message, position, record.owner, fixed) == DnsNameStatus::kBroken) break;
    if (!Fits(message, fixed, kFixedFieldsSize)) break;
    record.type = Read16(message, fixed);
    record.ttl = Read32(message, fixed + 4);
    const std::size_t dataLength = Read16(message, fixed + 8);
    const std::size_t data = fixed + kFixedFieldsSize;
    if (!Fits(message, data, dataLength)) break;  // cut short, or a lying length
    ReadData(message, data, record);
    records.push_back(record);
    position = data + dataLength;
  }
  return records;
}
