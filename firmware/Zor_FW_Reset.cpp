// Reset and reconnection: the reset command, the wait for a restarting device
// (pings for a network device; device-change notifications for a USB device,
// which comes back as a new device object), the notification handlers that
// drive the wait states, and the search for a device by its serial number.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>

#include "device/Zor_ColdfireCommands.h"
#include "firmware/Zor_FW_Class.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/IcmpPing.h"
#include "net/NetUtils.h"
#include "net/Zor_NetworkDevice.h"
#include "usb/USBUtils.h"
#include "usb/Zor_UsbDevice.h"

namespace zor {

namespace {

constexpr uint32_t cPingTimeoutMs = 1500;
// Pings while waiting for a network device to go away, and to come back.
constexpr int cPingsUntilDown = 350;
constexpr int cPingsUntilUp = 30;
// Consecutive missed echoes that count as the device having gone down. An
// echo gets lost on a live network now and then; three in a row (4.5 s of
// silence at the echo timeout) hardly, while a device that programs its flash
// or boots stays silent longer. A device that answers again after fewer
// misses is asked about its old session instead.
constexpr int cMissedEchoesDown = 3;
// Steps of 100 ms waiting for a USB device to come back.
constexpr int cUsbWaitSteps = 50;
constexpr int cUsbWaitStepsESP = 600;

const std::string cWaitPrefix = "TZorFirmwareClass.WaitDeviceReady ";

std::string Ordinal(TZor_WaitState state) { return std::to_string(static_cast<int>(state)); }

// One echo awaited on a helper thread while the front end keeps processing
// its messages: a missing echo takes the whole timeout, and a window must
// not freeze for that long.
bool PingWhileProcessing(const std::string &ip, std::string &error, const std::function<void()> &process) {
  auto echo = std::async(std::launch::async, [ip] {
    std::string text;
    const bool ok = PingIPAddress(ip, cPingTimeoutMs, text);
    return std::make_pair(ok, text);
  });
  while (echo.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) process();
  auto [ok, text] = echo.get();
  error = text;
  return ok;
}

}  // namespace

bool TZorFirmwareClass::IsZorUsbName(const std::string &name) {
  uint16_t vid = 0, pid = 0;
  UsbIdsOfName(name, vid, pid);
  return IsZorUsbId(vid, pid);
}

// The identity of the opened device ends where the name ends or at the next
// '#': serial 1A2B must not take the removal of 1A2B3 for its own.
bool TZorFirmwareClass::NamesOpenedUsbDevice(const std::string &name) const {
  if (FUsbName.empty()) return false;
  for (size_t pos = name.find(FUsbName); pos != std::string::npos; pos = name.find(FUsbName, pos + 1)) {
    const size_t end = pos + FUsbName.size();
    if (end == name.size() || name[end] == '#') return true;
  }
  return false;
}

// ---- device-change notifications ----------------------------------------------------------
//
// A removal of the opened device can be handled before the wait is armed (the
// front end processes notifications while the reset command is still being
// sent). It is remembered in FUsbDetachSeen/FPortDetachSeen, and a return of
// the device after such a removal moves the state straight to waitAttached,
// so WaitDeviceReady starts from what already happened instead of waiting for
// a removal that has passed.

void TZorFirmwareClass::UsbDetached(const std::string &name) {
  Log("TZorFirmwareClass.USBDetached " + name);
  if (!IsZorUsbName(name) || !NamesOpenedUsbDevice(name)) return;
  switch (FWaitState) {
    case waitDetachAttach:
      Log("TZorFirmwareClass.USBDetached: actual usb device detached");
      DoMessage("...resetted", mtInfo);
      LogStars();
      FWaitState = waitDetachedAttach;
      Log("TZorFirmwareClass.USBDetached -> state waitDetachedAttach");
      break;
    case waitNotSet:
      Log("TZorFirmwareClass.USBDetached: detached before the wait");
      FUsbDetachSeen = true;
      break;
    default:
      LogError("TZorFirmwareClass.USBDetached: unexpected detach of actual usb device, state=" +
               Ordinal(FWaitState));
  }
}

void TZorFirmwareClass::UsbAttached(const std::string &name) {
  Log("TZorFirmwareClass.USBAttached " + name);
  // The device may come back under another identity: any of the maker's
  // devices counts.
  if (!IsZorUsbName(name)) return;
  if (FWaitState == waitNotSet && FUsbDetachSeen) {
    Log("TZorFirmwareClass.USBAttached before the wait -> state waitAttached");
    FWaitState = waitAttached;
    return;
  }
  if (FWaitState == waitDetachedAttach) {
    Log("TZorFirmwareClass.USBAttached -> state waitAttached");
    FWaitState = waitAttached;
    if (FWaitStatePort == waitNotSet || FWaitStatePort == waitAttached) {
      Log("TZorFirmwareClass.USBAttached signal waitEvent");
      FWaitEvent.Signal();
    }
  } else if (FWaitState != waitNotSet) {
    LogError("TZorFirmwareClass.USBAttached: unexpected waitState: " + Ordinal(FWaitState));
  }
}

void TZorFirmwareClass::PortDetached(const std::string &name) {
  Log("PortDetached " + name);
  // The whole node: ttyACM1 is not ttyACM10.
  if (name.empty() || FDevicePath.empty() || DeviceNodeOfPath(FDevicePath) != name) return;
  if (FWaitStatePort == waitDetachAttach) {
    Log("PortDetached: actual usb port detached");
    FWaitStatePort = waitDetachedAttach;
    Log("PortDetached -> state waitDetachedAttach");
  } else if (FWaitStatePort == waitNotSet) {
    Log("PortDetached: detached before the wait");
    FPortDetachSeen = true;
  } else if (FWaitState != waitNotSet) {
    LogError("PortDetached: unexpected detach of actual usb port, state=" + Ordinal(FWaitStatePort));
  }
}

void TZorFirmwareClass::PortAttached(const std::string &name) {
  Log("PortAttached " + name);
  if (FWaitStatePort == waitNotSet && FPortDetachSeen) {
    Log("PortAttached before the wait -> state waitAttached");
    FWaitStatePort = waitAttached;
    return;
  }
  if (FWaitStatePort == waitDetachedAttach) {
    Log("PortAttached -> state waitAttached");
    FWaitStatePort = waitAttached;
    if (FWaitState == waitAttached) {
      Log("PortAttached signal waitEvent");
      FWaitEvent.Signal();
    }
  } else if (FWaitStatePort != waitNotSet) {
    Log("PortAttached unexpected waitState: " + Ordinal(FWaitStatePort));
  }
}

// ---- waiting --------------------------------------------------------------------------------

bool TZorFirmwareClass::WaitEvent(int count) {
  DoProgress(tpt_SetPosition, 0);
  DoProgress(tpt_SetMax, count);
  bool signaled = false;
  for (int step = 0; step < count && !signaled; ++step) {
    // Notifications reach the engine only while the front end runs its
    // message processing.
    ProcessMessages();
    signaled = PauseProcessing(100, &FWaitEvent);
    if (signaled)
      Log("WaitEvent: signaled, ms=" + std::to_string(100 * step));
    else
      DoProgress(tpt_StepBy, 1);
  }
  if (!signaled) LogError("WaitEvent: Timeout");
  DoProgress(tpt_SetPosition, 0);
  return signaled;
}

int TZorFirmwareClass::WaitDeviceReady(uint32_t resetSerialNumber, bool resetFailed) {
  Log("TZorFirmwareClass.WaitDeviceReady");
  TZor_BaseDevice *device = FBaseDevice;
  if (!device) return fwr_InvalidParameter;
  if (TZor_NetworkDevice *net = AsNetworkDevice(device)) return WaitNetworkDeviceReady(net, resetFailed);
  return WaitUsbDeviceReady(device, resetSerialNumber);
}

bool TZorFirmwareClass::PingUntilAnswer(const std::string &ip, int tries) {
  for (int n = 1; n <= tries; ++n) {
    DoProgress(tpt_StepBy, 1);
    ProcessMessages();
    std::string error;
    if (PingWhileProcessing(ip, error, [this] { ProcessMessages(); })) {
      Log(cWaitPrefix + "Ping ok count=" + std::to_string(n));
      return true;
    }
    LogError(cWaitPrefix + "Ping failed:" + error + " count=" + std::to_string(n));
  }
  return false;
}

bool TZorFirmwareClass::OldSessionAlive(TZor_NetworkDevice *net) {
  // TRYBABY for the session of this run: "ok" means the device still holds it.
  const bool alive = net->TestDataConnected();
  Log(cWaitPrefix + (alive ? "old session still open" : "old session gone"));
  return alive;
}

TZorFirmwareClass::TDeviceDown TZorFirmwareClass::WaitNetworkDeviceDown(TZor_NetworkDevice *net) {
  const std::string ip = net->GetDeviceIP();
  int missed = 0;
  for (int n = 1; n <= cPingsUntilDown; ++n) {
    DoProgress(tpt_StepBy, 1);
    ProcessMessages();
    std::string error;
    if (!PingWhileProcessing(ip, error, [this] { ProcessMessages(); })) {
      Log(cWaitPrefix + "Ping failed:" + error + " count=" + std::to_string(n));
      if (++missed >= cMissedEchoesDown) return ddSilent;
      continue;
    }
    LogError(cWaitPrefix + "Ping ok count=" + std::to_string(n));
    if (missed > 0) {
      if (!OldSessionAlive(net)) return ddRestarted;
      Log(cWaitPrefix + "echo lost, no restart");
      missed = 0;
    }
    platform::SleepMs(50);
  }
  return ddStillUp;
}

int TZorFirmwareClass::WaitNetworkDeviceReady(TZor_NetworkDevice *net, bool resetFailed) {
  LogStars();
  DoMessage("Waiting for device reset...", mtInfo);
  Log(cWaitPrefix + "wait for ping failure IP=" + net->GetDeviceIP());
  DoProgress(tpt_SetMax, cPingsUntilDown);
  int result = fwr_NoError;
  switch (WaitNetworkDeviceDown(net)) {
    case ddStillUp:
      if (resetFailed) {
        Log(cWaitPrefix + "reset failed: no ping failure -> ok after port closed");
      } else {
        LogError(cWaitPrefix + "reset failed: no ping failure");
        result = fwr_NoReset;
      }
      break;
    case ddRestarted:
      // Back at once, but a device that takes a new address is looked for there.
      if (FFlashNewHost.empty() && (FFlashNewIP.empty() || FFlashNewIP == net->GetDeviceIP())) break;
      [[fallthrough]];
    case ddSilent: result = WaitNetworkDeviceBack(net); break;
  }

  DoProgress(tpt_SetPosition, 0);
  CloseDevice(net, result == fwr_NoError);
  ProcessMessages();
  if (result == fwr_NoError) FZustandNachReset = true;
  return result;
}

int TZorFirmwareClass::WaitNetworkDeviceBack(TZor_NetworkDevice *net) {
  std::string tried;
  const std::string ip = WaitForPingAnswer(net, tried);
  if (ip.empty()) {
    LogError(cWaitPrefix + "reset failed: no ping success");
    DoMessage("The device went down but did not answer again at " + tried, mtErr);
    return fwr_DeviceMissing;
  }
  // Silent for a while but never restarted: the device still holds the
  // session. Under a new address it can only be back from a restart.
  if (ip == net->GetDeviceIP() && OldSessionAlive(net)) {
    LogError(cWaitPrefix + "reset failed: old session still open");
    return fwr_NoReset;
  }
  return fwr_NoError;
}

// The device answers again: under its old or new address, or under one of the
// addresses of its new host name.
std::string TZorFirmwareClass::WaitForPingAnswer(TZor_NetworkDevice *net, std::string &tried) {
  std::vector<std::string> candidates{FFlashNewIP.empty() ? net->GetDeviceIP() : FFlashNewIP};
  bool fromHost = false;
  if (!FFlashNewHost.empty()) {
    std::string error;
    const auto ips = GetIPsFromHost(FFlashNewHost, error);
    const std::string lookup = cWaitPrefix + "GetIPFromHost(" + FFlashNewHost + ")";
    if (!ips || ips->empty()) {
      LogError(lookup + " failed: " + error);
    } else {
      candidates = *ips;
      fromHost = true;
      if (ips->size() == 1) {
        FFlashNewIP = ips->front();
        Log(lookup + " -> " + FFlashNewIP);
      } else {
        Log(lookup + " found " + std::to_string(ips->size()) + " IPs");
        for (const std::string &ip : *ips) Log(cWaitPrefix + "found IP=" + ip);
      }
    }
  }

  // A failed configuration write may not have moved the device: its present
  // address comes last.
  if (!FFlashOldIP.empty() && std::find(candidates.begin(), candidates.end(), FFlashOldIP) == candidates.end())
    candidates.push_back(FFlashOldIP);

  for (const std::string &ip : candidates) {
    Log(cWaitPrefix + "wait for ping success IP=" + ip);
    DoMessage("Waiting for device IP " + ip + "...", mtInfo);
    DoProgress(tpt_SetPosition, 0);
    DoProgress(tpt_SetMax, cPingsUntilUp);
    if (PingUntilAnswer(ip, cPingsUntilUp)) {
      // Where it answered is where it is now, for whoever follows it.
      if (fromHost || ip == FFlashOldIP) FFlashNewIP = ip;
      return ip;
    }
    tried += (tried.empty() ? "" : ", ") + ip;
  }
  return {};
}

// Arms the wait states from what was already seen (see the handlers above).
void TZorFirmwareClass::ArmUsbWait() {
  FWaitEvent.Reset();
  FWaitState =
      FUsbDetachSeen ? (FWaitState == waitAttached ? waitAttached : waitDetachedAttach) : waitDetachAttach;
  FWaitStatePort = FPortDetachSeen ? (FWaitStatePort == waitAttached ? waitAttached : waitDetachedAttach)
                                   : waitDetachAttach;
  FUsbDetachSeen = false;
  FPortDetachSeen = false;
  if (FWaitState == waitAttached && FWaitStatePort == waitAttached) FWaitEvent.Signal();
  if (FWaitState == waitDetachAttach)
    Log("WaitDeviceReady.WaitState=waitDetachAttach");
  else
    Log("WaitDeviceReady.WaitState=" + Ordinal(FWaitState) + ", port=" + Ordinal(FWaitStatePort) +
        " (seen before the wait)");
}

int TZorFirmwareClass::WaitUsbDeviceReady(TZor_BaseDevice *device, uint32_t resetSerialNumber) {
  ArmUsbWait();
  LogStars();
  DoMessage("Waiting for device reset...", mtInfo);

  const bool esp = IsESP(device);
  CloseDevice(device, false);
  int result = fwr_NoError;
  if (!WaitEvent(esp ? cUsbWaitStepsESP : cUsbWaitSteps)) {
    switch (FWaitState) {
      case waitDetachAttach: result = fwr_NoReset; break;
      case waitDetachedAttach: {
        // Typically the system is still installing a driver for the
        // device's new identity; the user knows when that has finished. A
        // user who does not confirm gives up on the device: it is not looked
        // for, and the wait ends as if it had not come back.
        const std::string text = "Device will be installed. Please confirm when installation has finished";
        Log(text);
        if (!FAppServices->Confirm(text)) {
          LogError("WaitDeviceReady: installation not confirmed");
          result = fwr_DeviceMissing;
        }
        break;
      }
      default: break;
    }
  }

  if (result == fwr_DeviceMissing) {
    Log("Waiting finished");
    return result;
  }
  std::unique_ptr<TZor_BaseDevice> found = GetNewUsbItem(resetSerialNumber);
  const bool haveDevice = found != nullptr;
  // Directly, not through SetBaseDevice: the display name stays.
  ReplaceCurrentDevice(std::move(found));
  if (haveDevice) {
    if (result != fwr_NoReset) DoMessage("...announced", mtInfo);
    LogStars();
  } else {
    LogError("No Zor device found");
    result = fwr_DeviceMissing;
  }
  if (result == fwr_NoError) FZustandNachReset = true;
  Log("Waiting finished");
  return result;
}

int TZorFirmwareClass::DoReset(TZor_BaseDevice *&device, uint32_t resetSerialNumber) {
  LogStars();
  DoMessage("Reset Zor device...", mtInfo);
  if (!device) return fwr_InvalidParameter;

  Log("DoReset: Send reset cmd");
  int result = WriteDevice(device, FResetBoth ? CmdResetBoth() : CmdReset());
  if (result == fwr_NoError) {
    Log("TZorFirmwareClass.DoReset wait commands send");
    result = WaitCmdsSend(device);
  }
  FResetBoth = false;
  bool resetFailed = false;
  if (result != fwr_NoError) {
    resetFailed = true;
    // Refused, or no session to carry it: the device was never told to
    // reset and still holds the session, which it is asked to end.
    const bool neverSent = result == fwr_CommandDenied || (result == fwr_NoConnection && !HasSession(device));
    if (IsNetworkDevice(device) && !neverSent) {
      Log("RemoteDevice: erzwinge Ende");
      CloseDevice(device, true);
      result = fwr_NoError;
    } else {
      DoMessage("Reset failed: " + ErrorText(result), mtErr);
      CloseDevice(device, false);
      return result;
    }
  }
  result = WaitDeviceReady(resetSerialNumber, resetFailed);
  device = FBaseDevice;
  ProcessMessages();
  return result;
}

// ---- USB enumeration ----------------------------------------------------------------------

int TZorFirmwareClass::EnumUsbDevices() {
  Log("TZorFirmwareClass.EnumUsbDevices");
  // The current device may be an item of the old list; it stays alive as the
  // engine's own device.
  for (std::unique_ptr<TZor_BaseDevice> &item : FEnumUsbList) {
    if (item && item.get() == FBaseDevice) {
      ReplaceCurrentDevice(std::move(item));
      break;
    }
  }
  FEnumUsbList.clear();
  FHaveUsbList = true;
  if (!FUsbEnumerator) return 0;
  try {
    std::string errorText;
    FEnumUsbList = FUsbEnumerator(FLogId, errorText);
    if (!errorText.empty()) DoMessage(errorText, mtErrInfo);
  } catch (const std::exception &e) {
    LogExcept(FLogId, "Zor_EnumUsbDevices failed", e);
    throw;
  }
  for (size_t i = 0; i < FEnumUsbList.size(); ++i)
    if (FEnumUsbList[i]) Log("found(" + std::to_string(i) + "): " + FEnumUsbList[i]->ToString());
  return static_cast<int>(FEnumUsbList.size());
}

int TZorFirmwareClass::GetUsbDeviceCount() {
  if (!FHaveUsbList) EnumUsbDevices();
  return static_cast<int>(FEnumUsbList.size());
}

TZor_BaseDevice *TZorFirmwareClass::GetUsbDevice(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= FEnumUsbList.size()) return nullptr;
  return FEnumUsbList[static_cast<size_t>(index)].get();
}

std::unique_ptr<TZor_BaseDevice> TZorFirmwareClass::GetNewUsbItem(uint32_t serialNumber) {
  const std::string wanted = "serialNumber 0x" + IntToHex(serialNumber, 8);
  Log("TZorFirmwareClass.GetNewUsbItem " + wanted);
  EnumUsbDevices();
  for (auto it = FEnumUsbList.begin(); it != FEnumUsbList.end(); ++it) {
    TZor_BaseDevice *item = it->get();
    if (!item) {
      LogError("TZorFirmwareClass.GetNewUsbItem item=nil");
      continue;
    }
    const uint32_t value = item->GetSerialNumberValue();
    if (value != serialNumber) {
      Log("TZorFirmwareClass.GetNewUsbItem ignore serialNumber 0x" + IntToHex(value, 8));
      continue;
    }
    if (!UsbIdentity(item).UsbStateValid) {
      LogError("TZorFirmwareClass.GetNewUsbItem: found device has invalid state");
      continue;
    }
    // A fresh object, logging under the engine's id; the list keeps its own.
    if (auto *usb = dynamic_cast<TZor_UsbDevice *>(item))
      return std::make_unique<TZor_UsbDevice>(FLogId, -1, nullptr, false, *usb);
    // Any other device object (a test's) is handed over itself.
    std::unique_ptr<TZor_BaseDevice> found = std::move(*it);
    FEnumUsbList.erase(it);
    return found;
  }
  Log("TZorFirmwareClass.GetNewUsbItem " + wanted + " not found");
  return nullptr;
}

}  // namespace zor
