// tests/unit/BufferSession.h: an inbound SMTP session whose client is a byte
// buffer, handed out in receives of at most `piece` bytes through the
// connection's transport seam (no socket); the replies are collected. The
// session's unit test and its fuzz target both drive it. One thread.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "smtpin/SMTPInThread.h"

class CBufferSession : public SMTPInThread {
 public:
  // `input` must outlive the session.
  CBufferSession(std::string_view input, std::size_t piece) : m_Input(input), m_Piece(piece) {}
  const std::string& Replies() const { return m_Replies; }

 protected:
  int ReceiveSome(char* buffer, int size) override {
    const std::size_t n = std::min({m_Input.size(), m_Piece, static_cast<std::size_t>(size)});
    std::memcpy(buffer, m_Input.data(), n);
    m_Input.remove_prefix(n);
    return static_cast<int>(n);  // 0: the client closed the connection
  }
  int SendAll(const char* buffer, int length) override {
    m_Replies.append(buffer, static_cast<std::size_t>(length));
    return length;
  }

 private:
  std::string_view m_Input;
  std::size_t m_Piece;
  std::string m_Replies;
};
