// Internal to platform/: the ICMP socket side of the echo, implemented per
// operating system (platform/linux/Zor_Icmp_Linux.cpp).
#pragma once

#include <cstdint>

#include "platform/Zor_Icmp.h"

namespace zor::platform {

// Fills `result` for a request that got no answer in time.
void SetEchoTimedOut(TZor_EchoResult &result);

namespace os {

// IcmpEcho over the network; `result` arrives cleared.
bool IcmpEcho(uint32_t address, uint32_t timeoutMs, TZor_EchoResult &result);

}  // namespace os

}  // namespace zor::platform
