// TCP client and threaded TCP server over IPv4. Failures never throw: every
// call reports through its result and leaves the reason in GetLastError(),
// carrying the socket error number the core's messages key on (10054, 10060,
// 10061, 10065 ...). Timeouts are real time (poll), independent of the
// injectable clock, because they bound waits on the operating system.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Zor_Sys.h"

namespace zor::platform {

// Outcome of a read.
enum class TZor_ReadResult : uint8_t {
  rrOk,       // bytes (or a line) were delivered
  rrTimeout,  // nothing (or no whole line) arrived in time; the connection stays usable
  rrClosed,   // the peer closed the connection gracefully (FIN); nothing more will arrive
  rrError,    // the connection failed (reset: code 10054 ...) or this side disconnected it
              // (10057); see GetLastError()
};

// Socket error numbers beyond those of Zor_Sys.h.
enum : uint32_t {
  WSA_EADDRINUSE = 10048,
  WSA_EADDRNOTAVAIL = 10049,
  WSA_EISCONN = 10056,
  WSA_ENOTCONN = 10057,  // also: this side has disconnected the socket
  WSA_ECONNABORTED = 10053,  // also: broken off through the abort flag
};

// FromErrno with the socket error numbers added.
TZor_SysError SocketErrorFromErrno(int err);

// Default upper bound for a connect, like the usual default on Windows.
constexpr uint32_t ZorDefaultConnectTimeoutMs = 20000;
// Default bound for a write that cannot proceed (peer not reading).
constexpr uint32_t ZorDefaultWriteTimeoutMs = 10000;
// A line longer than this is delivered cut at this length, so a peer that
// never sends a line end cannot make a reader collect without bound.
constexpr size_t ZorMaxLineLength = 65536;

// Set from any thread to break off the waits of the sockets that share it
// (connect, read, write): they end within a few milliseconds with code 10053.
using TZor_AbortFlag = std::shared_ptr<std::atomic<bool>>;
inline TZor_AbortFlag MakeAbortFlag() { return std::make_shared<std::atomic<bool>>(false); }

// One connected stream socket: the common part of a client connection and a
// connection accepted by the server.
//
// Reads and writes belong to one thread at a time. Disconnect and
// IsConnected may be called from any thread: Disconnect shuts the socket down
// (waking a reader blocked in another thread) and the descriptor itself is
// closed only when the object is reconnected or destroyed.
class TZor_TcpSocket {
 public:
  TZor_TcpSocket() = default;
  virtual ~TZor_TcpSocket();
  TZor_TcpSocket(const TZor_TcpSocket &) = delete;
  TZor_TcpSocket &operator=(const TZor_TcpSocket &) = delete;

  // Writes all bytes; false on failure (peer gone: code 10054) or when the
  // peer does not take them within the write timeout (10060).
  bool Write(const std::string &bytes);

  // Waits up to `timeoutMs` for data, then returns everything that is there
  // (buffered bytes left by ReadLine first) without waiting further.
  TZor_ReadResult Read(std::string &data, uint32_t timeoutMs);
  // The same with the connection's read timeout.
  TZor_ReadResult Read(std::string &data) { return Read(data, GetReadTimeout()); }
  // Collects everything that arrives until `timeoutMs` has passed, the peer
  // closes or, with `until` given, the bytes hold `until`; rrOk when anything
  // arrived (also if the peer closed afterwards).
  TZor_ReadResult ReadFor(std::string &data, uint32_t timeoutMs, const std::string &until = {});
  // One line ending in LF, within `timeoutMs` in all; the LF and a CR before
  // it are removed. Bytes after the line stay buffered for the next read. A
  // peer closing after a last unterminated line delivers that line.
  TZor_ReadResult ReadLine(std::string &line, uint32_t timeoutMs);

  // Shuts the connection down; safe from any thread, idempotent.
  void Disconnect();
  // The socket is open, not disconnected, and the peer has neither closed nor
  // reset it (bytes still buffered count as connected).
  bool IsConnected();

  // Addresses of this end and the peer, dotted text; empty/0 when unknown.
  std::string GetLocalAddress() const { return FLocalAddress; }
  uint16_t GetLocalPort() const { return FLocalPort; }
  std::string GetPeerAddress() const { return FPeerAddress; }
  uint16_t GetPeerPort() const { return FPeerPort; }

  uint32_t GetReadTimeout() const { return FReadTimeout.load(); }
  void SetReadTimeout(uint32_t ms) { FReadTimeout = ms; }
  uint32_t GetWriteTimeout() const { return FWriteTimeout.load(); }
  void SetWriteTimeout(uint32_t ms) { FWriteTimeout = ms; }

  // Lets another thread break off this socket's waits (see TZor_AbortFlag);
  // a connect after the flag was set fails at once.
  void SetAbortFlag(TZor_AbortFlag abort);
  TZor_AbortFlag GetAbortFlag() const;

  // Reason of the last failed call on this object.
  TZor_SysError GetLastError() const;
  std::string GetLastErrorText() const { return SystemErrorText(GetLastError()); }

 protected:
  // Takes ownership of a connected socket and records its addresses.
  void Attach(TZor_NativeHandle socket);
  // Closes the descriptor (only when no other thread can use it).
  void CloseHandle();
  void SetError(const TZor_SysError &error);
  void SetErrno(int err) { SetError(SocketErrorFromErrno(err)); }

 private:
  // Waits for readable data; rrOk when readable, else timeout/error.
  TZor_ReadResult WaitReadable(uint32_t timeoutMs);
  // One recv into FBuffer; rrOk when bytes were added.
  TZor_ReadResult Receive();
  TZor_ReadResult TakeBuffer(std::string &data);

  std::atomic<TZor_NativeHandle> FHandle{ZorInvalidHandle};
  std::atomic<bool> FShutdown{false};
  std::atomic<bool> FPeerClosed{false};
  std::string FBuffer;  // received, not yet delivered
  std::string FLocalAddress, FPeerAddress;
  uint16_t FLocalPort = 0, FPeerPort = 0;
  std::atomic<uint32_t> FReadTimeout{1000};
  std::atomic<uint32_t> FWriteTimeout{ZorDefaultWriteTimeoutMs};
  mutable std::mutex FErrorLock;  // also guards FAbort
  TZor_SysError FLastError;
  TZor_AbortFlag FAbort;
};

// A client connection the owner opens and closes.
class TZor_TcpClient : public TZor_TcpSocket {
 public:
  TZor_TcpClient() = default;
  TZor_TcpClient(std::string host, uint16_t port) : FHost(std::move(host)), FPort(port) {}

  std::string GetHost() const { return FHost; }
  void SetHost(const std::string &host) { FHost = host; }
  uint16_t GetPort() const { return FPort; }
  void SetPort(uint16_t port) { FPort = port; }
  uint32_t GetConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(uint32_t ms) { FConnectTimeout = ms; }
  // Local address to connect from, dotted text; empty = chosen by the routing.
  void SetBindAddress(const std::string &address) { FBindAddress = address; }

  // Connects to host:port (dotted IPv4 text or a host name, resolved to its
  // first IPv4 address). Fails when already connected (code 10056), when the
  // name cannot be resolved (11001), when refused (10061), unreachable
  // (10065) or not done within the connect timeout (10060).
  bool Connect();

 private:
  std::string FHost;
  std::string FBindAddress;
  uint16_t FPort = 0;
  uint32_t FConnectTimeout = ZorDefaultConnectTimeoutMs;
};

// A connection accepted by TZor_TcpServer, served on its own thread.
class TZor_TcpConnection : public TZor_TcpSocket {
 public:
  explicit TZor_TcpConnection(TZor_NativeHandle socket) { Attach(socket); }
};

// Listening server with one thread per accepted connection. Each connection
// thread calls OnConnect once, OnExecute again and again while the connection
// is connected and the server active, then OnDisconnect.
//
// Deactivate (and the destructor) may be called from any thread, including a
// connection thread inside one of its own handlers: it stops accepting, shuts
// every connection down and waits for all other connection threads to finish;
// the calling thread's own connection ends after its handler returns, without
// touching the server object again. After Deactivate returns, no handler runs
// on any other thread.
class TZor_TcpServer {
 public:
  using THandler = std::function<void(TZor_TcpConnection &)>;

  TZor_TcpServer();
  ~TZor_TcpServer();
  TZor_TcpServer(const TZor_TcpServer &) = delete;
  TZor_TcpServer &operator=(const TZor_TcpServer &) = delete;

  // Handlers are set before Activate.
  void SetOnConnect(THandler handler);
  void SetOnExecute(THandler handler);
  void SetOnDisconnect(THandler handler);

  // Port to listen on; 0 lets the system choose. Takes effect on Activate.
  void SetPort(uint16_t port);
  // Address to listen on, dotted text; empty = all IPv4 addresses.
  void SetBindAddress(const std::string &address);
  // Allows listening on an address the host does not have yet: a simulated
  // device that comes back under a new address opens its port before its
  // interface gets the address.
  void SetFreeBind(bool freeBind);

  // Starts listening; false with GetLastError() when the port cannot be bound.
  bool Activate();
  void Deactivate();
  bool IsActive() const;
  // The port actually bound (the chosen one when 0 was asked); 0 when inactive.
  uint16_t GetPort() const;

  // Connections currently in the list.
  size_t ConnectionCount() const;
  // Shuts every listed connection down and drops them from the list; their
  // threads end on their own (Deactivate still waits for them).
  void ClearConnections();

  TZor_SysError GetLastError() const;

 private:
  struct TState;
  std::shared_ptr<TState> FState;
};

}  // namespace zor::platform
