// tests/unit/ScriptedSmtpServer.h: a mail server on 127.0.0.1 for the SMTP
// client's tests: serves a number of connections on a thread of its own with
// scripted replies and keeps what each client sent. Every read has an end.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackSockets.h"

struct CSmtpScript {
  std::string greeting = "220-mx.test ESMTP\r\n220 ready\r\n";  // of two lines, as some servers greet
  std::string mailReply = "250 sender ok\r\n";
  std::string rcptReply = "250 ok\r\n";
  std::string dataReply = "354 go ahead\r\n";
  std::string dataEndReply = "250 queued\r\n";
  int dataEndDelayMs = 0;  // the reply to the end of the data comes this much later
  int quitDelayMs = 0;  // the reply to QUIT (or the close) comes this much later
};

class CScriptedSmtpServer {
 public:
  static constexpr int kReadWaitMs = 10000;

  CScriptedSmtpServer(CSmtpScript script, int connections) : m_Script(std::move(script)) {
    m_Listener = loopback::Listen(m_Port);
    m_Thread = std::thread([this, connections] {
      for (int i = 0; i < connections; ++i) {
        if (SockWaitReadable(m_Listener, kReadWaitMs) != 1) break;
        SOCKET s = SockAccept(m_Listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) break;
        Serve(s);
        SockClose(s);
      }
    });
  }
  ~CScriptedSmtpServer() { Join(); }

  int Port() const { return m_Port; }
  void Join() {
    if (m_Thread.joinable()) m_Thread.join();
    if (m_Listener != INVALID_SOCKET) SockClose(m_Listener);
    m_Listener = INVALID_SOCKET;
  }
  // Per connection: the command lines and the DATA content with its ".\r\n".
  std::vector<std::string> Sessions() {
    std::scoped_lock lock(m_Mutex);
    return m_Sessions;
  }

 private:
  // Reads in blocks (a byte per call is slow under wine), hands out lines.
  bool ReadLine(SOCKET s, std::string& line) {
    line.clear();
    for (std::size_t lf; (lf = m_Pending.find('\n')) == std::string::npos;) {
      char block[4096];
      if (SockWaitReadable(s, kReadWaitMs) != 1) return false;
      const int n = SockRecv(s, block, sizeof block);
      if (n <= 0) return false;
      m_Pending.append(block, static_cast<std::size_t>(n));
    }
    const std::size_t end = m_Pending.find('\n') + 1;
    line = m_Pending.substr(0, end);
    m_Pending.erase(0, end);
    return true;
  }
  void Record(const std::string& bytes) {
    std::scoped_lock lock(m_Mutex);
    m_Sessions.back() += bytes;
  }
  void Serve(SOCKET s) {
    m_Pending.clear();
    {
      std::scoped_lock lock(m_Mutex);
      m_Sessions.emplace_back();
    }
    loopback::SendAll(s, m_Script.greeting);
    for (std::string line; ReadLine(s, line);) {
      Record(line);
      std::string reply = "500 unknown\r\n";
      const std::string verb = line.substr(0, 4);
      if (verb == "HELO") {
        reply = "250 mx.test\r\n";
      } else if (verb == "Mail") {
        reply = m_Script.mailReply;
      } else if (verb == "RCPT") {
        reply = m_Script.rcptReply;
      } else if (verb == "DATA") {
        loopback::SendAll(s, m_Script.dataReply);
        if (m_Script.dataReply.rfind("354", 0) != 0) continue;
        std::string data;
        bool ended = false;
        for (std::string dataLine; !ended && ReadLine(s, dataLine);) {
          data += dataLine;
          ended = dataLine == ".\r\n";
        }
        Record(data);
        if (!ended) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(m_Script.dataEndDelayMs));
        reply = m_Script.dataEndReply;
      } else if (verb == "QUIT") {
        std::this_thread::sleep_for(std::chrono::milliseconds(m_Script.quitDelayMs));
        loopback::SendAll(s, "221 bye\r\n");
        return;
      }
      loopback::SendAll(s, reply);
    }
  }

  CSmtpScript m_Script;
  int m_Port = 0;
  SOCKET m_Listener = INVALID_SOCKET;
  std::thread m_Thread;
  std::mutex m_Mutex;
  std::vector<std::string> m_Sessions;  // guarded by m_Mutex
  std::string m_Pending;                // received, not yet read as lines (the server thread's)
};
