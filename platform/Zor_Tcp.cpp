#include "platform/Zor_Tcp.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <thread>
#include <vector>

#include "platform/Zor_Icmp.h"
#include "platform/Zor_TcpOs.h"

namespace zor::platform {

namespace {

// A host text of digits, points and blanks only is meant as an address. It is
// read here, every part decimal ("010" is ten): the resolver would read it as
// octal and connect to another host. False when it is no valid address.
bool ParseAddressText(const std::string &text, uint32_t &out) {
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
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  std::memcpy(&out, bytes, sizeof out);  // network byte order
  return true;
}

bool LooksLikeAddress(const std::string &text) {
  return !text.empty() && text.find_first_not_of("0123456789. ") == std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------- socket

TZor_TcpSocket::~TZor_TcpSocket() { CloseHandle(); }

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

TZor_ReadResult TZor_TcpSocket::ReadFor(std::string &data, uint32_t timeoutMs, const std::string &until) {
  data.clear();
  TDeadline deadline(timeoutMs);
  TZor_ReadResult last = TZor_ReadResult::rrTimeout;
  while (!FPeerClosed) {
    last = WaitReadable(static_cast<uint32_t>(deadline.Remaining()));
    if (last != TZor_ReadResult::rrOk) break;
    last = Receive();
    if (last != TZor_ReadResult::rrOk && last != TZor_ReadResult::rrTimeout) break;
    if (!until.empty() && FBuffer.find(until) != std::string::npos) break;
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
  uint32_t address = 0;
  if (LooksLikeAddress(FHost)) {
    if (!ParseAddressText(FHost, address)) {
      SetError({WSA_HOST_NOT_FOUND, 0});
      return false;
    }
  } else {
    std::vector<std::string> ips;
    TZor_SysError error;
    if (!ResolveHostIPv4(FHost, ips, error) || ips.empty() || !ParseAddressText(ips.front(), address)) {
      SetError(error.Code ? error : TZor_SysError{WSA_HOST_NOT_FOUND, 0});
      return false;
    }
  }
  TZor_NativeHandle socket = ZorInvalidHandle;
  TZor_SysError error;
  if (!os::TcpConnect(address, FPort, FBindAddress, FConnectTimeout, GetAbortFlag(), socket, error)) {
    SetError(error);
    return false;
  }
  Attach(socket);
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

// How long the accept loop backs off when the system refuses new connections.
constexpr uint32_t cAcceptBackOffMs = 100;

}  // namespace

struct TZor_TcpServer::TState {
  mutable std::mutex Lock;
  THandler OnConnect, OnExecute, OnDisconnect;
  uint16_t RequestedPort = 0;
  std::string BindAddress;
  bool FreeBind = false;
  os::TTcpListener Listener;
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
  return FState->Active ? FState->Listener.Port : 0;
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
  if (!os::TcpListen(st->BindAddress, st->RequestedPort, st->FreeBind, st->Listener, st->LastError)) return false;
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
  os::TTcpListener listener;
  {
    std::lock_guard<std::mutex> g(self->Lock);
    listener = self->Listener;
  }
  while (os::TcpWaitForConnection(listener)) {
    self->Reap();
    TZor_NativeHandle socket = ZorInvalidHandle;
    os::TTcpAccept accepted = os::TcpAccept(listener, socket);
    if (accepted == os::TTcpAccept::taFailed) {
      // Out of descriptors and the like: back off instead of spinning.
      if (os::TcpWaitWoken(listener, cAcceptBackOffMs)) return;
      continue;
    }
    if (accepted != os::TTcpAccept::taAccepted) continue;
    auto slot = std::make_shared<TConnSlot>();
    slot->Conn = std::make_shared<TZor_TcpConnection>(socket);
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
    os::TcpWake(st->Listener);
    accept = std::move(st->AcceptThread);
    slots.swap(st->Slots);
    for (auto &s : slots) s->Conn->Disconnect();
  }
  if (accept.joinable()) accept.join();
  {
    std::lock_guard<std::mutex> g(st->Lock);
    os::TcpCloseListener(st->Listener);
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
