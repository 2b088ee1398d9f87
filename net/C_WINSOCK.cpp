// net/C_WINSOCK.cpp: listening socket, accept thread, connection threads and
// their teardown.
//
// Threading: see C_WINSOCK.h. A connection thread touches only its own
// ThreadInfo and per-connection object, and the list under m_ListLock.
#include "net/C_WINSOCK.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "log/DebugLog.h"
#include "net/C_WSTHREAD.h"

namespace {
constexpr int kDrainBufferSize = 512;
constexpr std::uint32_t kAcceptThreadWaitMs = 1500;
constexpr int kLingerSeconds = 1;

// "ClientThreadEntry : " joined with one formatted value, like every teardown entry.
void LogTeardown(const char* format, long long value, int line) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  DebugLogStr("ClientThreadEntry : ", text, CV_SRC, line);
}
}  // namespace

C_WINSOCK::C_WINSOCK() = default;

void C_WINSOCK::StopAccepting() {
  // Wake a waiting accept: there is no blocking call to cancel, so the
  // listening socket is shut down, which makes accept fail at once.
  m_StopAccepting = 1;
  if (m_ListenSocket != INVALID_SOCKET) SockShutdown(m_ListenSocket, SocketShutdown::kBoth);
}

C_WINSOCK::~C_WINSOCK() {
  StopAccepting();
  if (m_AcceptThread != 0) {
    WaitThreadHandle(m_AcceptThread, kAcceptThreadWaitMs);
    CloseThreadHandle(m_AcceptThread);
    m_AcceptThread = 0;
  }
  if (m_ListenSocket != INVALID_SOCKET) SockClose(m_ListenSocket);
  if (m_SocketsStarted) SockCleanup();
}

int C_WINSOCK::ConnectToPort(int port, int backlog, int family, std::uint32_t address) {
  if (!m_SocketsStarted) {
    if (SockStartup(kWinsockVersion) != 0) {
      DebugLog("ConnectToPort: WSAstartup is failed.", CV_SRC, __LINE__);
      return 1;
    }
    m_SocketsStarted = true;
  }
  // Called again after a failure (the start retries a port that is taken):
  // the socket of the last try goes first.
  CloseListenSocketKeepingError();
  m_LocalAddress = SockAddrIn{};
  m_LocalAddress.family = static_cast<std::uint16_t>(family);
  m_LocalAddress.port = HostToNet16(static_cast<std::uint16_t>(port & 0xFFFF));
  m_LocalAddress.addr = address;

  m_ListenSocket = SockCreate(family, m_Protocol);
  if (m_ListenSocket == INVALID_SOCKET) {
    DebugLog("ConnectToPort : unable to create the socket.", CV_SRC, __LINE__);
    LogLastError();
    return 2;
  }
  if (SockBind(m_ListenSocket, m_LocalAddress) == SOCKET_ERROR) {
    DebugLog("ConnectToPort : unable to bind to the required address.", CV_SRC, __LINE__);
    LogLastError();
    CloseListenSocketKeepingError();
    return 3;
  }
  if (SockListen(m_ListenSocket, backlog) == SOCKET_ERROR) {
    DebugLog("ConnectToPort : unable listen on the socket.", CV_SRC, __LINE__);
    LogLastError();
    CloseListenSocketKeepingError();
    return 4;
  }
  return 0;
}

void C_WINSOCK::CloseListenSocketKeepingError() {
  if (m_ListenSocket == INVALID_SOCKET) return;
  const DWORD error = PlatformGetLastError();
  SockClose(m_ListenSocket);
  m_ListenSocket = INVALID_SOCKET;
  PlatformSetLastError(error);
}

int C_WINSOCK::StartAcceptThread() {
  if (m_Accepting == 1) return 0;
  m_StopAccepting = 0;
  // Set before the thread runs: a thread whose first accept fails clears it at
  // once, and setting it afterwards would leave it 1 with no thread.
  m_Accepting = 1;
  m_AcceptThread = BeginThread(0, &C_WINSOCK::AcceptConnections, this, false);
  if (m_AcceptThread == 0) {
    m_Accepting = 0;
    DebugLog("Unable to create Thread for accepting for the connections.", CV_SRC, __LINE__);
    return 1;
  }
  return 0;
}

int C_WINSOCK::AddThread(C_WSTHREAD* instance, ThreadHandle threadHandle, SOCKET clientSocket) {
  std::lock_guard<std::mutex> guard(m_ListLock);
  auto* entry = new ThreadListEntry;
  entry->instance = instance;
  entry->threadHandle = threadHandle;
  entry->clientSocket = clientSocket;
  entry->next = m_ThreadList;
  if (m_ThreadList != nullptr) m_ThreadList->previous = entry;
  m_ThreadList = entry;
  m_ConnectionCount++;
  return 1;
}

void C_WINSOCK::StopConnections(bool force) {
  std::lock_guard<std::mutex> guard(m_ListLock);
  for (ThreadListEntry* entry = m_ThreadList; entry != nullptr; entry = entry->next) {
    if (entry->instance != nullptr) entry->instance->StopRequested(force);
  }
}

int C_WINSOCK::RemoveThread(ThreadHandle threadHandle) {
  std::lock_guard<std::mutex> guard(m_ListLock);
  const int before = m_ConnectionCount;
  for (ThreadListEntry* entry = m_ThreadList; entry != nullptr; entry = entry->next) {
    if (entry->threadHandle != threadHandle) continue;
    if (entry->previous != nullptr)
      entry->previous->next = entry->next;
    else
      m_ThreadList = entry->next;
    if (entry->next != nullptr) entry->next->previous = entry->previous;
    delete entry;
    m_ConnectionCount--;
    break;
  }
  if (m_ConnectionCount == before) ShowMessageBox("Thread Release Error", "Error", MB_OK_CODE);
  return 1;
}

unsigned C_WINSOCK::AcceptConnections(void* serverArgument) {
  auto* server = static_cast<C_WINSOCK*>(serverArgument);
  SockAddrIn peer{};
  for (;;) {
    int peerLength = static_cast<int>(sizeof peer);
    peer = SockAddrIn{};
    DebugLog("AcceptConnections: waiting for next connection request", CV_SRC, __LINE__);
    const SOCKET client = SockAccept(server->m_ListenSocket, &peer, &peerLength);
    if (client == INVALID_SOCKET) LogLastError();

    if (server->m_StopAccepting == 1) {
      DebugLog("AcceptConnections: about to shut down the connection", CV_SRC, __LINE__);
      if (client != INVALID_SOCKET) {
        DebugLog("AcceptConnections: invalid client - so shut down the connection", CV_SRC, __LINE__);
        SockShutdown(client, SocketShutdown::kBoth);
        SockClose(client);
      }
      server->m_Accepting = 0;
      server->m_StopAccepting = 0;
      DebugLog("AcceptConnections: closed the connection & exit the accept thread", CV_SRC, __LINE__);
      return 0;
    }

    DebugLog("AcceptConnections: Got a connect request", CV_SRC, __LINE__);
    if (client == INVALID_SOCKET) {
      DebugLog("AcceptConnections: invalid client, so exit the accept thread", CV_SRC, __LINE__);
      server->m_Accepting = 0;
      return 0;
    }

    auto* info = new (std::nothrow) ThreadInfo;
    if (info == nullptr) {
      DebugLog("AcceptConnections: unable to create thread for the new client.", CV_SRC, __LINE__);
      SockShutdown(client, SocketShutdown::kBoth);
      SockClose(client);
      continue;
    }
    info->clientSocket = client;
    info->listenSocket = server->m_ListenSocket;
    if (peerLength > 0)
      std::memcpy(&info->peerAddress, &peer, std::min<std::size_t>(peerLength, sizeof peer));
    info->server = server;
    info->refuse = server->m_ConnectionCount + server->m_Starting >= server->m_MaxConnections ? 1 : 0;

    server->m_Starting++;
    // Created suspended so that the thread finds its own handle in the
    // ThreadInfo when it registers itself.
    const ThreadHandle thread = BeginThread(kConnectionStackSize, &C_WINSOCK::ClientThreadEntry, info, true);
    if (thread == 0) {
      server->m_Starting--;
      DebugLog("AcceptConnections: unable to create thread for the new client.", CV_SRC, __LINE__);
      SockShutdown(client, SocketShutdown::kBoth);
      SockClose(client);
      delete info;
      continue;
    }
    info->threadHandle = thread;
    ResumeThreadHandle(thread);
  }
}

unsigned C_WINSOCK::ClientThreadEntry(void* threadInfo) {
  auto* info = static_cast<ThreadInfo*>(threadInfo);
  C_WINSOCK* server = info->server;
  const SOCKET socket = info->clientSocket;
  int bufferedBytes = 0;

  C_WSTHREAD* instance = server->CreateThreadInstance();
  if (instance == nullptr) {
    server->m_Starting--;
  } else {
    instance->m_Socket = socket;
    instance->m_ListenSocket = info->listenSocket;
    instance->m_PeerAddress = info->peerAddress;
    instance->m_Server = server;
    instance->SetReceiveTimeout(kConnectionTimeoutMs);
    instance->SetSendTimeout(kConnectionTimeoutMs);
    server->AddThread(instance, info->threadHandle, socket);
    server->m_Starting--;

    if (info->refuse == 0 && server->m_StopAccepting == 0) {
      instance->Run();
    } else if (info->refuse != 0) {
      DebugLog("ClientThreadEntry : exceeded the max. no. of connections.", CV_SRC, __LINE__);
      instance->Refuse();
    }
    server->RemoveThread(info->threadHandle);
    // Bytes the session had received but not read belong to the drain below.
    bufferedBytes = instance->BufferedBytes();
    server->ReleaseThreadInstance(instance);
    DebugLog("ClientThreadEntry : Thread instance released.", CV_SRC, __LINE__);
  }

  if (SockShutdown(socket, SocketShutdown::kBoth) == SOCKET_ERROR) {
    char code[16];
    std::snprintf(code, sizeof code, "%u", static_cast<unsigned>(PlatformGetLastError()));
    DebugLogStr("ClientThreadEntry : shutdown Code = ", code, CV_SRC, __LINE__);
  } else {
    DebugLog("ClientThreadEntry : shutdown succeeded.", CV_SRC, __LINE__);
  }

  if (bufferedBytes > 0) LogTeardown("Bytes received: %lld", bufferedBytes, __LINE__);
  char drain[kDrainBufferSize];
  for (;;) {
    const int received = SockRecv(socket, drain, kDrainBufferSize);
    if (received > 0) {
      LogTeardown("Bytes received: %lld", received, __LINE__);
      continue;
    }
    if (received == 0) {
      DebugLog("ClientThreadEntry : Connection closed", CV_SRC, __LINE__);
    } else {
      LogTeardown("recv failed: %lld", static_cast<long long>(PlatformGetLastError()), __LINE__);
    }
    break;
  }

  if (SockSetLinger(socket, true, kLingerSeconds) == SOCKET_ERROR) {
    LogTeardown("setsockopt for SO_LINGER failed with error: %lld",
                static_cast<long long>(PlatformGetLastError()), __LINE__);
  } else {
    DebugLog("ClientThreadEntry : Set SO_LINGER ON", CV_SRC, __LINE__);
  }

  if (SockClose(socket) == SOCKET_ERROR) {
    char code[16];
    std::snprintf(code, sizeof code, "%u", static_cast<unsigned>(PlatformGetLastError()));
    DebugLogStr("ClientThreadEntry : closesocket Code = ", code, CV_SRC, __LINE__);
  } else {
    DebugLog("ClientThreadEntry : closesocket succeeded.", CV_SRC, __LINE__);
  }

  if (CloseThreadHandle(info->threadHandle)) {
    DebugLog("ClientThreadEntry : CloseHandle succeeded.", CV_SRC, __LINE__);
  } else {
    DebugLog("ClientThreadEntry : CloseHandle failed.", CV_SRC, __LINE__);
  }
  delete info;
  DebugLog("ClientThreadEntry : Thread info structure deleted.", CV_SRC, __LINE__);
  return 1;
}
