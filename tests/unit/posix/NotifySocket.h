// tests/unit/posix/NotifySocket.h: the service manager's end of the sd_notify
// protocol for tests: a datagram socket that NOTIFY_SOCKET names while it lives.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Process.h"

// At a path or, for "@name", in the abstract namespace. One thread.
class CNotifySocket {
 public:
  explicit CNotifySocket(const std::string& address) {
    m_Fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, address.data(), address.size());
    if (address[0] == '@') sa.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() +
                                               (address[0] == '@' ? 0 : 1));
    m_Bound = ::bind(m_Fd, reinterpret_cast<sockaddr*>(&sa), length) == 0;
    SetEnvironmentValue("NOTIFY_SOCKET", address.c_str());
  }
  ~CNotifySocket() {
    SetEnvironmentValue("NOTIFY_SOCKET", nullptr);
    ::close(m_Fd);
  }
  bool Bound() const { return m_Bound; }
  // The next report, or "" when none comes within `milliseconds`.
  std::string Next(int milliseconds) {
    timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
    ::setsockopt(m_Fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buffer[4096];
    const ssize_t n = ::recv(m_Fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }
  // Every report that comes until none has come for 200 ms.
  std::vector<std::string> All() {
    std::vector<std::string> got;
    for (std::string next = Next(200); !next.empty(); next = Next(200)) got.push_back(next);
    return got;
  }

 private:
  int m_Fd = -1;
  bool m_Bound = false;
};
