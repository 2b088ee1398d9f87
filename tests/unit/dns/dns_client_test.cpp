// The DNS client against scripted name servers on loopback addresses: responses
// in pieces or cut short, walks that run out the budget, and the answers that
// decide where a domain's mail goes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DnsTestSupport.h"
#include "LoopbackSockets.h"
#include "dns/DNSClient.h"
#include "dns/MailExchangers.h"
#include "platform/Socket.h"

class DNSClientTestSeam {
 public:
  static void Use(DNSClient& client, int port, int receiveTimeoutMs) {
    client.m_Port = port;
    client.m_ReceiveTimeoutMs = receiveTimeoutMs;
  }
};

namespace {

using namespace dnstest;
using namespace std::chrono_literals;

// After reading the query: the pieces with a pause between them, or silence until the client gives up.
struct Reply {
  std::vector<std::string> pieces;
  bool silent = false;
};

// A scripted name server on 127.a.b.1 of a random a and b; 127.a.b.2 on the
// same port is a name server that never answers.
class FakeDnsServer {
 public:
  ~FakeDnsServer() {
    Join();
    if (m_Listener != INVALID_SOCKET) SockClose(m_Listener);
  }
  bool Listen() {
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 20 && m_Listener == INVALID_SOCKET; ++attempt) {
      const unsigned a = 1 + random() % 254, b = random() % 256;
      m_Base = "127." + std::to_string(a) + "." + std::to_string(b) + ".";
      m_Listener = loopback::Listen(m_Port, 0x7F000001u | a << 16 | b << 8);
    }
    return m_Listener != INVALID_SOCKET;
  }
  std::string Address(int host) const { return m_Base + std::to_string(host); }
  void Use(DNSClient& client, int receiveTimeoutMs = 5000) const {
    DNSClientTestSeam::Use(client, m_Port, receiveTimeoutMs);
  }

  void Serve(std::vector<Reply> replies) {
    Join();
    m_Queries.clear();
    m_Stop = false;
    m_Thread = std::thread([this, replies = std::move(replies)] {
      for (const Reply& reply : replies) {
        SOCKET peer = INVALID_SOCKET;
        while (!m_Stop && peer == INVALID_SOCKET)
          if (SockWaitReadable(m_Listener, 20) == 1) peer = SockAccept(m_Listener, nullptr, nullptr);
        if (peer == INVALID_SOCKET) return;
        Answer(peer, reply);
        SockClose(peer);
      }
    });
  }
  // Ends the script; the queries received, each with its length prefix.
  std::vector<std::string> Join() {
    m_Stop = true;
    if (m_Thread.joinable()) m_Thread.join();
    return m_Queries;
  }

 private:
  void Answer(SOCKET peer, const Reply& reply) {
    SockSetReceiveTimeout(peer, 5000);
    std::string query = loopback::Receive(peer, 2);
    if (query.size() < 2) return;
    query += loopback::Receive(
        peer, static_cast<unsigned char>(query[0]) * 256u + static_cast<unsigned char>(query[1]));
    m_Queries.push_back(query);
    if (reply.silent) loopback::Receive(peer, 1);  // until the client closes
    for (std::size_t i = 0; i < reply.pieces.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(30ms);  // so that each piece arrives on its own
      loopback::SendAll(peer, reply.pieces[i]);
    }
  }

  std::string m_Base;
  SOCKET m_Listener = INVALID_SOCKET;
  int m_Port = 0;
  std::thread m_Thread;
  std::atomic<bool> m_Stop{false};
  std::vector<std::string> m_Queries;  // written by the thread, read after Join
};

std::vector<std::string> Rows(const DNSClient& client, std::uint32_t type = 0) {
  std::vector<std::string> rows;
  DNSRecord record;
  for (int i = 0; (type != 0 ? client.GetRecordByType(i, record, type) : client.GetRecord(i, record)) == 1;
       ++i)
    rows.push_back(Row(record));
  return rows;
}

Reply Whole(const Response& response) { return {{Framed(response.Bytes())}}; }

TEST(DnsClientTest, ResponsesArriveInPiecesShortOrNotAtAll) {
  const Response previous{.answers = {Mx(1, "old.fax.test")}};
  const Response fresh{.answers = {Mx(10, "one.fax.test"), Mx(20, "two.fax.test")}};
  const std::string framed = Framed(fresh.Bytes());
  std::vector<std::string> smallPieces = {framed.substr(0, 1)};  // the length prefix split too
  for (std::size_t at = 1; at < framed.size(); at += 9) smallPieces.push_back(framed.substr(at, 9));
  const std::vector<std::string> oldRows = {"15 fax.test old.fax.test  1"};
  const std::vector<std::string> freshRows = {"15 fax.test one.fax.test  10", "15 fax.test two.fax.test  20"};
  struct Case {
    const char* what;
    Reply reply;
    std::uint32_t result;
    std::vector<std::string> rows;
  } cases[] = {
      {"message in small pieces", {smallPieces}, 0, freshRows},
      {"message cut short", {{framed.substr(0, framed.size() - 3)}}, 0, {freshRows[0]}},
      {"closed after half the length", {{framed.substr(0, 1)}}, 2, oldRows},
      {"silent until the time-out", {{}, true}, 2, oldRows},
  };
  for (const Case& c : cases) {
    FakeDnsServer server;
    ASSERT_TRUE(server.Listen());
    server.Serve({Whole(previous), c.reply});
    DNSClient client;
    server.Use(client, 1500);
    ASSERT_EQ(client.Lookup(server.Address(1).c_str(), "fax.test"), 0u) << c.what;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Lookup(server.Address(1).c_str(), "fax.test"), c.result) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << c.what;
    EXPECT_EQ(Rows(client), c.rows) << c.what;
    EXPECT_EQ(client.Authoritative(), c.result == 0 ? 1 : 0) << c.what;
  }
}

TEST(DnsClientTest, AuthLookupFollowsNameServersWithinItsBudget) {
  FakeDnsServer server;
  ASSERT_TRUE(server.Listen());
  const std::string root = server.Address(1), dead = server.Address(2);
  const auto referral = [](std::vector<std::string> servers, std::vector<Rr> answers = {}) {
    Response r;
    r.authoritative = false;
    r.answers = std::move(answers);
    for (const std::string& s : servers) r.authority.push_back(Ns(s));
    return Whole(r);
  };
  const std::vector<Reply> selfReferrals(11, referral({root}));

  struct Case {
    const char* what;
    std::string start;
    std::vector<Reply> rootReplies;
    std::uint32_t result;
    std::vector<std::string> mx;
    std::size_t rootQueries;
  } cases[] = {
      // clang-format off
      {"a resolver's answer stays when no name server answers", root,
       {referral({dead, dead}, {Mx(10, "b.fax.test"), Mx(5, "a.fax.test")})}, 2,
       {"15 fax.test b.fax.test  10", "15 fax.test a.fax.test  5"}, 1},
      {"the first query fails", dead, {}, 10, {}, 0},
      {"a referral to itself runs out the budget", root, selfReferrals, 30, {}, 11},
      {"dead name servers run out the budget", root, {referral(std::vector<std::string>(25, dead))}, 30, {}, 1},
      // clang-format on
  };
  for (const Case& c : cases) {
    server.Serve(c.rootReplies);
    DNSClient client;
    server.Use(client);
    EXPECT_EQ(client.AuthLookup(c.start.c_str(), "fax.test"), c.result) << c.what;
    EXPECT_EQ(Rows(client, kDnsTypeMX), c.mx) << c.what;
    EXPECT_EQ(server.Join().size(), c.rootQueries) << c.what;
  }
}

// Each answer names the other name as the alias's target, one lookup after the other.
std::vector<Reply> AliasLoop() {
  std::vector<Reply> replies;
  for (int i = 0; i < 9; ++i)
    replies.push_back(Whole(i % 2 == 0 ? Response{.answers = {Cname("fax.test", "b.test")}}
                                       : Response{.domain = "b.test", .answers = {Cname("b.test", "fax.test")}}));
  return replies;
}

TEST(DnsClientTest, MailExchangersFollowAliasesAndTellMissingFromUnknown) {
  const auto reply = [](Response r) { return Whole(r); };
  struct Case {
    const char* what;
    std::vector<Reply> replies;
    MxStatus status;
    std::vector<std::string> exchangers;
    std::string name;
    std::size_t queries;
  } cases[] = {
      // clang-format off
      {"an alias with its target's MX in the same answer",
       {reply({.answers = {Cname("fax.test", "mail.other.test"), MxOf("mail.other.test", 5, "mx.other.test")}})},
       MxStatus::kExchangers, {"mx.other.test"}, "mail.other.test", 1},
      {"an alias of itself", {reply({.answers = {Cname("fax.test", "fax.test")}})}, MxStatus::kFailed, {},
       "fax.test", 1},
      {"aliases in a loop across lookups", AliasLoop(), MxStatus::kFailed, {}, "fax.test", 9},
      {"a null MX", {reply({.answers = {MxOf("fax.test", 0, "")}})}, MxStatus::kNoDomain, {}, "fax.test", 1},
      {"no MX from a resolver", {reply({.authoritative = false, .authority = {Soa("fax.test")}})}, MxStatus::kNoMx,
       {}, "fax.test", 1},
      {"a server failure", {reply({.rcode = 2})}, MxStatus::kFailed, {}, "fax.test", 1},
      {"a referral to no server that answers", {reply({.authoritative = false, .authority = {Ns("127.0.0.1")}})},
       MxStatus::kFailed, {}, "fax.test", 1},
      {"MX records of another name only", {reply({.answers = {MxOf("other.test", 5, "mx.other.test")}})},
       MxStatus::kNoMx, {}, "fax.test", 1},
      // clang-format on
  };
  for (const Case& c : cases) {
    FakeDnsServer server;  // a query a case did not script never reaches the next one
    ASSERT_TRUE(server.Listen()) << c.what;
    server.Serve(c.replies);
    DNSClient client;
    server.Use(client);
    const CMailExchangers found = FindMailExchangers(client, server.Address(1).c_str(), "fax.test");
    EXPECT_EQ(found.status, c.status) << c.what;
    EXPECT_EQ(found.exchangers, c.exchangers) << c.what;
    if (c.status != MxStatus::kFailed) {
      EXPECT_EQ(found.name, c.name) << c.what;
    }
    const std::vector<std::string> queries = server.Join();
    EXPECT_EQ(queries.size(), c.queries) << c.what;
    for (const std::string& query : queries) {  // asked as MX, never as ANY
      ASSERT_GE(query.size(), 6u);
      EXPECT_EQ(query.substr(query.size() - 4, 2), U16(kDnsTypeMX)) << c.what;
    }
  }
  // Nobody answering is no answer either: never a domain without mail.
  FakeDnsServer server;
  ASSERT_TRUE(server.Listen());
  DNSClient dead;
  server.Use(dead, 300);
  EXPECT_EQ(FindMailExchangers(dead, server.Address(2).c_str(), "fax.test").status, MxStatus::kFailed);
}

}  // namespace
