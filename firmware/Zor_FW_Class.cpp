// Life cycle of the update engine, ownership of the current device, the
// front-end callbacks and the small helpers every action file shares.
#include "firmware/Zor_FW_Class.h"

#include "device/Zor_Report.h"
#include "foundation/LogUnit.h"
#include "net/Zor_NetworkDevice.h"
#include "usb/Zor_UsbDevice.h"

namespace zor {

TZorFirmwareClass::TZorFirmwareClass(int aLogId)
    : FLogId(aLogId),
      FUsbEnumerator([](int logId, std::string &errorText) { return Zor_EnumUsbDevices(logId, errorText); }) {
  ClearAll();
}

TZorFirmwareClass::~TZorFirmwareClass() {
  // The report processor refers to the device; it goes first.
  FreportDevice.reset();
  FEnumUsbList.clear();
  FFlashVariablesBuffer.clear();
  FFlashVariables.Clear();
  FBaseDevice = nullptr;
  FOwnedDevice.reset();
  FRetiredDevices.clear();
}

void TZorFirmwareClass::SetAppServices(TZor_AppServices *services) {
  FAppServices = services ? services : &FDefaultServices;
}

void TZorFirmwareClass::DoMessage(const std::string &text, TMessageType mType) {
  if (FOnMessage && !text.empty()) FOnMessage(this, text, mType);
}

void TZorFirmwareClass::DoProgress(TProgressType kind, int64_t value, const std::string &unitText) {
  if (FOnProgress) FOnProgress(this, kind, value, unitText);
}

void TZorFirmwareClass::Log(const std::string &text) const { LogText(FLogId, text); }
void TZorFirmwareClass::LogError(const std::string &text) const { LogErr(FLogId, text); }
void TZorFirmwareClass::LogStars() const { LogText(FLogId, std::string(50, '*')); }
void TZorFirmwareClass::MessageStars() { DoMessage(std::string(61, '*'), mtInfo); }

// ---- current device ---------------------------------------------------------------

void TZorFirmwareClass::SetBaseDevice(TZor_BaseDevice *device) {
  // A processor made for the previous device must not outlive the switch.
  FreportDevice.reset();
  if (FOwnedDevice && FOwnedDevice.get() != device) FRetiredDevices.push_back(std::move(FOwnedDevice));
  FBaseDevice = device;
  FanzeigeName = DeviceDisplayName(device);
  FConnectedUserString.clear();
  Log("TZorFirmwareClass.SetBaseDevice " + FanzeigeName);
  ClearAll();
  ReleaseRetiredDevices();
}

void TZorFirmwareClass::SetOwnedDevice(std::unique_ptr<TZor_BaseDevice> device) {
  TZor_BaseDevice *raw = device.get();
  SetBaseDevice(raw);
  FOwnedDevice = std::move(device);
}

void TZorFirmwareClass::ReplaceCurrentDevice(std::unique_ptr<TZor_BaseDevice> device) {
  FreportDevice.reset();
  if (FOwnedDevice) FRetiredDevices.push_back(std::move(FOwnedDevice));
  FBaseDevice = device.get();
  FOwnedDevice = std::move(device);
  ReleaseRetiredDevices();
}

void TZorFirmwareClass::ReleaseRetiredDevices() {
  if (FActionDepth == 0) FRetiredDevices.clear();
}

TZorFirmwareClass::TActionScope::TActionScope(TZorFirmwareClass &engine)
    : FEngine(engine), FRefused(engine.FActionDepth > 0) {
  ++FEngine.FActionDepth;
}

int TZorFirmwareClass::RefuseBusy(const char *action) {
  LogError(std::string("TZorFirmwareClass.") + action + " refused: another action is running");
  DoMessage(std::string(action) + ": another action is still running", mtWarning);
  return fwr_CommandDenied;
}

TZorFirmwareClass::TActionScope::~TActionScope() {
  --FEngine.FActionDepth;
  FEngine.ReleaseRetiredDevices();
}

std::string TZorFirmwareClass::DeviceDisplayName(TZor_BaseDevice *device) {
  if (!device) return std::string();
  if (TZor_NetworkDevice *net = AsNetworkDevice(device)) {
    if (net->GetDeviceHost().empty()) return "IP: " + net->GetDeviceIP();
    return "Host: " + net->GetDeviceHost();
  }
  if (TZor_UsbDevice *usb = dynamic_cast<TZor_UsbDevice *>(device)) return usb->GetPortDisplayName();
  return "USB: " + device->GetDevicePath();
}

TZor_UsbIdentity TZorFirmwareClass::UsbIdentity(TZor_BaseDevice *device) const {
  TZor_UsbIdentity id;
  if (!device || !device->IsUSBDevice()) return id;
  id.Valid = true;
  id.DevicePath = device->GetDevicePath();
  id.PortDisplayName = device->GetDevicePath();
  TZor_UsbDevice *usb = dynamic_cast<TZor_UsbDevice *>(device);
  if (!usb) return id;
  id.Vid = usb->GetVid();
  id.Pid = usb->GetPid();
  id.SerialNumber = usb->GetSerialNumber();
  id.SerialNumberPart = usb->GetSerialNumberPart();
  id.PortDisplayName = usb->GetPortDisplayName();
  id.IsBootLoader = usb->IsBootLoader();
  id.UsbStateValid = usb->IsValidUsbState();
  id.HIDColdfireCleared = usb->GetHIDColdfireCleared();
  id.HIDDoppelterString = usb->GetHIDDoppelterString();
  return id;
}

bool TZorFirmwareClass::IsNetworkDevice(const TZor_BaseDevice *device) {
  return device && device->GetDevType() == Zor_Remote;
}

TZor_NetworkDevice *TZorFirmwareClass::AsNetworkDevice(TZor_BaseDevice *device) {
  return IsNetworkDevice(device) ? dynamic_cast<TZor_NetworkDevice *>(device) : nullptr;
}

bool TZorFirmwareClass::IsESP(const TZor_BaseDevice *device) {
  return device && device->GetPeerType() == ptESP;
}

bool TZorFirmwareClass::IsColdfire(const TZor_BaseDevice *device) {
  return device && device->GetPeerType() == ptColdfire;
}

// ---- record and version data ------------------------------------------------------------

void TZorFirmwareClass::ClearFlashVariables() {
  FFlashVariables.Clear();
  FFlashVariables.PasswordEnabled = FBaseDevice && FBaseDevice->IsUSBDevice();
}

void TZorFirmwareClass::ClearVersionInfo() {
  FFirmwareVersion = -1;
  FFWMajor = -1;
  FFWMinor = -1;
  FVersionSerialNumber = 0xFFFFFFFF;
  FVersionFeature = 0;
  FFWVersionString.clear();
  FVersionFeatureString.clear();
  FFPGAVersion.clear();
  FVersionDate.clear();
  FVersionIPString.clear();
  FVersionString.clear();
}

void TZorFirmwareClass::ClearAll() {
  ClearFlashVariables();
  ClearVersionInfo();
}


bool TZorFirmwareClass::PauseProcessing(uint32_t ms, platform::TZor_Event *event) {
  constexpr uint32_t slice = 20;
  const uint32_t start = platform::GetTicks();
  for (;;) {
    const uint32_t spent = platform::TicksSince(start);
    if (spent >= ms) return false;
    const uint32_t step = std::min(slice, ms - spent);
    if (event) {
      if (event->WaitFor(step)) return true;
    } else {
      platform::SleepMs(step);
    }
    ProcessMessages();
  }
}

}  // namespace zor
