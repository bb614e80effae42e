// A simulated device with its network link on a loopback address, and a
// network device object pointed at it. Each test uses its own address so
// tests never see each other's sessions.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"
#include "platform/Zor_Sys.h"
#include "sim/SimDevice.h"
#include "sim/SimNetLink.h"

namespace zor::nettest {

struct TSimHost {
  std::unique_ptr<TSimDevice> Device;
  std::unique_ptr<TSimNetLink> Link;
  std::string Ip;

  // `bind` "0.0.0.0": the link listens everywhere and its data connections
  // come from the default loopback address, not from `ip`.
  TSimHost(TSimFamily family, const std::string &ip, int firmware = -1, const std::string &password = "",
           const std::string &bind = "")
      : Ip(ip) {
    TSimConfig c;
    c.Family = family;
    c.FirmwareVersion = firmware > 0 ? firmware : family == TSimFamily::Esp ? 114 : 112;
    c.SerialNumber = 0x4321;
    c.HardFeature = family == TSimFamily::Esp ? 0x00012345 : 0x0007;
    in_addr a{};
    ::inet_pton(AF_INET, ip.c_str(), &a);
    c.IpAddress = ntohl(a.s_addr);
    c.LoginPassword = password;
    c.Timings.RestartSilentMs = 200;
    c.Timings.TimeStampIntervalMs = 0;
    c.Timings.HeartbeatIntervalMs = 0;
    Device = CreateSimDevice(c);
    TSimNetLinkConfig lc;
    lc.ControlPort = 0;
    lc.BindAddress = bind;
    lc.RequestTimeoutMs = 2000;
    lc.IdleTimeoutMs = 3000;
    Link = std::make_unique<TSimNetLink>(*Device, lc);
    EXPECT_TRUE(Link->Start()) << Link->GetLastErrorText();
  }
  ~TSimHost() { Link->Stop(); }

  // A device object for this host; answers are awaited `answerMs` at most.
  std::unique_ptr<TZor_NetworkDevice> MakeDevice(uint8_t user = 1, bool tools = false,
                                                 uint32_t answerMs = 1500) {
    auto d = std::make_unique<TZor_NetworkDevice>(-1, 0, nullptr, true, Ip);
    d->SetDeviceManagementPort(Link->GetControlPort());
    d->SetUserID(user);
    d->SetContextTool(tools);
    d->SetAnswerTimeoutMs(answerMs);
    return d;
  }

  void SetFaults(const std::function<void(TSimLinkFaults &)> &change) {
    TSimLinkFaults f = Link->GetFaults();
    change(f);
    Link->SetFaults(f);
  }

  bool LogHas(const std::string &text) const {
    for (auto &line : Link->LinkLog())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
};

inline int CountLog(const TSimHost &host, const std::string &text) {
  int n = 0;
  for (auto &line : host.Link->LinkLog()) n += line.find(text) != std::string::npos;
  return n;
}

// Starts and ends a test with an empty MissingDisconnects list.
struct TMissingGuard {
  TMissingGuard() { MissingDisconnects::Clear(); }
  ~TMissingGuard() { MissingDisconnects::Clear(); }
};

// Polls `condition` for up to `ms` milliseconds.
template <class TCond>
bool WaitUntil(TCond condition, uint32_t ms = 2000) {
  uint32_t start = platform::GetTicks();
  while (!condition()) {
    if (platform::TicksSince(start) > ms) return false;
    platform::SleepMs(5);
  }
  return true;
}

// Reads the tools buffer until `count` bytes arrived or `ms` passed.
inline std::string ReadTools(TZor_NetworkDevice &d, size_t count, uint32_t ms = 2000) {
  std::string all;
  WaitUntil(
      [&] {
        all += d.ToolsReadAll();
        return all.size() >= count;
      },
      ms);
  return all;
}

// The answer to the storage read of `key`, wherever the transport keeps it.
inline std::string ReadNvs(TZor_NetworkDevice &d, uint16_t key, uint32_t count, uint32_t ms = 2000) {
  std::string value;
  WaitUntil([&] { return d.ReadNVSAnswer(key, count, value) && value.size() >= count; }, ms);
  return value;
}

}  // namespace zor::nettest
