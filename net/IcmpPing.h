// Ping (one ICMP echo) and IPv4 address texts. Pings of the whole process run
// one at a time under the ping lock, so concurrent callers (the main thread,
// background requests) never interleave and each sees its own error number.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Zor_Icmp.h"

namespace zor {

// Pings `ipText` once. False with "Not an ip address: " + text for anything
// but a dotted IPv4 address (no echo is sent then).
bool PingIPAddress(const std::string &ipText, uint32_t timeoutMs, std::string &errorText);
// One echo to `address` (IPv4, network byte order). `errorText` is empty on
// success; the outcome also becomes the process's PingErrorNumber.
bool IcmpEcho(uint32_t address, uint32_t timeoutMs, std::string &errorText);

// Result of the last ping: -1 before any ping produced one (or when it could
// not be sent), 0 after a reply arrived, else the system's error code (11010
// for a timeout). Read under the ping lock.
int32_t GetPingErrorNumber();

// Dotted text to an address in network byte order (first part in the
// lowest-addressed byte); 0 for a text that is not an IPv4 address.
uint32_t IPTextToAddress(const std::string &ipText);
// Text of an echo reply status; empty for 0.
std::string IcmpStatusText(uint32_t status);
// Blanks around are allowed; digits and three dots, every part below 256.
bool IsIPAddress(const std::string &text);

// Replaces the system's echo (tests); an empty function restores it.
using TIcmpEchoFunction =
    std::function<bool(uint32_t address, uint32_t timeoutMs, platform::TZor_EchoResult &)>;
void SetIcmpEchoFunction(TIcmpEchoFunction echo);

}  // namespace zor
