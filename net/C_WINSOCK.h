// net/C_WINSOCK.h: the TCP server framework: one listening socket, one accept
// thread and one thread per accepted connection.
//
// A concrete server derives from C_WINSOCK and supplies the factory and the
// disposal of its per-connection objects (C_WSTHREAD). The framework keeps the
// live connection threads in a list, refuses connections over the limit
// (the object's Refuse runs instead of Run) and tears every connection down in
// a fixed order: shutdown, drain, linger, close.
//
// Threading: the accept thread and every connection thread share the object.
// m_ThreadList and m_ConnectionCount are guarded by m_ListLock; m_ServerLock is
// never taken by the framework (the concrete server's own lock). The flags are
// atomics written by one thread and read by others.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/Socket.h"
#include "platform/System.h"

class C_WSTHREAD;
class C_WINSOCK;

// Start data of one connection thread: allocated by the accept thread, owned
// and freed by the connection thread.
struct ThreadInfo {
  SOCKET clientSocket = INVALID_SOCKET;
  SOCKET listenSocket = INVALID_SOCKET;
  SockAddrIn peerAddress{};
  ThreadHandle threadHandle = 0;
  int refuse = 0;  // 1: over the connection limit
  C_WINSOCK* server = nullptr;
};

// One live connection thread; the newest entry is m_ThreadList.
struct ThreadListEntry {
  C_WSTHREAD* instance = nullptr;
  ThreadHandle threadHandle = 0;
  SOCKET clientSocket = INVALID_SOCKET;
  ThreadListEntry* previous = nullptr;  // added after this one
  ThreadListEntry* next = nullptr;      // added before this one
};

class C_WINSOCK {
 public:
  static constexpr int kDefaultMaxConnections = 20;
  static constexpr int kConnectionTimeoutMs = 30000;
  // Stack of a connection thread. The session and, after each mail, the MIME
  // decoder run on it with line and header buffers of several KiB on the
  // stack (more under AddressSanitizer), far beyond the 4096 bytes a small
  // server could live with and below which the platform will not go anyway
  // (PTHREAD_STACK_MIN is 16 KiB). 1 MiB leaves the decoder ample room while
  // 20 connection threads still reserve only 20 MiB of address space.
  static constexpr std::size_t kConnectionStackSize = 1024 * 1024;

  C_WINSOCK();
  C_WINSOCK(const C_WINSOCK&) = delete;
  C_WINSOCK& operator=(const C_WINSOCK&) = delete;
  virtual ~C_WINSOCK();

  // A new per-connection object, or null.
  virtual C_WSTHREAD* CreateThreadInstance() = 0;
  // Destroys a per-connection object; null is ignored.
  virtual void ReleaseThreadInstance(C_WSTHREAD* instance) = 0;
  // Unused hook; returns 1.
  virtual int Ready() { return 1; }

  // Opens the listening socket: 0 success, 1 socket layer not started,
  // 2 socket not created, 3 not bound, 4 not listening; on failure no socket
  // is left open and the last error says why. May be called again.
  int ConnectToPort(int port, int backlog, int family, std::uint32_t address);
  int ConnectToPort(int port, int backlog) { return ConnectToPort(port, backlog, AF_INET_CODE, kInAddrAny); }
  int ConnectToPort(int port) { return ConnectToPort(port, 5); }

  // 0 when the accept thread was started or already runs, 1 when it could not be created.
  int StartAcceptThread();
  // No more connections: the accept thread ends at once (its socket stays open).
  void StopAccepting();

  // Thread list upkeep under m_ListLock; both return 1.
  int AddThread(C_WSTHREAD* instance, ThreadHandle threadHandle, SOCKET clientSocket);
  int RemoveThread(ThreadHandle threadHandle);

  // Thread bodies; the argument is the server, resp. a ThreadInfo it takes ownership of.
  static unsigned AcceptConnections(void* server);
  static unsigned ClientThreadEntry(void* threadInfo);

  int ConnectionCount() const { return m_ConnectionCount.load(); }
  // Connections being served, including those whose thread has not yet
  // registered itself.
  int LiveConnections() const { return m_ConnectionCount.load() + m_Starting.load(); }
  // Tells every connection being served that the server stops (StopRequested).
  void StopConnections(bool force);

  SockAddrIn m_LocalAddress{};
  SOCKET m_ListenSocket = INVALID_SOCKET;
  ThreadListEntry* m_ThreadList = nullptr;  // guarded by m_ListLock
  std::atomic<int> m_Accepting{0};          // 1 while the accept thread exists
  int m_MaxConnections = kDefaultMaxConnections;
  std::atomic<int> m_ConnectionCount{0};  // entries of m_ThreadList; written under m_ListLock
  int m_Protocol = 0;
  std::mutex m_ListLock;
  std::recursive_mutex m_ServerLock;    // the concrete server's lock
  std::atomic<int> m_StopAccepting{0};  // 1: the accept thread ends after its current accept
  ThreadHandle m_AcceptThread = 0;

 private:
  void CloseListenSocketKeepingError();

  // Connection threads created but not yet in the list. The limit counts them
  // too, so a burst of connections cannot slip past it before the first of
  // them registers.
  std::atomic<int> m_Starting{0};
  bool m_SocketsStarted = false;
};
