// platform/posix/PosixSystemLog.cpp: events and mail-log lines as syslog datagrams.
//
// The datagram is written here rather than through syslog(3), so that the
// socket can be a test's own ($CVSMTPGW_SYSLOG_SOCKET) and so that no process-
// wide openlog state is shared with anything else. Format as glibc writes it
// (RFC 3164): "<PRI>Mmm dd hh:mm:ss ident[pid]: text". Any thread: each report
// uses a socket of its own.
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/Text.h"
#include "platform/Process.h"
#include "platform/SystemLog.h"

namespace {

constexpr const char kDefaultSocket[] = "/dev/log";
constexpr int kFacilityDaemon = 3 << 3;  // LOG_DAEMON
constexpr int kFacilityMail = 2 << 3;    // LOG_MAIL
constexpr int kSeverityError = 3;        // LOG_ERR
constexpr int kSeverityWarning = 4;      // LOG_WARNING
constexpr int kSeverityInfo = 6;         // LOG_INFO
constexpr std::size_t kMaxText = 1024;   // one event stays one modest datagram
constexpr std::size_t kMaxMailLogText = 8000;  // a mail's line with its recipients

// Control bytes would split or forge syslog lines.
void AppendPrintable(std::string& out, const char* text) {
  if (out.size() < kMaxText) out += PrintableText(text, kMaxText - out.size());
}

// One datagram "<PRI>stamp ident[pid]: text" to the syslog socket; lost
// quietly when there is none.
void SendSyslog(int priority, const char* source, const std::string& text) {
  const std::string socketPath = EnvironmentValue("CVSMTPGW_SYSLOG_SOCKET", kDefaultSocket);
  const char* path = socketPath.c_str();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) return;  // no such socket: nothing kept
  std::memcpy(address.sun_path, path, std::strlen(path) + 1);

  char stamp[32] = "";
  const time_t now = ::time(nullptr);
  struct tm local;
  if (::localtime_r(&now, &local) != nullptr) ::strftime(stamp, sizeof stamp, "%b %e %T", &local);
  std::string ident;
  AppendPrintable(ident, source != nullptr ? source : "");
  char head[64];
  std::snprintf(head, sizeof head, "<%d>%s ", priority, stamp);
  const std::string datagram =
      head + ident + "[" + std::to_string(static_cast<long>(::getpid())) + "]: " + text;

  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;  // the line is lost, the caller goes on
  ssize_t sent;
  do {
    sent = ::sendto(fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (sent < 0 && errno == EINTR);
  ::close(fd);
}

}  // namespace

bool PlatformReportEvent(const char* source, std::uint16_t type, std::uint32_t eventId,
                         const char* const* strings, int count) {
  std::string text = "event " + std::to_string(eventId) + ":";
  bool first = true;
  for (int i = 0; i < count; ++i) {
    // An empty text fills a message's place on Windows; here it would only add a comma.
    if (strings == nullptr || strings[i] == nullptr || *strings[i] == '\0') continue;
    text += first ? " " : ", ";
    first = false;
    AppendPrintable(text, strings[i]);
  }
  const int severity = type == kEventTypeError     ? kSeverityError
                       : type == kEventTypeWarning ? kSeverityWarning
                                                   : kSeverityInfo;
  SendSyslog(kFacilityDaemon | severity, source, text);
  return true;
}

void PlatformWriteMailLog(const char* source, const char*, const char* text) {
  // The mail log is the mail facility's, where the system's MTA logs too.
  std::string line;
  if (text != nullptr) line = PrintableText(text, kMaxMailLogText);
  SendSyslog(kFacilityMail | kSeverityInfo, source, line);
}
