#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/Zor_Tcp.h"
#include "platform/Zor_TcpOs.h"

namespace zor::platform {

namespace {

int Fd(TZor_NativeHandle handle) { return static_cast<int>(handle); }

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

void TZor_TcpSocket::Attach(TZor_NativeHandle handle) {
  int fd = Fd(handle);
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
  int fd = Fd(FHandle.exchange(ZorInvalidHandle));
  if (fd >= 0) ::close(fd);
}

void TZor_TcpSocket::Disconnect() {
  FShutdown = true;
  int fd = Fd(FHandle.load());
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

bool TZor_TcpSocket::IsConnected() {
  int fd = Fd(FHandle.load());
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
  int fd = Fd(FHandle.load());
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
  int fd = Fd(FHandle.load());
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
  int fd = Fd(FHandle.load());
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

// ---------------------------------------------------------------- client

bool os::TcpConnect(uint32_t address, uint16_t port, const std::string &bindAddress, uint32_t timeoutMs,
                    const TZor_AbortFlag &abort, TZor_NativeHandle &socket, TZor_SysError &error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = SocketErrorFromErrno(errno);
    return false;
  }
  int err = 0;
  if (!bindAddress.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (!ParseIPv4(bindAddress, local.sin_addr))
      err = EADDRNOTAVAIL;
    else if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
      err = errno;
  }
  if (err == 0) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = address;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) err = errno;
  }
  if (err == EINPROGRESS) {
    int r = PollOne(fd, POLLOUT, TDeadline(timeoutMs), abort);
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
    error = SocketErrorFromErrno(err);
    return false;
  }
  socket = fd;
  return true;
}

// ---------------------------------------------------------------- server

bool os::TcpListen(const std::string &address, uint16_t port, bool freeBind, TTcpListener &listener,
                   TZor_SysError &error) {
  int listenFd = -1;
  auto fail = [&](int err) {
    error = SocketErrorFromErrno(err);
    if (listenFd >= 0) ::close(listenFd);
    return false;
  };
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!address.empty() && !ParseIPv4(address, sa.sin_addr)) return fail(EADDRNOTAVAIL);
  listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd < 0) return fail(errno);
  // A restarted server must get its port back while old connections linger in TIME_WAIT.
  int one = 1;
  ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (freeBind) ::setsockopt(listenFd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
  if (::bind(listenFd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) return fail(errno);
  if (::listen(listenFd, 16) != 0) return fail(errno);
  socklen_t len = sizeof sa;
  if (::getsockname(listenFd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return fail(errno);
  int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) return fail(errno);
  listener = {listenFd, wakeFd, ntohs(sa.sin_port)};
  return true;
}

void os::TcpCloseListener(TTcpListener &listener) {
  if (listener.Socket >= 0) ::close(Fd(listener.Socket));
  if (listener.Wake >= 0) ::close(Fd(listener.Wake));
  listener = {};
}

void os::TcpWake(const TTcpListener &listener) {
  if (listener.Wake < 0) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(Fd(listener.Wake), &one, sizeof one);
}

bool os::TcpWaitForConnection(const TTcpListener &listener) {
  for (;;) {
    pollfd p[2] = {{Fd(listener.Socket), POLLIN, 0}, {Fd(listener.Wake), POLLIN, 0}};
    int n = ::poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    return n >= 0 && !(p[1].revents & POLLIN);
  }
}

bool os::TcpWaitWoken(const TTcpListener &listener, uint32_t ms) {
  pollfd w{Fd(listener.Wake), POLLIN, 0};
  return ::poll(&w, 1, static_cast<int>(ms)) > 0;
}

os::TTcpAccept os::TcpAccept(const TTcpListener &listener, TZor_NativeHandle &socket) {
  int fd = ::accept4(Fd(listener.Socket), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0) {
    socket = fd;
    return TTcpAccept::taAccepted;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) return TTcpAccept::taNone;
  return TTcpAccept::taFailed;
}

}  // namespace zor::platform
