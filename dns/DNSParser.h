// dns/DNSParser.h: the records of a DNS message as received from a peer.
//
// The message is hostile input: every read is checked against the bytes that
// arrived, names stop at 255 characters, compression pointers are followed a
// bounded number of times, and counts in the header are not trusted to size
// anything. A message that is cut short or lies ends the parse: the records
// complete before that point are kept. No socket here, so the parser can be
// fed any bytes.
//
// Pure functions; safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dns/DNSRecord.h"

// A chain of pointers longer than this is a loop (a real name needs a few).
constexpr int kDnsMaxPointerJumps = 64;
constexpr std::size_t kDnsHeaderSize = 12;

enum class DnsNameStatus {
  kOk,       // the name ended with its zero byte
  kTooLong,  // the text was cut at 255 characters; the end is still known
  kBroken,   // it runs past the message or loops: the text is empty, no end
};

// Decodes the name at `position` of `message` into `out` (dotted, no final
// dot, NUL-terminated, at most 255 characters). `end` becomes the offset just
// after the name in the record stream: after its zero byte, or after its
// first pointer. On kBroken `out` is empty and `end` is unchanged.
DnsNameStatus DNS_DecodeName(std::span<const std::uint8_t> message, std::size_t position,
                             char (&out)[kDnsTextSize], std::size_t& end);

// Header counts (index 0 questions, 1 answers, 2 authority, 3 additional);
// 0 when the header did not arrive whole.
std::uint32_t DNS_HeaderCount(std::span<const std::uint8_t> message, int index);

// The answer, authority and additional records of `message`, in order,
// starting at `answerOffset` (the end of the question section). Stops at the
// first record that is cut short or cannot be framed; a record whose data
// holds a broken name is kept with that text empty.
std::vector<DNSRecord> DNS_ParseRecords(std::span<const std::uint8_t> message, std::size_t answerOffset);
