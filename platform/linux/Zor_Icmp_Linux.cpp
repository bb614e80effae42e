#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/Zor_Icmp.h"
#include "platform/Zor_IcmpOs.h"

namespace zor::platform {

namespace {

std::atomic<uint16_t> GSequence{0};

uint16_t Checksum(const uint8_t *data, size_t len) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < len; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (len & 1) sum += static_cast<uint32_t>(data[len - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// Status of an ICMP error message (type, code) for the request it quotes.
uint32_t StatusOf(uint8_t type, uint8_t code) {
  switch (type) {
    case ICMP_DEST_UNREACH:
      switch (code) {
        case ICMP_NET_UNREACH: return ICMP_DEST_NET_UNREACHABLE;
        case ICMP_PROT_UNREACH: return ICMP_DEST_PROT_UNREACHABLE;
        case ICMP_PORT_UNREACH: return ICMP_DEST_PORT_UNREACHABLE;
        default: return ICMP_DEST_HOST_UNREACHABLE;
      }
    case ICMP_TIME_EXCEEDED: return code == 0 ? ICMP_TTL_EXPIRED_TRANSIT : ICMP_TTL_EXPIRED_REASSEM;
    case ICMP_PARAMETERPROB: return ICMP_PARAM_PROBLEM;
    default: return ICMP_GENERAL_FAILURE;
  }
}

// An ICMP socket: the unprivileged datagram kind, or a raw one (root only).
struct TIcmpSocket {
  int Fd = -1;
  bool Raw = false;
  ~TIcmpSocket() {
    if (Fd >= 0) ::close(Fd);
  }
};

bool OpenIcmp(TIcmpSocket &s, TZor_EchoResult &result) {
  s.Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (s.Fd >= 0) {
    // Unreachable messages for a datagram ICMP socket arrive on its error queue.
    int one = 1;
    ::setsockopt(s.Fd, IPPROTO_IP, IP_RECVERR, &one, sizeof one);
    return true;
  }
  int dgramErr = errno;
  s.Fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (s.Fd >= 0) {
    s.Raw = true;
    return true;
  }
  result.OpenFailed = true;
  result.Error = FromErrno(errno);
  if (dgramErr == EACCES || dgramErr == EPERM) {
    result.ErrorText =
        "ICMP echo not permitted: this group may not open ICMP datagram sockets (sysctl "
        "net.ipv4.ping_group_range) and raw sockets need root or CAP_NET_RAW";
  } else {
    result.ErrorText = "ICMP socket could not be opened: " + SystemErrorText(FromErrno(dgramErr));
  }
  return false;
}

// What one received packet means for our request.
enum class TMatch { None, Reply, Error };

// Parses a packet read from a raw socket (with IP header) or a datagram
// socket (ICMP header only); for the datagram kind the kernel has already
// matched the identifier.
TMatch Classify(const uint8_t *p, size_t len, bool raw, uint16_t id, uint16_t seq, uint32_t &status) {
  if (raw) {
    if (len < 20) return TMatch::None;
    size_t ihl = static_cast<size_t>(p[0] & 0x0F) * 4;
    if (ihl < 20 || len < ihl) return TMatch::None;
    p += ihl;
    len -= ihl;
  }
  if (len < 8) return TMatch::None;
  uint8_t type = p[0];
  auto word = [](const uint8_t *q) { return static_cast<uint16_t>(q[0] << 8 | q[1]); };
  if (type == ICMP_ECHOREPLY) {
    if (word(p + 6) != seq || (raw && word(p + 4) != id)) return TMatch::None;
    status = ICMP_SUCCESS;
    return TMatch::Reply;
  }
  if (!raw || (type != ICMP_DEST_UNREACH && type != ICMP_TIME_EXCEEDED && type != ICMP_PARAMETERPROB))
    return TMatch::None;
  // An error message quotes our request: its IP header and first 8 bytes.
  const uint8_t *q = p + 8;
  size_t qlen = len - 8;
  if (qlen < 20) return TMatch::None;
  size_t qihl = static_cast<size_t>(q[0] & 0x0F) * 4;
  if (qihl < 20 || qlen < qihl + 8 || q[9] != IPPROTO_ICMP) return TMatch::None;
  const uint8_t *echo = q + qihl;
  if (echo[0] != ICMP_ECHO || word(echo + 4) != id || word(echo + 6) != seq) return TMatch::None;
  status = StatusOf(type, p[1]);
  return TMatch::Error;
}

// Reads an error-queue entry of a datagram socket; true when it concerns the request.
bool ReadErrorQueue(int fd, uint32_t &status) {
  uint8_t data[512];
  uint8_t control[512];
  sockaddr_in from{};
  iovec iov{data, sizeof data};
  msghdr msg{};
  msg.msg_name = &from;
  msg.msg_namelen = sizeof from;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  if (::recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return false;
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
    sock_extended_err ee;
    std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
    if (ee.ee_origin == SO_EE_ORIGIN_ICMP)
      status = StatusOf(ee.ee_type, ee.ee_code);
    else
      status = ee.ee_errno == ENETUNREACH ? ICMP_DEST_NET_UNREACHABLE : ICMP_DEST_HOST_UNREACHABLE;
    return true;
  }
  return false;
}

}  // namespace

bool os::IcmpEcho(uint32_t address, uint32_t timeoutMs, TZor_EchoResult &result) {
  TIcmpSocket s;
  if (!OpenIcmp(s, result)) return false;
  const uint16_t seq = ++GSequence;
  const uint16_t id = static_cast<uint16_t>(::getpid());
  uint8_t packet[8] = {ICMP_ECHO,
                       0,
                       0,
                       0,
                       static_cast<uint8_t>(id >> 8),
                       static_cast<uint8_t>(id),
                       static_cast<uint8_t>(seq >> 8),
                       static_cast<uint8_t>(seq)};
  uint16_t sum = Checksum(packet, sizeof packet);
  packet[2] = static_cast<uint8_t>(sum >> 8);
  packet[3] = static_cast<uint8_t>(sum);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  if (::sendto(s.Fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0) {
    result.Error = FromErrno(errno);
    result.ErrorText = SystemErrorText(result.Error);
    return false;
  }

  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{s.Fd, POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.Error = FromErrno(errno);
      result.ErrorText = SystemErrorText(result.Error);
      return false;
    }
    if (n == 0) break;
    uint32_t status = ICMP_SUCCESS;
    if ((p.revents & POLLERR) && !s.Raw && ReadErrorQueue(s.Fd, status)) {
      result.Replied = true;
      result.Status = status;
      return false;
    }
    if (!(p.revents & POLLIN)) continue;
    uint8_t buf[1500];
    ssize_t got = ::recv(s.Fd, buf, sizeof buf, MSG_DONTWAIT);
    if (got <= 0) continue;
    TMatch m = Classify(buf, static_cast<size_t>(got), s.Raw, id, seq, status);
    if (m == TMatch::None) continue;
    result.Replied = true;
    result.Status = status;
    return m == TMatch::Reply;
  }
  SetEchoTimedOut(result);
  return false;
}

bool ResolveHostIPv4(const std::string &host, std::vector<std::string> &ips, TZor_SysError &error) {
  ips.clear();
  error = {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  int rc = host.empty() ? EAI_NONAME : ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    switch (rc) {
      case EAI_NONAME:
#ifdef EAI_NODATA
      case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
      case EAI_ADDRFAMILY:
#endif
        error = {WSA_HOST_NOT_FOUND, 0};
        break;
      case EAI_AGAIN: error = {WSA_TRY_AGAIN, 0}; break;
      case EAI_SYSTEM: error = FromErrno(errno); break;
      default: error = {WSA_NO_RECOVERY, 0}; break;
    }
    return false;
  }
  for (addrinfo *a = list; a; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(a->ai_addr)->sin_addr, text, sizeof text);
    if (std::find(ips.begin(), ips.end(), text) == ips.end()) ips.emplace_back(text);
  }
  ::freeaddrinfo(list);
  if (ips.empty()) {
    error = {WSA_HOST_NOT_FOUND, 0};
    return false;
  }
  return true;
}

}  // namespace zor::platform
