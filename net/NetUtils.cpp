#include "net/NetUtils.h"

#include <mutex>

#include "platform/Zor_Icmp.h"

namespace zor {

namespace {

std::mutex GResolverLock;
THostResolver GResolver;  // under GResolverLock

bool Resolve(const std::string &host, std::vector<std::string> &ips, platform::TZor_SysError &error) {
  THostResolver resolver;
  {
    std::lock_guard<std::mutex> g(GResolverLock);
    resolver = GResolver;
  }
  return resolver ? resolver(host, ips, error) : platform::ResolveHostIPv4(host, ips, error);
}

}  // namespace

void SetHostResolver(THostResolver resolver) {
  std::lock_guard<std::mutex> g(GResolverLock);
  GResolver = std::move(resolver);
}

std::string HostErrorText(uint32_t number) {
  switch (number) {
    case 10036: return "WSAEInProgress";
    case 10050: return "WSAENetDown";
    case 10093: return "WSANotInitialised";
    case platform::WSA_HOST_NOT_FOUND: return "Host not found";
    default: return "Err=" + std::to_string(number);
  }
}

std::optional<std::vector<std::string>> GetIPsFromHost(const std::string &host, std::string &errorText) {
  errorText.clear();
  std::vector<std::string> ips;
  platform::TZor_SysError error;
  if (!Resolve(host, ips, error)) {
    errorText = HostErrorText(error.Code);
    return std::nullopt;
  }
  return ips;
}

std::string GetIPFromHost(const std::string &host) {
  std::string errorText;
  auto ips = GetIPsFromHost(host, errorText);
  return ips && ips->size() == 1 ? ips->front() : std::string();
}

void TSelectIPFromHost::SetHost(const std::string &host) {
  FLabelText = host + " is not a unique host name. Please select IP address.";
}

void TSelectIPFromHost::SetIPs(const std::vector<std::string> &ips) {
  FIPs = ips;
  FItemIndex = -1;
  FOkEnabled = false;
}

void TSelectIPFromHost::rgIPsClick(int index) {
  FItemIndex = index >= 0 && index < static_cast<int>(FIPs.size()) ? index : -1;
  FOkEnabled = FItemIndex >= 0;
}

std::string TSelectIPFromHost::GetIP() const { return FItemIndex >= 0 ? FIPs[FItemIndex] : std::string(); }

}  // namespace zor
