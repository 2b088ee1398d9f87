// tests/unit/ScriptedSmtpServer.h: a remote mail server for the SMTP client's
// tests: it listens on 127.0.0.1, serves a given number of connections on a
// thread of its own with scripted replies, and keeps what each client sent.
// Every read waits at most kReadWaitMs, so a client fault ends the test
// instead of hanging it.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackSockets.h"

struct CSmtpScript {
  std::string greeting = "220 mx.test ESMTP ready\r\n";
  bool greetAfterFirstLine = false;  // the greeting comes only with the reply to the first command
  bool answerFirstMail = true;       // false: the first MAIL command gets no reply
  std::string rcptReply = "250 ok\r\n";
  bool answerQuit = true;
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
  // Waits until the server has served its connections (or given up).
  void Join() {
    if (m_Thread.joinable()) m_Thread.join();
    if (m_Listener != INVALID_SOCKET) SockClose(m_Listener);
    m_Listener = INVALID_SOCKET;
  }
  // What each connection's client sent: the command lines, then the DATA
  // content up to and including its final ".\r\n".
  std::vector<std::string> Sessions() {
    std::scoped_lock lock(m_Mutex);
    return m_Sessions;
  }

 private:
  // Reads in blocks (a byte per call is slow where each call is dear, as
  // under wine) and hands out one line at a time.
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
    if (!m_Script.greetAfterFirstLine) loopback::SendAll(s, m_Script.greeting);
    bool greeted = !m_Script.greetAfterFirstLine;
    bool firstMail = true;
    for (std::string line; ReadLine(s, line);) {
      Record(line);
      const std::string greeting = greeted ? "" : m_Script.greeting;
      greeted = true;
      std::string reply = "500 unknown\r\n";
      const std::string verb = line.substr(0, 4);
      if (verb == "HELO") {
        reply = "250 mx.test\r\n";
      } else if (verb == "Mail") {
        reply = firstMail && !m_Script.answerFirstMail ? "" : "250 sender ok\r\n";
        firstMail = false;
      } else if (verb == "RCPT") {
        reply = m_Script.rcptReply;
      } else if (verb == "DATA") {
        loopback::SendAll(s, "354 go ahead\r\n");
        std::string data;
        bool ended = false;
        for (std::string dataLine; !ended && ReadLine(s, dataLine);) {
          data += dataLine;
          ended = dataLine == ".\r\n";
        }
        Record(data);
        if (!ended) return;
        reply = "250 queued\r\n";
      } else if (verb == "QUIT") {
        std::this_thread::sleep_for(std::chrono::milliseconds(m_Script.quitDelayMs));
        if (m_Script.answerQuit) loopback::SendAll(s, "221 bye\r\n");
        return;
      }
      if (!(greeting + reply).empty()) loopback::SendAll(s, greeting + reply);
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
