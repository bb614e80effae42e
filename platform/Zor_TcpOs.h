// Internal to platform/: the native socket calls under the portable parts of
// Zor_Tcp.cpp (buffered reads, address choice, the server's connection life
// cycle), implemented per operating system (platform/linux/Zor_Tcp_Linux.cpp).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/Zor_Tcp.h"

namespace zor::platform {

// Milliseconds left of a timeout on the real monotonic clock: socket waits
// bound waits on the operating system, so they ignore the injectable clock.
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

namespace os {

// A connected, non-blocking socket to `address` (IPv4, network byte order),
// optionally from `bindAddress`, within `timeoutMs`; `abort` breaks the wait off.
bool TcpConnect(uint32_t address, uint16_t port, const std::string &bindAddress, uint32_t timeoutMs,
                const TZor_AbortFlag &abort, TZor_NativeHandle &socket, TZor_SysError &error);

// A listening socket and the wake object that breaks off a wait on it.
struct TTcpListener {
  TZor_NativeHandle Socket = ZorInvalidHandle;
  TZor_NativeHandle Wake = ZorInvalidHandle;
  uint16_t Port = 0;  // the port actually bound
};

// Listens on `address` (dotted IPv4; empty = every address) and `port` (0 =
// chosen by the system). On failure nothing is left open and `error` says why.
bool TcpListen(const std::string &address, uint16_t port, bool freeBind, TTcpListener &listener,
               TZor_SysError &error);
// Closes both handles; harmless on a listener already closed.
void TcpCloseListener(TTcpListener &listener);
// Wakes TcpWaitForConnection and TcpWaitWoken, now and for good.
void TcpWake(const TTcpListener &listener);
// Blocks until a connection is pending (true), or the listener was woken or
// failed (false).
bool TcpWaitForConnection(const TTcpListener &listener);
// Waits up to `ms` for the wake; true when woken.
bool TcpWaitWoken(const TTcpListener &listener, uint32_t ms);

enum class TTcpAccept : uint8_t {
  taAccepted,  // `socket` holds the new connection
  taNone,      // nothing to take after all (the peer gave up, a signal): try again
  taFailed,    // out of descriptors or the like: back off before trying again
};
TTcpAccept TcpAccept(const TTcpListener &listener, TZor_NativeHandle &socket);

}  // namespace os

}  // namespace zor::platform
