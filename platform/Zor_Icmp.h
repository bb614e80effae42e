// ICMP echo and host-name resolution over IPv4.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Zor_Sys.h"

namespace zor::platform {

// Status codes of an echo reply, as the core's texts know them.
enum : uint32_t {
  ICMP_SUCCESS = 0,
  ICMP_DEST_NET_UNREACHABLE = 11002,
  ICMP_DEST_HOST_UNREACHABLE = 11003,
  ICMP_DEST_PROT_UNREACHABLE = 11004,
  ICMP_DEST_PORT_UNREACHABLE = 11005,
  ICMP_REQ_TIMED_OUT = 11010,
  ICMP_BAD_ROUTE = 11012,
  ICMP_TTL_EXPIRED_TRANSIT = 11013,
  ICMP_TTL_EXPIRED_REASSEM = 11014,
  ICMP_PARAM_PROBLEM = 11015,
  ICMP_GENERAL_FAILURE = 11050,
};

// Further resolver failures next to WSA_HOST_NOT_FOUND (11001).
enum : uint32_t {
  WSA_TRY_AGAIN = 11002,
  WSA_NO_RECOVERY = 11003,
};

struct TZor_EchoResult {
  // No ICMP socket could be opened (neither the unprivileged datagram socket
  // nor, as root, a raw one); Error and ErrorText say why.
  bool OpenFailed = false;
  // A reply arrived; Status is that of the first reply (0 = echo answered,
  // else one of the ICMP_ codes, e.g. host unreachable).
  bool Replied = false;
  uint32_t Status = ICMP_SUCCESS;
  // Without a reply: why. Code 11010 when nothing came back in time.
  TZor_SysError Error;
  std::string ErrorText;
};

// Sends one echo request without payload to `address` (IPv4, network byte
// order) and waits up to `timeoutMs` for the reply. True when the host
// answered (Status 0). An address claimed by an in-process simulated host is
// answered from the simulated-host registry instead of the network.
bool IcmpEcho(uint32_t address, uint32_t timeoutMs, TZor_EchoResult &result);

// All IPv4 addresses of `host` (a name or dotted text) as dotted text, in the
// resolver's order, without repetitions. On failure `error` carries 11001
// (host not found), 11002 (try again) or 11003 (resolver failure).
bool ResolveHostIPv4(const std::string &host, std::vector<std::string> &ips, TZor_SysError &error);

}  // namespace zor::platform
