#include "platform/Zor_Icmp.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/Zor_IcmpOs.h"
#include "platform/Zor_SimHosts.h"

namespace zor::platform {

namespace {

// Dotted text of an address in network byte order.
std::string AddressText(uint32_t address) {
  uint8_t b[4];
  std::memcpy(b, &address, sizeof b);
  return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
         std::to_string(b[3]);
}

// The answer of an in-process simulated host; nothing when none holds the address.
std::optional<bool> SimulatedEcho(uint32_t address, uint32_t timeoutMs, TZor_EchoResult &result) {
  std::optional<bool> up = SimHostIsUp(AddressText(address));
  if (!up) return std::nullopt;
  if (*up) {
    result.Replied = true;
    return true;
  }
  SleepMs(timeoutMs);  // a silent host lets the request run into its timeout
  SetEchoTimedOut(result);
  return false;
}

}  // namespace

void SetEchoTimedOut(TZor_EchoResult &result) {
  result.Error = {ICMP_REQ_TIMED_OUT, ETIMEDOUT};
  result.ErrorText = "The request timed out.";
}

bool IcmpEcho(uint32_t address, uint32_t timeoutMs, TZor_EchoResult &result) {
  result = {};
  if (std::optional<bool> simulated = SimulatedEcho(address, timeoutMs, result)) return *simulated;
  return os::IcmpEcho(address, timeoutMs, result);
}

}  // namespace zor::platform
