// net/C_WSTHREAD.h: the server side of one accepted TCP connection.
//
// The base of every per-connection object that C_WINSOCK creates: it gives the
// protocol code line reads (with or without the line end), plain sends and the
// socket time-outs. Received bytes go through a buffer of the object's own so
// that a line costs one recv per buffer-full instead of one per byte; the
// protocol code sees the same lines, time-outs and end of connection as with
// byte-wise reads, and the listener's teardown counts what is left in the
// buffer (BufferedBytes) as received.
//
// A connection may be given a deadline: no receive or send then waits past it,
// whatever the time-outs say, so a peer that sends a byte now and then (each
// renewing the receive time-out) cannot keep its connection for ever.
//
// A connection may switch to TLS (StartTls, after the reply that announced
// it): from then on every read and send goes through the TLS channel, and
// whatever plaintext had been received beyond the command that asked for it
// is thrown away unread, so that no one can slip commands in before the
// handshake.
//
// Threading: used by its connection thread only; Cancel may come from another
// thread (m_Cancelled is atomic).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "platform/Socket.h"
#include "platform/TlsChannel.h"

class C_WINSOCK;

class C_WSTHREAD {
 public:
  static constexpr int kReadBufferSize = 64 * 1024;

  C_WSTHREAD() = default;
  C_WSTHREAD(const C_WSTHREAD&) = delete;
  C_WSTHREAD& operator=(const C_WSTHREAD&) = delete;
  virtual ~C_WSTHREAD();

  // Serves the connection. The base reads one line and, if it is not empty,
  // discards what else is waiting and says goodbye.
  virtual int Run();
  // Runs instead of Run when the listener is over its connection limit. The
  // base answers a peer that speaks within the receive time-out with a busy text.
  virtual int Refuse();
  // Unused hook kept for derived classes; does nothing.
  virtual int Idle();

  // One send of `length` bytes (the text's length when length < 1). Returns
  // what send returned; a socket error is logged.
  int Send(const char* buffer, int length);
  int SendText(const char* text);
  // One receive: buffered bytes first, else one recv. Logged on error.
  int Receive(char* buffer, int size);
  // One line without its line end (CR LF or bare LF) into `buffer` (room for
  // size + 1 bytes, zeroed first). Returns the text length; 0 with an empty
  // buffer on end of connection, error, time-out or cancel, and 0 for an empty
  // line. A line longer than `size` comes back in pieces of `size` bytes.
  int ReadLine(char* buffer, int size);
  // The same, but the line end is kept and counted; the buffer is not zeroed.
  int ReadDataLine(char* buffer, int size);
  // Throws away the rest of the current line, through its line feed, however
  // long it is. 1 when the line feed came; 0 on end of connection, error,
  // time-out or cancel.
  int SkipLine();

  int SetReceiveTimeout(int milliseconds);
  int SetSendTimeout(int milliseconds);
  // Receives and sends wait no later than `deadline`; one that finds it passed
  // fails as a time-out. Moving it later gives the time-outs back.
  void SetDeadline(std::chrono::steady_clock::time_point deadline);
  void ClearDeadline();
  // True once a receive or send was cut short by the deadline set last.
  bool DeadlinePassed() const { return m_DeadlinePassed; }
  // True when at least one byte can be read at once.
  bool DataWaiting();
  // Throws away what is already waiting. Returns 0.
  int DrainInput();
  // Makes the current and every later line read end empty: a read blocked
  // in the socket returns at once. Returns 0. Any thread.
  int Cancel();
  // The server is stopping (any thread): the base cancels at once; a session
  // may first finish what it must not cut (`force`: no longer).
  virtual void StopRequested(bool force);

  // Throws away the received plaintext not yet read (its count is returned
  // in `discarded`) and shakes hands as the TLS server, within `milliseconds`
  // and never past the deadline. False with `error` (fit for a log) when the
  // handshake failed: the connection is then of no further use.
  bool StartTls(CTlsContext& context, int milliseconds, std::string& error, std::size_t& discarded);
  bool TlsActive() const { return m_Tls != nullptr; }
  // "TLSv1.3" and the like once TLS runs; empty before.
  std::string TlsVersion() const { return m_Tls ? m_Tls->Version() : std::string(); }
  std::string TlsCipher() const { return m_Tls ? m_Tls->Cipher() : std::string(); }

  // Bytes received from the socket that no read has taken yet.
  int BufferedBytes() const { return static_cast<int>(m_ReadEnd - m_ReadStart); }

  // Set by the listener before Run / Refuse.
  SOCKET m_Socket = INVALID_SOCKET;
  SockAddrIn m_PeerAddress{};  // as accept returned it
  SOCKET m_ListenSocket = INVALID_SOCKET;
  C_WINSOCK* m_Server = nullptr;
  std::atomic<int> m_Cancelled{0};

 protected:
  // The transport under every read and send above: one recv and one whole
  // send on m_Socket, with SockRecv's and SockSend's results. Tests and fuzz
  // targets override both to run a session over a byte buffer, no socket
  // (DataWaiting, the time-outs and Cancel's shutdown still act on m_Socket).
  // The deadline is checked before each call, so it holds over a seam too; a
  // seam failing with WSAETIMEDOUT near the deadline counts as the deadline's.
  virtual int ReceiveSome(char* buffer, int size);
  virtual int SendAll(const char* buffer, int length);

 private:
  // Refills the empty read buffer with one recv. Returns its result (< 1 on
  // end of connection, error or time-out; an error is logged).
  int FillReadBuffer();
  // Copies buffered and received bytes into `buffer` up to and including the
  // next line feed, or until `size` bytes. The count, with `lineFeed` telling
  // whether one ended it; -1 on end of connection, error, time-out or cancel.
  int ReadUpToLineFeed(char* buffer, int size, bool& lineFeed);
  // Before a send (or a receive, `send` false): cuts the socket's time-out to
  // what the deadline leaves. False, logged as a time-out, once it has passed.
  bool WaitAllowed(bool send);
  // After a failed send or receive: logs it and notes a time-out the deadline made.
  void NoteFailure(bool send);

  std::unique_ptr<CTlsChannel> m_Tls;   // set by StartTls
  bool m_TlsBroken = false;             // a handshake failed: nothing more is read or sent
  std::unique_ptr<char[]> m_ReadBuffer;  // kReadBufferSize bytes, allocated on first read
  std::size_t m_ReadStart = 0;           // first byte not yet taken
  std::size_t m_ReadEnd = 0;             // end of the received bytes

  int m_ReceiveTimeoutMs = 0;  // as set; 0: none
  int m_SendTimeoutMs = 0;
  int m_AppliedReceiveMs = 0;  // on the socket now: the time-out, or less near the deadline
  int m_AppliedSendMs = 0;
  bool m_HasDeadline = false;
  bool m_DeadlinePassed = false;
  std::chrono::steady_clock::time_point m_Deadline{};
};
