#include "cli/Devices.h"

#include <unistd.h>

#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"
#include "platform/Zor_Icmp.h"
#include "platform/Zor_Sys.h"
#include "sim/SimDevice.h"
#include "sim/SimNetLink.h"

namespace zor::cli {

namespace {

bool StartsWith(const std::string &text, const std::string &prefix) { return text.rfind(prefix, 0) == 0; }

// Loopback addresses tried for simulated devices: 127.0.0.2 .. 127.0.0.254.
// Each process starts at its own place so parallel runs rarely meet.
constexpr uint32_t SimFirstHost = 2;
constexpr uint32_t SimHostCount = 253;

bool ParseNumber(const std::string &text, uint32_t &value) {
  try {
    size_t used = 0;
    unsigned long v = std::stoul(text, &used, 0);
    if (used != text.size() || v > 0xFFFFFFFFul) return false;
    value = static_cast<uint32_t>(v);
    return true;
  } catch (const std::exception &) {
    return false;
  }
}

// The faults a --sim-fault value names: of the device model or of its link.
void ApplyFault(const std::string &fault, TSimFaults &faults, TSimLinkFaults &linkFaults) {
  if (fault == "refuse-commands") linkFaults.AnswerBu = TSimFaultRule{-1, srkCmd};
  if (fault == "never-ready") faults.NeverReady = true;
  if (fault == "no-restart") faults.NoRestart = true;
  if (fault == "refuse-login") faults.RefuseLogin = true;
  if (StartsWith(fault, "program-status=")) ParseNumber(fault.substr(15), faults.ProgramStatus);
}

}  // namespace

bool ParseDeviceAddress(const std::string &text, TDeviceAddress &address, std::string &error) {
  address = TDeviceAddress{};
  if (text == "sim:coldfire") {
    address.Kind = TDeviceKind::SimColdfire;
    return true;
  }
  if (text == "sim:esp") {
    address.Kind = TDeviceKind::SimEsp;
    return true;
  }
  if (StartsWith(text, "ip:")) {
    address.Kind = TDeviceKind::Ip;
    address.Name = text.substr(3);
    if (IsValidIPv4(address.Name)) return true;
    error = "not an IPv4 address: " + address.Name;
    return false;
  }
  if (StartsWith(text, "host:")) {
    address.Kind = TDeviceKind::Host;
    address.Name = text.substr(5);
    if (!address.Name.empty()) return true;
    error = "host name missing";
    return false;
  }
  error = "unknown device " + text + " (use ip:ADDRESS, host:NAME, sim:coldfire or sim:esp)";
  return false;
}

bool CheckSimFault(const std::string &fault, std::string &error) {
  uint32_t status = 0;
  if (fault == "never-ready" || fault == "no-restart" || fault == "refuse-login" ||
      fault == "refuse-commands")
    return true;
  if (StartsWith(fault, "program-status=") && ParseNumber(fault.substr(15), status)) return true;
  error = "unknown simulator fault: " + fault;
  return false;
}

TSimHost::~TSimHost() {
  if (FLink) FLink->Stop();
}

std::unique_ptr<TSimHost> TSimHost::Start(bool esp, const TSimDeviceOptions &options, int logId,
                                          std::string &error) {
  TSimConfig config;
  config.Family = esp ? TSimFamily::Esp : TSimFamily::Coldfire;
  config.FirmwareVersion = options.Firmware >= 0 ? options.Firmware : (esp ? 114 : 112);
  config.UpdateFirmwareVersion = options.UpdateFirmware;
  config.SerialNumber = options.Serial;
  config.StartInBootLoader = options.BootLoader;
  config.Timings.RestartSilentMs = options.RestartMs;
  config.LogId = logId;
  TSimFaults faults;
  TSimLinkFaults linkFaults;
  for (const std::string &f : options.Faults) ApplyFault(f, faults, linkFaults);

  // The network device talks to the control port 1024, so the device needs
  // a loopback address of its own where that port is free.
  const uint32_t start = static_cast<uint32_t>(::getpid()) % SimHostCount;
  for (uint32_t i = 0; i < SimHostCount; ++i) {
    const uint32_t host = SimFirstHost + (start + i) % SimHostCount;
    config.IpAddress = 0x7F000000u | host;
    std::unique_ptr<TSimHost> sim(new TSimHost());
    sim->FDevice = CreateSimDevice(config);
    sim->FDevice->SetFaults(faults);
    TSimNetLinkConfig link;
    link.ControlPort = TZor_NetworkDevice::ControlPort;
    link.LogId = logId;
    sim->FLink = std::make_unique<TSimNetLink>(*sim->FDevice, link);
    sim->FLink->SetFaults(linkFaults);
    if (sim->FLink->Start()) {
      sim->FAddress = "127.0.0." + std::to_string(host);
      return sim;
    }
    error = sim->FLink->GetLastErrorText();
  }
  error = "no free loopback address for a simulated device: " + error;
  return nullptr;
}

bool CreateTarget(const TDeviceAddress &address, const TSimDeviceOptions &simOptions, int logId,
                  TTarget &target, std::string &error) {
  std::string ip = address.Name;
  std::string host;
  switch (address.Kind) {
    case TDeviceKind::SimColdfire:
    case TDeviceKind::SimEsp:
      target.Sim = TSimHost::Start(address.Kind == TDeviceKind::SimEsp, simOptions, logId, error);
      if (!target.Sim) return false;
      ip = target.Sim->GetAddress();
      break;
    case TDeviceKind::Host: {
      std::vector<std::string> ips;
      platform::TZor_SysError sysError;
      if (!platform::ResolveHostIPv4(address.Name, ips, sysError) || ips.empty()) {
        error = "cannot resolve " + address.Name + ": " + platform::SystemErrorText(sysError);
        return false;
      }
      // The window lets the user pick one of several addresses; here the
      // choice must be made on the command line.
      if (ips.size() > 1) {
        std::string list;
        for (const std::string &one : ips) list += (list.empty() ? "" : ", ") + one;
        error = address.Name + " has several addresses (" + list + "); choose one with ip:ADDRESS";
        return false;
      }
      ip = ips.front();
      host = address.Name;
      break;
    }
    case TDeviceKind::Ip: break;
  }
  target.Device = std::make_unique<TZor_NetworkDevice>(logId, 0, nullptr, true, ip, host);
  return true;
}

}  // namespace zor::cli
