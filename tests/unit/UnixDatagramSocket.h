// tests/unit/UnixDatagramSocket.h: a bound Unix datagram socket that
// stands in for a system service the gateway reports to (syslog, the service
// manager's notify socket); the environment variable that names it is set
// while it lives. One test thread.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/Process.h"

class CUnixDatagramSocket {
 public:
  CUnixDatagramSocket(const std::string& path, const char* variable) : m_Variable(variable) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    m_Bound = ::bind(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    SetEnvironmentValue(m_Variable, path.c_str());
  }
  ~CUnixDatagramSocket() {
    SetEnvironmentValue(m_Variable, nullptr);
    ::close(m_Fd);
  }
  bool Bound() const { return m_Bound; }
  // The next datagram, or "" when none comes within `milliseconds`.
  std::string Next(int milliseconds = 5000) {
    timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
    ::setsockopt(m_Fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buffer[4096];
    const ssize_t n = ::recv(m_Fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  const char* m_Variable;
  int m_Fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  bool m_Bound = false;
};
