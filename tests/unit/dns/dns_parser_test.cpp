// The DNS message parser: record data by type, compressed names, and messages
// that loop or lie. (Arbitrary and cut-short bytes, within their bounds:
// fuzz/dns_parser_fuzz.cpp, whose corpus every test build replays; a response
// cut short over TCP: dns_client_test.cpp.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DnsTestSupport.h"
#include "dns/DNSParser.h"

namespace {

using namespace dnstest;

// One record of each kind, names compressed against the question.
Response EveryKind() {
  Response r;
  r.answers = {
      A("fax.test", {192, 0, 2, 7}),
      Mx(10, "mx1.fax.test"),
      {Pointer(kQuestionName), kDnsTypeMX, U16(20) + Labels("mx2", false) + Pointer(kQuestionName)},
      {Pointer(kQuestionName), kDnsTypeSOA,
       Labels("ns1", false) + Pointer(kQuestionName) + Labels("hostmaster", false) + Pointer(kQuestionName) +
           U32(2024010101) + U32(3600) + U32(900) + U32(604800) + U32(60)},
      {Pointer(kQuestionName), 28, std::string(16, '\x7F')},  // AAAA: read as a name, framed by its length
  };
  r.authority = {Ns("ns1.fax.test")};
  r.additional = {{Labels("www", false) + Pointer(kQuestionName), 5, Pointer(kQuestionName)}};
  return r;
}

TEST(DnsParserTest, RecordDataByTypeWithCompressedNames) {
  const Response response = EveryKind();
  const std::vector<DNSRecord> records = DNS_ParseRecords(Span(response.Bytes()), response.AnswerOffset());
  ASSERT_EQ(records.size(), 7u);
  const std::vector<std::string> expected = {
      "1 fax.test 192.0.2.7  0",
      "15 fax.test mx1.fax.test  10",
      "15 fax.test mx2.fax.test  20",
      "6 fax.test ns1.fax.test hostmaster.fax.test 0",
      "28 fax.test   0",  // a pointer past the message: no text, framing kept
      "2 fax.test ns1.fax.test  0",
      "5 www.fax.test fax.test  0",
  };
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(Row(records[i]), expected[i]) << i;
  const DNSRecord& soa = records[3];
  EXPECT_EQ(std::vector<std::uint32_t>({soa.serial, soa.refresh, soa.retry, soa.expire, soa.minimum}),
            std::vector<std::uint32_t>({2024010101, 3600, 900, 604800, 60}));
  EXPECT_EQ(records[0].ttl, 300u);
}

TEST(DnsParserTest, NamesStopAtTheirLimits) {
  const std::string label63(63, 'a');
  const std::string longDotted = label63 + "." + label63 + "." + label63 + "." + label63 + ".b";
  const std::string longName = Labels(longDotted);
  struct Case {
    const char* what;
    std::string message;
    std::size_t position;
    DnsNameStatus status;
    std::string text;
    std::size_t end;  // checked unless kBroken
  } cases[] = {
      {"plain", Labels("a.bc"), 0, DnsNameStatus::kOk, "a.bc", 6},
      {"pointer ends the name in the stream", Labels("x.y") + Labels("a", false) + Pointer(0), 5,
       DnsNameStatus::kOk, "a.x.y", 9},
      {"two pointers in a ring", Pointer(2) + Pointer(0), 0, DnsNameStatus::kBroken, "", 0},
      {"no zero byte", Labels("abc", false), 0, DnsNameStatus::kBroken, "", 0},
      {"over 255 characters", longName, 0, DnsNameStatus::kTooLong, longDotted.substr(0, 255),
       longName.size()},
  };
  for (const Case& c : cases) {
    char text[kDnsTextSize];
    std::memset(text, 'z', sizeof text);
    std::size_t end = 12345;
    EXPECT_EQ(DNS_DecodeName(Span(c.message), c.position, text, end), c.status) << c.what;
    EXPECT_EQ(std::string(text), c.text) << c.what;
    EXPECT_EQ(end, c.status == DnsNameStatus::kBroken ? 12345 : c.end) << c.what;
  }
}

TEST(DnsParserTest, LyingCountsAndLengthsAreNotTrusted) {
  struct Case {
    const char* what;
    Response response;
    std::vector<std::string> rows;
  };
  const std::vector<Rr> twoMx = {Mx(10, "a.fax.test"), Mx(20, "b.fax.test")};
  const int exchangeAt = static_cast<int>(Response{}.AnswerOffset()) + 14;  // the first record's exchange
  const Case cases[] = {
      {"exchange that points at itself",
       {.answers = {{Pointer(kQuestionName), kDnsTypeMX, U16(10) + Pointer(exchangeAt)}, twoMx[1]}},
       {"15 fax.test   10", "15 fax.test b.fax.test  20"}},
      {"SOA without its second name",
       {.answers = {{Pointer(kQuestionName), kDnsTypeSOA, Labels("ns")}}},
       {"6 fax.test ns  0"}},
      {"records beyond the counts are ignored",
       {.answers = twoMx, .answerCount = 1},
       {"15 fax.test a.fax.test  10"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> rows;
    for (const DNSRecord& r : DNS_ParseRecords(Span(c.response.Bytes()), c.response.AnswerOffset()))
      rows.push_back(Row(r));
    EXPECT_EQ(rows, c.rows) << c.what;
  }
}

}  // namespace
