// The device a front end talks to: a network device by address or host name,
// a USB device of the maker by its serial number, or a simulated device that
// runs inside this process (on a loopback address, or plugged in as USB).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/Zor_BaseDevice.h"

namespace zor {
class TSimDevice;
class TSimNetLink;
class TSimHidLink;
class TSimCdcLink;
}  // namespace zor

namespace zor::session {

enum class TDeviceKind : uint8_t { Ip, Host, SimColdfire, SimEsp, Usb, SimColdfireUsb, SimColdfireCdc, SimEspUsb };

struct TDeviceAddress {
  TDeviceKind Kind = TDeviceKind::Ip;
  // The address or host name; for USB the serial number, its number part or
  // the nick name (empty: the only attached device); empty for a simulated device.
  std::string Name;
};

bool IsUsbAddress(const TDeviceAddress &address);
bool IsSimulatedAddress(const TDeviceAddress &address);

// "ip:ADDRESS", "host:NAME", "usb", "usb:SERIAL", "sim:coldfire",
// "sim:coldfire-usb", "sim:coldfire-cdc", "sim:esp" or "sim:esp-usb"; false
// with the reason.
bool ParseDeviceAddress(const std::string &text, TDeviceAddress &address, std::string &error);

// How a simulated device is set up (the defaults suit a quick run).
struct TSimDeviceOptions {
  int Firmware = -1;        // -1: ColdFire 112, ESP 114 (1.14)
  int UpdateFirmware = -1;  // version reported after an update; -1 unchanged
  uint32_t Serial = 0x0000ABCD;
  bool BootLoader = false;
  // Long enough that the engine's pings, 50 ms apart, see the device go down
  // even on a loaded machine (a missed silence reads as "no reset").
  uint32_t RestartMs = 1500;
  // never-ready, no-restart, refuse-login, program-status=N, refuse-commands
  // (every command frame answered "bu")
  std::vector<std::string> Faults;
};

// Checks a --sim-fault value; false with the reason.
bool CheckSimFault(const std::string &fault, std::string &error);

// How a simulated device is plugged into the in-process USB registry: a
// ColdFire device as HID or as a virtual COM port, an ESP device as a
// virtual COM port.
enum class TSimUsbKind : uint8_t { ColdfireHid, ColdfireCdc, EspCdc };

// A simulated device plugged into the in-process USB registry; unplugged
// when freed.
class TSimUsbHost {
 public:
  ~TSimUsbHost();
  TSimUsbHost(const TSimUsbHost &) = delete;
  TSimUsbHost &operator=(const TSimUsbHost &) = delete;

  static std::unique_ptr<TSimUsbHost> Start(TSimUsbKind kind, const TSimDeviceOptions &options, int logId,
                                            std::string &error);
  // The USB serial number it is listed under.
  const std::string &GetSerialNumber() const { return FSerialNumber; }
  TSimDevice &GetDevice() { return *FDevice; }
  // The link it is plugged in with; the other one is nullptr.
  TSimHidLink *GetHidLink() { return FHidLink.get(); }
  TSimCdcLink *GetCdcLink() { return FCdcLink.get(); }

 private:
  TSimUsbHost() = default;
  std::unique_ptr<TSimDevice> FDevice;
  std::unique_ptr<TSimHidLink> FHidLink;
  std::unique_ptr<TSimCdcLink> FCdcLink;
  std::string FSerialNumber;
};

// A simulated device on a free loopback address, with its network link. The
// address is claimed in the simulated-host registry, so pings follow the
// device through its restarts.
class TSimHost {
 public:
  ~TSimHost();
  TSimHost(const TSimHost &) = delete;
  TSimHost &operator=(const TSimHost &) = delete;

  static std::unique_ptr<TSimHost> Start(bool esp, const TSimDeviceOptions &options, int logId,
                                         std::string &error);
  const std::string &GetAddress() const { return FAddress; }
  TSimDevice &GetDevice() { return *FDevice; }
  TSimNetLink &GetLink() { return *FLink; }

 private:
  TSimHost() = default;
  std::unique_ptr<TSimDevice> FDevice;
  std::unique_ptr<TSimNetLink> FLink;
  std::string FAddress;
};

// What a command talks to: the device object for the engine and, for a
// simulated device, the simulator behind it (which must outlive the device).
struct TTarget {
  std::unique_ptr<TSimHost> Sim;
  std::unique_ptr<TSimUsbHost> SimUsb;
  std::unique_ptr<TZor_BaseDevice> Device;
};

// Creates the device object for `address`, starting the simulator first for
// sim: devices, resolving host names and finding USB devices. 0, or the
// engine's result code for the failure with the reason in `error`.
int CreateTarget(const TDeviceAddress &address, const TSimDeviceOptions &simOptions, int logId, TTarget &target,
                 std::string &error);

}  // namespace zor::session
