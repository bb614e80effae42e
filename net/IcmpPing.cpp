#include "net/IcmpPing.h"

#include <cstring>
#include <exception>
#include <mutex>

#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

// Serialises all pings of the process; re-entrant so that PingIPAddress can
// hold it across its echo and the reading of the error number.
std::recursive_mutex &PingLock() {
  static std::recursive_mutex lock;
  return lock;
}

int32_t GPingErrorNumber = -1;    // under PingLock
TIcmpEchoFunction GEchoFunction;  // under PingLock

bool SendEcho(uint32_t address, uint32_t timeoutMs, platform::TZor_EchoResult &result) {
  return GEchoFunction ? GEchoFunction(address, timeoutMs, result)
                       : platform::IcmpEcho(address, timeoutMs, result);
}

}  // namespace

void SetIcmpEchoFunction(TIcmpEchoFunction echo) {
  std::lock_guard<std::recursive_mutex> g(PingLock());
  GEchoFunction = std::move(echo);
}

int32_t GetPingErrorNumber() {
  std::lock_guard<std::recursive_mutex> g(PingLock());
  return GPingErrorNumber;
}

uint32_t IPTextToAddress(const std::string &ipText) {
  const std::string bytes = IPv4ToBytes(ipText);
  if (bytes.size() != 4) return 0;
  uint32_t address = 0;
  std::memcpy(&address, bytes.data(), 4);  // keeps the text's order in memory
  return address;
}

bool IsIPAddress(const std::string &text) { return IsValidIPv4(text); }

std::string IcmpStatusText(uint32_t status) {
  switch (status) {
    case 0: return "";
    case 11001: return "The reply buffer was too small.";
    case 11002: return "The destination network was unreachable.";
    case 11003: return "The destination host was unreachable.";
    case 11004: return "The destination protocol was unreachable.";
    case 11005: return "The destination port was unreachable.";
    case 11006: return "Insufficient IP resources were available.";
    case 11007: return "A bad IP option was specified.";
    case 11008: return "A hardware error occurred.";
    case 11009: return "The packet was too big.";
    case 11010: return "The request timed out.";
    case 11011: return "A bad request.";
    case 11012: return "A bad route.";
    case 11013: return "The time to live (TTL) expired in transit.";
    case 11014: return "The time to live expired during fragment reassembly.";
    case 11015: return "A parameter problem.";
    case 11016:
      return "Datagrams are arriving too fast to be processed and datagrams may have been discarded.";
    case 11017: return "An IP option was too big.";
    case 11018: return "A bad destination.";
    case 11050: return "A general failure. This error can be returned for some malformed ICMP packets.";
    default: return "Unknown status " + std::to_string(status);
  }
}

bool IcmpEcho(uint32_t address, uint32_t timeoutMs, std::string &errorText) {
  errorText.clear();
  std::lock_guard<std::recursive_mutex> g(PingLock());
  GPingErrorNumber = -1;
  try {
    platform::TZor_EchoResult result;
    const bool answered = SendEcho(address, timeoutMs, result);
    if (result.OpenFailed) {
      GPingErrorNumber = static_cast<int32_t>(result.Error.Code);
      errorText = "IcmpCreateFile failed. GetLastError=" + result.ErrorText;
      return false;
    }
    if (result.Replied) {
      GPingErrorNumber = 0;
      if (answered && result.Status == platform::ICMP_SUCCESS) return true;
      errorText = IcmpStatusText(result.Status);
      return false;
    }
    GPingErrorNumber = static_cast<int32_t>(result.Error.Code);
    errorText = result.ErrorText.empty() ? platform::SystemErrorText(result.Error) : result.ErrorText;
  } catch (const std::exception &e) {
    errorText = e.what();
  }
  return false;
}

bool PingIPAddress(const std::string &ipText, uint32_t timeoutMs, std::string &errorText) {
  if (!IsIPAddress(ipText)) {
    errorText = "Not an ip address: " + ipText;
    return false;
  }
  // Held across the echo so that the error number read below is our own.
  std::lock_guard<std::recursive_mutex> g(PingLock());
  const bool ok = IcmpEcho(IPTextToAddress(ipText), timeoutMs, errorText);
  if (!ok && GPingErrorNumber == static_cast<int32_t>(platform::ICMP_REQ_TIMED_OUT))
    errorText = "The request timed out.";
  return ok;
}

}  // namespace zor
