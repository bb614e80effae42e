// Registry of simulated hosts: a device simulator running in this process
// claims an IPv4 address, and pings to that address answer from the
// simulator's state (down while it restarts) instead of the network.
#pragma once

#include <optional>
#include <string>

namespace zor::platform {

// Claims `ip` (dotted text) for a simulated host in the given state; false
// when another simulated host already holds it.
bool ClaimSimHost(const std::string &ip, bool up);
// Sets the state of a claimed address; ignored for addresses not claimed.
void SetSimHostUp(const std::string &ip, bool up);
// Gives the address back to the network.
void ReleaseSimHost(const std::string &ip);
// The state of a claimed address; nothing when no simulated host holds it.
std::optional<bool> SimHostIsUp(const std::string &ip);

}  // namespace zor::platform
