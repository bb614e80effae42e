#include "session/Zor_Devices.h"

#include <unistd.h>

#include "session/Zor_UsbEntries.h"
#include "firmware/Uploader_Common.h"
#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"
#include "platform/Zor_Icmp.h"
#include "platform/Zor_Sys.h"
#include "sim/SimCdcLink.h"
#include "sim/SimDevice.h"
#include "sim/SimHidLink.h"
#include "sim/SimNetLink.h"

namespace zor::session {

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

TSimConfig MakeSimConfig(bool esp, const TSimDeviceOptions &options, int logId) {
  TSimConfig config;
  config.Family = esp ? TSimFamily::Esp : TSimFamily::Coldfire;
  config.FirmwareVersion = options.Firmware >= 0 ? options.Firmware : (esp ? 114 : 112);
  config.UpdateFirmwareVersion = options.UpdateFirmware;
  config.SerialNumber = options.Serial;
  config.StartInBootLoader = options.BootLoader;
  config.Timings.RestartSilentMs = options.RestartMs;
  config.LogId = logId;
  return config;
}

// Takes the device `selector` names out of the attached ones.
int TakeUsbDevice(const std::string &selector, int logId, TTarget &target, std::string &error) {
  std::string enumError;
  auto devices = EnumMakerUsbDevices(logId, enumError);
  int failure = fwr_DeviceMissing;
  const int index = FindUsbDevice(devices, selector, error, failure);
  if (index < 0) {
    if (!enumError.empty()) error += " (" + enumError + ")";
    return failure;
  }
  target.Device = std::move(devices[static_cast<size_t>(index)]);
  return fwr_NoError;
}

}  // namespace

bool IsUsbAddress(const TDeviceAddress &address) {
  return address.Kind == TDeviceKind::Usb || address.Kind == TDeviceKind::SimColdfireUsb ||
         address.Kind == TDeviceKind::SimColdfireCdc || address.Kind == TDeviceKind::SimEspUsb;
}

bool IsSimulatedAddress(const TDeviceAddress &address) {
  return address.Kind != TDeviceKind::Ip && address.Kind != TDeviceKind::Host && address.Kind != TDeviceKind::Usb;
}

bool ParseDeviceAddress(const std::string &text, TDeviceAddress &address, std::string &error) {
  address = TDeviceAddress{};
  static const std::pair<const char *, TDeviceKind> simulated[] = {
      {"sim:coldfire", TDeviceKind::SimColdfire},        {"sim:esp", TDeviceKind::SimEsp},
      {"sim:coldfire-usb", TDeviceKind::SimColdfireUsb}, {"sim:coldfire-cdc", TDeviceKind::SimColdfireCdc},
      {"sim:esp-usb", TDeviceKind::SimEspUsb}};
  for (const auto &[name, kind] : simulated) {
    if (text != name) continue;
    address.Kind = kind;
    return true;
  }
  if (text == "usb" || StartsWith(text, "usb:")) {
    address.Kind = TDeviceKind::Usb;
    address.Name = text.size() > 4 ? text.substr(4) : std::string();
    if (text != "usb:") return true;
    error = "serial number missing after usb:";
    return false;
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
  error = "unknown device " + text +
          " (use ip:ADDRESS, host:NAME, usb, usb:SERIAL, sim:coldfire, sim:coldfire-usb, sim:coldfire-cdc, sim:esp or "
          "sim:esp-usb)";
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
  TSimConfig config = MakeSimConfig(esp, options, logId);
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

TSimUsbHost::~TSimUsbHost() {
  if (FHidLink) FHidLink->Unplug();
  if (FCdcLink) FCdcLink->Unplug();
}

std::unique_ptr<TSimUsbHost> TSimUsbHost::Start(TSimUsbKind kind, const TSimDeviceOptions &options, int logId,
                                                std::string &error) {
  TSimFaults faults;
  TSimLinkFaults linkFaults;
  for (const std::string &f : options.Faults) ApplyFault(f, faults, linkFaults);
  // The faults of the network link have no USB counterpart; silently
  // dropping one would make a run look as if the fault had been survived.
  if (linkFaults.AnswerBu.Count != 0) {
    error = "--sim-fault refuse-commands: only for devices on the network";
    return nullptr;
  }
  std::unique_ptr<TSimUsbHost> sim(new TSimUsbHost());
  sim->FDevice = CreateSimDevice(MakeSimConfig(kind == TSimUsbKind::EspCdc, options, logId));
  sim->FDevice->SetFaults(faults);
  bool plugged = false;
  if (kind == TSimUsbKind::ColdfireHid) {
    TSimHidOptions link;
    link.LogId = logId;
    sim->FHidLink = std::make_unique<TSimHidLink>(*sim->FDevice, link);
    plugged = sim->FHidLink->Plug(error);
  } else {
    TSimCdcOptions link;
    link.LogId = logId;
    sim->FCdcLink = std::make_unique<TSimCdcLink>(*sim->FDevice, link);
    plugged = sim->FCdcLink->Plug(error);
  }
  if (!plugged) return nullptr;
  sim->FSerialNumber = IntToHex(options.Serial, 8);
  return sim;
}

int CreateTarget(const TDeviceAddress &address, const TSimDeviceOptions &simOptions, int logId, TTarget &target,
                 std::string &error) {
  std::string ip = address.Name;
  std::string host;
  switch (address.Kind) {
    case TDeviceKind::SimColdfire:
    case TDeviceKind::SimEsp:
      target.Sim = TSimHost::Start(address.Kind == TDeviceKind::SimEsp, simOptions, logId, error);
      if (!target.Sim) return fwr_OpenError;
      ip = target.Sim->GetAddress();
      break;
    case TDeviceKind::SimColdfireUsb:
    case TDeviceKind::SimColdfireCdc:
    case TDeviceKind::SimEspUsb: {
      const TSimUsbKind kind = address.Kind == TDeviceKind::SimColdfireUsb   ? TSimUsbKind::ColdfireHid
                               : address.Kind == TDeviceKind::SimColdfireCdc ? TSimUsbKind::ColdfireCdc
                                                                            : TSimUsbKind::EspCdc;
      target.SimUsb = TSimUsbHost::Start(kind, simOptions, logId, error);
      if (!target.SimUsb) return fwr_OpenError;
      return TakeUsbDevice(target.SimUsb->GetSerialNumber(), logId, target, error);
    }
    case TDeviceKind::Usb: return TakeUsbDevice(address.Name, logId, target, error);
    case TDeviceKind::Host: {
      std::vector<std::string> ips;
      platform::TZor_SysError sysError;
      if (!platform::ResolveHostIPv4(address.Name, ips, sysError) || ips.empty()) {
        error = "cannot resolve " + address.Name + ": " + platform::SystemErrorText(sysError);
        return fwr_NoConnection;
      }
      // The window lets the user pick one of several addresses; here the
      // choice must be made on the command line.
      if (ips.size() > 1) {
        std::string list;
        for (const std::string &one : ips) list += (list.empty() ? "" : ", ") + one;
        error = address.Name + " has several addresses (" + list + "); choose one with ip:ADDRESS";
        return fwr_NoConnection;
      }
      ip = ips.front();
      host = address.Name;
      break;
    }
    case TDeviceKind::Ip: break;
  }
  target.Device = std::make_unique<TZor_NetworkDevice>(logId, 0, nullptr, true, ip, host);
  return fwr_NoError;
}

}  // namespace zor::session
