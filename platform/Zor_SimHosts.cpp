#include "platform/Zor_SimHosts.h"

#include <map>
#include <mutex>

namespace zor::platform {

namespace {

std::mutex GLock;
std::map<std::string, bool> &Hosts() {
  static std::map<std::string, bool> hosts;
  return hosts;
}

}  // namespace

bool ClaimSimHost(const std::string &ip, bool up) {
  std::lock_guard<std::mutex> g(GLock);
  return Hosts().emplace(ip, up).second;
}

void SetSimHostUp(const std::string &ip, bool up) {
  std::lock_guard<std::mutex> g(GLock);
  auto it = Hosts().find(ip);
  if (it != Hosts().end()) it->second = up;
}

void ReleaseSimHost(const std::string &ip) {
  std::lock_guard<std::mutex> g(GLock);
  Hosts().erase(ip);
}

std::optional<bool> SimHostIsUp(const std::string &ip) {
  std::lock_guard<std::mutex> g(GLock);
  auto it = Hosts().find(ip);
  if (it == Hosts().end()) return std::nullopt;
  return it->second;
}

}  // namespace zor::platform
