#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <list>
#include <thread>
#include <vector>

#include "platform/Zor_Icmp.h"
#include "platform/Zor_Tcp.h"

namespace zor::platform {

namespace {

// Milliseconds left of `timeoutMs` since `start` on the real monotonic clock.
class TDeadline {
 public:
  explicit TDeadline(uint32_t timeoutMs)
      : FEnd(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)) {}
  int Remaining() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(FEnd - std::chrono::steady_clock::now())
                    .count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 0x7FFFFFFF)) : 0;
  }

 private:
  std::chrono::steady_clock::time_point FEnd;
};

// How often a wait looks at its abort flag.
constexpr int cAbortCheckMs = 20;

// poll() on one descriptor, restarted after signals; returns revents, 0 on
// timeout, -1 on failure (errno set; ECONNABORTED once `abort` is set).
int PollOne(int fd, short events, const TDeadline &deadline, const TZor_AbortFlag &abort = nullptr) {
  for (;;) {
    if (abort && abort->load()) {
      errno = ECONNABORTED;
      return -1;
    }
    int left = deadline.Remaining();
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, abort ? std::min(left, cAbortCheckMs) : left);
    if (n > 0) return p.revents;
    if (n == 0 && (!abort || left <= cAbortCheckMs)) return 0;
    if (n < 0 && errno != EINTR) return -1;
  }
}

std::string AddressText(const sockaddr_in &a) {
  char buf[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
  return buf;
}

bool ParseIPv4(const std::string &text, in_addr &out) {
  return ::inet_pton(AF_INET, text.c_str(), &out) == 1;
}

// A host text of digits, points and blanks only is meant as an address. It is
// read here, every part decimal ("010" is ten): the resolver would read it as
// octal and connect to another host. False when it is no valid address.
bool ParseAddressText(const std::string &text, in_addr &out) {
  size_t first = text.find_first_not_of(' ');
  size_t last = text.find_last_not_of(' ');
  if (first == std::string::npos) return false;
  uint32_t value = 0;
  int parts = 0;
  uint32_t part = 0;
  size_t digits = 0;
  for (size_t i = first; i <= last + 1; ++i) {
    char c = i <= last ? text[i] : '.';
    if (c >= '0' && c <= '9') {
      part = part * 10 + static_cast<uint32_t>(c - '0');
      if (++digits > 10 || part > 255) return false;
    } else if (c == '.' && digits > 0 && parts < 4) {
      value = (value << 8) | part;
      ++parts;
      part = 0;
      digits = 0;
    } else {
      return false;
    }
  }
  if (parts != 4) return false;
  out.s_addr = htonl(value);
  return true;
}

bool LooksLikeAddress(const std::string &text) {
  return !text.empty() && text.find_first_not_of("0123456789. ") == std::string::npos;
}

}  // namespace

TZor_SysError SocketErrorFromErrno(int err) {
  switch (err) {
    case EADDRINUSE: return {WSA_EADDRINUSE, err};
    case EADDRNOTAVAIL: return {WSA_EADDRNOTAVAIL, err};
    case EISCONN: return {WSA_EISCONN, err};
    case ENOTCONN: return {WSA_ENOTCONN, err};
    case ECONNABORTED: return {WSA_ECONNABORTED, err};
    default: return FromErrno(err);
  }
}

// ---------------------------------------------------------------- socket

TZor_TcpSocket::~TZor_TcpSocket() { CloseHandle(); }

void TZor_TcpSocket::Attach(int fd) {
  CloseHandle();
  FBuffer.clear();
  FShutdown = false;
  FPeerClosed = false;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
    FLocalAddress = AddressText(a);
    FLocalPort = ntohs(a.sin_port);
  }
  len = sizeof a;
  if (::getpeername(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
    FPeerAddress = AddressText(a);
    FPeerPort = ntohs(a.sin_port);
  }
  FHandle = fd;
}

void TZor_TcpSocket::CloseHandle() {
  int fd = FHandle.exchange(-1);
  if (fd >= 0) ::close(fd);
}

void TZor_TcpSocket::SetError(const TZor_SysError &error) {
  std::lock_guard<std::mutex> g(FErrorLock);
  FLastError = error;
}

void TZor_TcpSocket::SetAbortFlag(TZor_AbortFlag abort) {
  std::lock_guard<std::mutex> g(FErrorLock);
  FAbort = std::move(abort);
}

TZor_AbortFlag TZor_TcpSocket::GetAbortFlag() const {
  std::lock_guard<std::mutex> g(FErrorLock);
  return FAbort;
}

TZor_SysError TZor_TcpSocket::GetLastError() const {
  std::lock_guard<std::mutex> g(FErrorLock);
  return FLastError;
}

void TZor_TcpSocket::Disconnect() {
  FShutdown = true;
  int fd = FHandle.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

bool TZor_TcpSocket::IsConnected() {
  int fd = FHandle.load();
  if (fd < 0 || FShutdown || FPeerClosed) return false;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return true;
  if (p.revents & (POLLERR | POLLNVAL)) return false;
  if (p.revents & POLLIN) {
    // Readable: either data (still connected) or the peer's FIN/RST.
    char c;
    ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
  }
  return true;
}

bool TZor_TcpSocket::Write(const std::string &bytes) {
  int fd = FHandle.load();
  if (fd < 0 || FShutdown) {
    SetErrno(ENOTCONN);
    return false;
  }
  TDeadline deadline(GetWriteTimeout());
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      SetErrno(errno);
      return false;
    }
    int r = PollOne(fd, POLLOUT, deadline, GetAbortFlag());
    if (r < 0) {
      SetErrno(errno);
      return false;
    }
    if (r == 0) {
      SetErrno(ETIMEDOUT);
      return false;
    }
    if (r & POLLNVAL) {
      SetErrno(ENOTCONN);
      return false;
    }
  }
  return true;
}

TZor_ReadResult TZor_TcpSocket::WaitReadable(uint32_t timeoutMs) {
  int fd = FHandle.load();
  if (fd < 0 || FShutdown) {
    SetErrno(ENOTCONN);
    return TZor_ReadResult::rrError;
  }
  int r = PollOne(fd, POLLIN, TDeadline(timeoutMs), GetAbortFlag());
  if (r < 0) {
    SetErrno(errno);
    return TZor_ReadResult::rrError;
  }
  if (r == 0) return TZor_ReadResult::rrTimeout;
  if (r & POLLNVAL) {
    SetErrno(ENOTCONN);
    return TZor_ReadResult::rrError;
  }
  return TZor_ReadResult::rrOk;  // readable, hang-up or error: recv tells which
}

TZor_ReadResult TZor_TcpSocket::Receive() {
  int fd = FHandle.load();
  if (fd < 0) {
    SetErrno(ENOTCONN);
    return TZor_ReadResult::rrError;
  }
  char buf[16384];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      FBuffer.append(buf, static_cast<size_t>(n));
      return TZor_ReadResult::rrOk;
    }
    if (n == 0) {
      // Our own shutdown also reads as end of stream; report it as not connected.
      if (FShutdown) {
        SetErrno(ENOTCONN);
        return TZor_ReadResult::rrError;
      }
      FPeerClosed = true;
      return TZor_ReadResult::rrClosed;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return TZor_ReadResult::rrTimeout;
    SetErrno(errno);
    return TZor_ReadResult::rrError;
  }
}

TZor_ReadResult TZor_TcpSocket::TakeBuffer(std::string &data) {
  data.swap(FBuffer);
  FBuffer.clear();
  return TZor_ReadResult::rrOk;
}

TZor_ReadResult TZor_TcpSocket::Read(std::string &data, uint32_t timeoutMs) {
  data.clear();
  if (!FBuffer.empty()) return TakeBuffer(data);
  if (FPeerClosed) return TZor_ReadResult::rrClosed;
  TDeadline deadline(timeoutMs);
  for (;;) {
    TZor_ReadResult r = WaitReadable(static_cast<uint32_t>(deadline.Remaining()));
    if (r != TZor_ReadResult::rrOk) return r;
    r = Receive();
    if (r == TZor_ReadResult::rrOk) break;
    if (r != TZor_ReadResult::rrTimeout) return r;
    if (deadline.Remaining() == 0) return TZor_ReadResult::rrTimeout;
  }
  // Take what else is already there without waiting.
  while (Receive() == TZor_ReadResult::rrOk && FBuffer.size() < (1u << 20)) {
  }
  return TakeBuffer(data);
}

TZor_ReadResult TZor_TcpSocket::ReadFor(std::string &data, uint32_t timeoutMs) {
  data.clear();
  TDeadline deadline(timeoutMs);
  TZor_ReadResult last = TZor_ReadResult::rrTimeout;
  while (!FPeerClosed) {
    last = WaitReadable(static_cast<uint32_t>(deadline.Remaining()));
    if (last != TZor_ReadResult::rrOk) break;
    last = Receive();
    if (last != TZor_ReadResult::rrOk && last != TZor_ReadResult::rrTimeout) break;
    if (deadline.Remaining() == 0) break;
  }
  if (FPeerClosed && last == TZor_ReadResult::rrOk) last = TZor_ReadResult::rrClosed;
  if (!FBuffer.empty()) return TakeBuffer(data);
  return last == TZor_ReadResult::rrOk ? TZor_ReadResult::rrTimeout : last;
}

TZor_ReadResult TZor_TcpSocket::ReadLine(std::string &line, uint32_t timeoutMs) {
  line.clear();
  TDeadline deadline(timeoutMs);
  size_t scanned = 0;
  for (;;) {
    size_t lf = FBuffer.find('\n', scanned);
    if (lf != std::string::npos || FBuffer.size() >= ZorMaxLineLength) {
      size_t end = lf != std::string::npos ? std::min(lf, ZorMaxLineLength) : ZorMaxLineLength;
      line = FBuffer.substr(0, end);
      FBuffer.erase(0, lf != std::string::npos && lf == end ? end + 1 : end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return TZor_ReadResult::rrOk;
    }
    scanned = FBuffer.size();
    if (FPeerClosed) {
      if (FBuffer.empty()) return TZor_ReadResult::rrClosed;
      // The last line of a closed stream need not end in LF.
      line.swap(FBuffer);
      FBuffer.clear();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return TZor_ReadResult::rrOk;
    }
    TZor_ReadResult r = WaitReadable(static_cast<uint32_t>(deadline.Remaining()));
    if (r != TZor_ReadResult::rrOk) return r;
    r = Receive();
    if (r == TZor_ReadResult::rrError) return r;
    if (r == TZor_ReadResult::rrTimeout && deadline.Remaining() == 0) return r;
  }
}

// ---------------------------------------------------------------- client

bool TZor_TcpClient::Connect() {
  if (TZor_AbortFlag abort = GetAbortFlag(); abort && abort->load()) {
    SetErrno(ECONNABORTED);
    return false;
  }
  if (IsConnected()) {
    SetError({WSA_EISCONN, EISCONN});
    return false;
  }
  CloseHandle();
  in_addr addr{};
  if (LooksLikeAddress(FHost)) {
    if (!ParseAddressText(FHost, addr)) {
      SetError({WSA_HOST_NOT_FOUND, 0});
      return false;
    }
  } else if (!ParseIPv4(FHost, addr)) {
    std::vector<std::string> ips;
    TZor_SysError error;
    if (!ResolveHostIPv4(FHost, ips, error) || ips.empty() || !ParseIPv4(ips.front(), addr)) {
      SetError(error.Code ? error : TZor_SysError{WSA_HOST_NOT_FOUND, 0});
      return false;
    }
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    SetErrno(errno);
    return false;
  }
  if (!FBindAddress.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    int err = 0;
    if (!ParseIPv4(FBindAddress, local.sin_addr))
      err = EADDRNOTAVAIL;
    else if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
      err = errno;
    if (err != 0) {
      ::close(fd);
      SetErrno(err);
      return false;
    }
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(FPort);
  sa.sin_addr = addr;
  int rc = ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  int err = rc == 0 ? 0 : errno;
  if (err == EINPROGRESS) {
    int r = PollOne(fd, POLLOUT, TDeadline(FConnectTimeout), GetAbortFlag());
    if (r < 0) {
      err = errno;
    } else if (r == 0) {
      err = ETIMEDOUT;
    } else {
      socklen_t len = sizeof err;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    }
  }
  if (err != 0) {
    ::close(fd);
    SetErrno(err);
    return false;
  }
  Attach(fd);
  return true;
}

// ---------------------------------------------------------------- server

namespace {

struct TConnSlot {
  std::shared_ptr<TZor_TcpConnection> Conn;
  std::thread Thread;
  std::atomic<bool> Done{false};
  std::atomic<bool> SelfStopped{false};  // the server was deactivated from this connection's thread
  bool Listed = true;                    // still counted in the connection list
};

}  // namespace

struct TZor_TcpServer::TState {
  mutable std::mutex Lock;
  THandler OnConnect, OnExecute, OnDisconnect;
  uint16_t RequestedPort = 0;
  uint16_t BoundPort = 0;
  std::string BindAddress;
  bool FreeBind = false;
  int ListenFd = -1;
  int WakeFd = -1;
  bool Active = false;
  std::thread AcceptThread;
  std::list<std::shared_ptr<TConnSlot>> Slots;
  TZor_SysError LastError;

  static void AcceptLoop(const std::shared_ptr<TState> &self);
  static void Serve(const std::shared_ptr<TState> &self, const std::shared_ptr<TConnSlot> &slot);
  bool IsActive() {
    std::lock_guard<std::mutex> g(Lock);
    return Active;
  }
  // Joins threads of connections that have ended (called under no lock).
  void Reap();
};

TZor_TcpServer::TZor_TcpServer() : FState(std::make_shared<TState>()) {}

TZor_TcpServer::~TZor_TcpServer() { Deactivate(); }

void TZor_TcpServer::SetOnConnect(THandler handler) {
  std::lock_guard<std::mutex> g(FState->Lock);
  FState->OnConnect = std::move(handler);
}
void TZor_TcpServer::SetOnExecute(THandler handler) {
  std::lock_guard<std::mutex> g(FState->Lock);
  FState->OnExecute = std::move(handler);
}
void TZor_TcpServer::SetOnDisconnect(THandler handler) {
  std::lock_guard<std::mutex> g(FState->Lock);
  FState->OnDisconnect = std::move(handler);
}
void TZor_TcpServer::SetPort(uint16_t port) {
  std::lock_guard<std::mutex> g(FState->Lock);
  FState->RequestedPort = port;
}
void TZor_TcpServer::SetBindAddress(const std::string &address) {
  std::lock_guard<std::mutex> g(FState->Lock);
  FState->BindAddress = address;
}
void TZor_TcpServer::SetFreeBind(bool freeBind) {
  std::lock_guard<std::mutex> g(FState->Lock);
  FState->FreeBind = freeBind;
}
bool TZor_TcpServer::IsActive() const { return FState->IsActive(); }
uint16_t TZor_TcpServer::GetPort() const {
  std::lock_guard<std::mutex> g(FState->Lock);
  return FState->Active ? FState->BoundPort : 0;
}
TZor_SysError TZor_TcpServer::GetLastError() const {
  std::lock_guard<std::mutex> g(FState->Lock);
  return FState->LastError;
}

size_t TZor_TcpServer::ConnectionCount() const {
  std::lock_guard<std::mutex> g(FState->Lock);
  return static_cast<size_t>(std::count_if(FState->Slots.begin(), FState->Slots.end(),
                                           [](auto &s) { return s->Listed && !s->Done; }));
}

void TZor_TcpServer::ClearConnections() {
  std::lock_guard<std::mutex> g(FState->Lock);
  for (auto &s : FState->Slots) {
    if (!s->Listed) continue;
    s->Listed = false;
    s->Conn->Disconnect();
  }
}

bool TZor_TcpServer::Activate() {
  auto st = FState;
  std::lock_guard<std::mutex> g(st->Lock);
  if (st->Active) return true;
  auto fail = [&](int err) {
    st->LastError = SocketErrorFromErrno(err);
    if (st->ListenFd >= 0) ::close(st->ListenFd);
    if (st->WakeFd >= 0) ::close(st->WakeFd);
    st->ListenFd = st->WakeFd = -1;
    return false;
  };
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(st->RequestedPort);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!st->BindAddress.empty() && !ParseIPv4(st->BindAddress, sa.sin_addr)) return fail(EADDRNOTAVAIL);
  st->ListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (st->ListenFd < 0) return fail(errno);
  // A restarted server must get its port back while old connections linger in TIME_WAIT.
  int one = 1;
  ::setsockopt(st->ListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (st->FreeBind) ::setsockopt(st->ListenFd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
  if (::bind(st->ListenFd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) return fail(errno);
  if (::listen(st->ListenFd, 16) != 0) return fail(errno);
  socklen_t len = sizeof sa;
  if (::getsockname(st->ListenFd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return fail(errno);
  st->WakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (st->WakeFd < 0) return fail(errno);
  st->BoundPort = ntohs(sa.sin_port);
  st->Active = true;
  st->AcceptThread = std::thread(&TState::AcceptLoop, st);
  return true;
}

void TZor_TcpServer::TState::Reap() {
  std::list<std::shared_ptr<TConnSlot>> finished;
  {
    std::lock_guard<std::mutex> g(Lock);
    for (auto it = Slots.begin(); it != Slots.end();) {
      if ((*it)->Done) {
        finished.push_back(*it);
        it = Slots.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto &s : finished)
    if (s->Thread.joinable()) s->Thread.join();
}

void TZor_TcpServer::TState::AcceptLoop(const std::shared_ptr<TState> &self) {
  int listenFd, wakeFd;
  {
    std::lock_guard<std::mutex> g(self->Lock);
    listenFd = self->ListenFd;
    wakeFd = self->WakeFd;
  }
  for (;;) {
    pollfd p[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int n = ::poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (p[1].revents & POLLIN)) return;
    self->Reap();
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      // Out of descriptors and the like: back off instead of spinning.
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        pollfd w{wakeFd, POLLIN, 0};
        if (::poll(&w, 1, 100) > 0) return;
      }
      continue;
    }
    auto slot = std::make_shared<TConnSlot>();
    slot->Conn = std::make_shared<TZor_TcpConnection>(fd);
    std::lock_guard<std::mutex> g(self->Lock);
    if (!self->Active) return;  // the connection closes with the slot
    self->Slots.push_back(slot);
    slot->Thread = std::thread(&TState::Serve, self, slot);
  }
}

void TZor_TcpServer::TState::Serve(const std::shared_ptr<TState> &self,
                                   const std::shared_ptr<TConnSlot> &slot) {
  TZor_TcpConnection &conn = *slot->Conn;
  // Handlers are copied per call, so one may replace them or free the server
  // meanwhile. Once a handler has deactivated the server from this thread,
  // the owner may be gone: nothing more is called.
  auto handler = [&](THandler TState::*which) -> THandler {
    if (slot->SelfStopped) return {};
    std::lock_guard<std::mutex> g(self->Lock);
    return (*self).*which;
  };
  if (auto h = handler(&TState::OnConnect)) h(conn);
  while (conn.IsConnected() && self->IsActive()) {
    auto h = handler(&TState::OnExecute);
    if (!h) break;
    h(conn);
  }
  if (auto h = handler(&TState::OnDisconnect)) h(conn);
  conn.Disconnect();
  slot->Done = true;
}

void TZor_TcpServer::Deactivate() {
  auto st = FState;  // keeps the state alive if a handler frees this object meanwhile
  std::thread accept;
  std::list<std::shared_ptr<TConnSlot>> slots;
  {
    std::lock_guard<std::mutex> g(st->Lock);
    if (!st->Active && st->Slots.empty()) return;
    st->Active = false;
    if (st->WakeFd >= 0) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(st->WakeFd, &one, sizeof one);
    }
    accept = std::move(st->AcceptThread);
    slots.swap(st->Slots);
    for (auto &s : slots) s->Conn->Disconnect();
  }
  if (accept.joinable()) accept.join();
  {
    std::lock_guard<std::mutex> g(st->Lock);
    if (st->ListenFd >= 0) ::close(st->ListenFd);
    if (st->WakeFd >= 0) ::close(st->WakeFd);
    st->ListenFd = st->WakeFd = -1;
    st->BoundPort = 0;
  }
  const auto self = std::this_thread::get_id();
  for (auto &s : slots) {
    if (!s->Thread.joinable()) continue;
    if (s->Thread.get_id() == self) {
      s->SelfStopped = true;
      s->Thread.detach();  // our own connection thread ends once its handler returns
    } else {
      s->Thread.join();
    }
  }
}

}  // namespace zor::platform
