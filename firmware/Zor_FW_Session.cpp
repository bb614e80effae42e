// The session services every engine action uses: opening and closing the
// device, writing a command (with one retry on a timeout), reading device
// memory and status answers, waiting for queued commands, draining stale
// input, reading the firmware version, and the access checks that protect a
// device shared with other programs.
#include <algorithm>

#include "device/Zor_ColdfireCommands.h"
#include "device/Zor_Report.h"
#include "firmware/Zor_FW_Class.h"
#include "foundation/CircularBuffer.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"
#include "platform/Zor_UsbEnum.h"

namespace zor {

namespace {

const char *BoolText(bool value) { return value ? "True" : "False"; }

bool StartsWith(const std::string &text, char a, char b) {
  return text.size() >= 2 && text[0] == a && text[1] == b;
}

// Reads of device memory and status answers wait at most this long.
constexpr uint32_t cReadAnswerMs = 1000;
// Bound for ReadStatus waiting on its own command to leave the queue.
constexpr uint32_t cStatusSendMs = 2000;
// Draining stale input gives up after this long on a device that never stops talking.
constexpr uint32_t cDrainMaxMs = 5000;
constexpr uint32_t cVersionWaitMs = 10000;

}  // namespace

// ---- open and close --------------------------------------------------------------------

int TZorFirmwareClass::OpenDevice(TZor_BaseDevice *device, bool ToolsMode, bool showMessages) {
  LogStars();
  Log("TZorFirmwareClass.OpenDevice " + DeviceDisplayName(device) + " ToolsMode=" + BoolText(ToolsMode));
  auto report = [&](const std::string &text) {
    if (showMessages)
      DoMessage(text, mtErr);
    else
      LogError(text);
  };
  if (!device) {
    FOpenErrorMsg = ErrorText(fwr_DeviceMissing);
    report(FOpenErrorMsg);
    FDeviceResult = fwr_DeviceMissing;
    LogStars();
    return FDeviceResult;
  }

  device->SetLowLevelLog(FLowLevelLog);
  device->SetContextTool(ToolsMode);
  device->SetOpt7019(true);
  TZor_NetworkDevice *net = AsNetworkDevice(device);
  bool splash = false;
  if (net) {
    net->SetServerPort(FUseServerPort);
    FAppServices->ShowSplash("Connecting to " + net->GetDeviceIPAndPort() + ". Please wait...");
    splash = true;
  }
  // The splash goes away however the open ends.
  TZor_OnExit hideSplash([&] {
    if (splash) FAppServices->HideSplash();
  });

  FOpenErrorMsg.clear();
  int result = fwr_NoError;
  if (device->OpenPort(FOpenErrorMsg)) {
    std::string text = "Connected to " + FanzeigeName;
    if (IsDeviceBootloader(device)) text += " in BOOT LOADER mode";
    if (showMessages)
      DoMessage(text, mtInfo);
    else
      Log(text);
    const TZor_UsbIdentity usb = UsbIdentity(device);
    if (usb.Valid) {
      // The same name device-change notifications carry.
      FUsbName = platform::UsbIdentityName(usb.Vid, usb.Pid, usb.SerialNumber);
      FDevicePath = usb.DevicePath;
      Log("TZorFirmwareClass.OpenDevice.UsbName=" + FUsbName + ", DeviceName=" + FDevicePath);
      FWaitState = waitNotSet;
      FWaitStatePort = waitNotSet;
      FUsbDetachSeen = false;
      FPortDetachSeen = false;
      Log("TZorFirmwareClass.OpenDevice.WaitState=waitNotSet");
    } else if (net) {
      FUseServerPort = net->GetServerPort();
    }
  } else {
    report(FOpenErrorMsg);
    FUsbName.clear();
    FDevicePath.clear();
    // A device whose user slots are all taken is not broken: say why.
    result = device->GetErrorCode() == Zor_TooManyUser ? fwr_TooManyUser : fwr_OpenError;
  }
  FDeviceResult = result;
  LogStars();
  return result;
}

void TZorFirmwareClass::CloseDevice(TZor_BaseDevice *device, bool force) {
  if (!device) return;
  TZor_NetworkDevice *net = AsNetworkDevice(device);
  if (net) FAppServices->ShowSplash("Disconnecting from remote device. Please wait...");
  if (force && net) {
    net->SetForcedClose(false);
    net->ForceClose();
  } else {
    device->ClosePort();
  }
  if (net) FAppServices->HideSplash();
}

// ---- write and read ------------------------------------------------------------------------

bool TZorFirmwareClass::HasSession(const TZor_BaseDevice *device) {
  // Closed, never opened or cut by the device: a network device would still
  // send a command, on a management connection of its own, outside any
  // session. A USB transport refuses writes on a closed handle itself.
  return !IsNetworkDevice(device) || device->IsSessionOpen();
}

void TZorFirmwareClass::HandOverLogin(TZor_BaseDevice *device) {
  if (TZor_NetworkDevice *net = AsNetworkDevice(device)) net->SetCryptPassword(FCryptPassword);
}

int TZorFirmwareClass::WriteDevice(TZor_BaseDevice *device, const std::string &command) {
  if (!device) return FDeviceResult = fwr_InvalidParameter;
  if (!HasSession(device)) {
    LogError("TZorFirmwareClass.WriteDevice no session -> not sent {" + BytesToHex(command) + "}");
    return FDeviceResult = fwr_NoConnection;
  }
  // A successful write counts as success even when an older error is still
  // stored in the device; only a failed write is judged by the error code.
  auto write = [&] {
    if (device->DeviceWrite(command)) return Zor_No_Err;
    const TZor_Result code = device->GetErrorCode();
    return code == Zor_No_Err ? Zor_WriteError : code;
  };
  TZor_Result code;
  if (FreportDevice && device == FBaseDevice)
    code = FreportDevice->SendCommand(command);
  else
    code = write();

  const bool isReset = command == CmdReset();
  if (code == Zor_Err_RequestTimeout) {
    if (IsNetworkDevice(device) && isReset) {
      Log("TZorFirmwareClass.WriteDevice.Timeout: DO NOT repeat reset cmd");
    } else {
      Log("TZorFirmwareClass.WriteDevice.Timeout: Repeat once");
      device->QuitError();
      DoMessage("Sending command timed out, repeat it once", mtInfo);
      ProcessMessages();
      Log("{" + BytesToHex(command) + "}");
      code = write();
    }
  }

  int result;
  switch (code) {
    case Zor_No_Err: result = fwr_NoError; break;
    case Zor_Err_ConnectFailed: result = fwr_NoConnection; break;
    case Zor_Err_RequestDenied: result = fwr_CommandDenied; break;
    case Zor_Err_RequestTimeout: result = fwr_Timeout; break;
    default:
      if (isReset) {
        Log("TZorFirmwareClass.WriteDevice failed after reset cmd");
        result = fwr_Timeout;
      } else {
        result = fwr_WriteError;
      }
  }
  FDeviceResult = result;
  return result;
}

std::string TZorFirmwareClass::WriteFailureText(const TZor_BaseDevice *device, int result) {
  if (device && device->GetErrorCode() == Zor_DeviceNotConnected) return device->GetErrorMessage();
  return ErrorText(result);
}

void TZorFirmwareClass::ReadDevice(TZor_BaseDevice *device, uint32_t address, std::string &data,
                                   uint32_t length) {
  data.clear();
  if (!device || length < 1 || length > 255) {
    FDeviceResult = fwr_InvalidParameter;
    return;
  }
  const std::string cmd = CmdReadMemory(address, static_cast<uint8_t>(length));
  // A late answer to an earlier read is not this read's answer.
  device->ClearToolsAnswers();
  if (WriteDevice(device, cmd) != fwr_NoError) return;

  // A boot loader answers slowly; an application is polled at the finest
  // step the clock offers.
  const uint32_t pause = IsDeviceBootloader(device) ? 10 : 1;
  const uint32_t start = platform::GetTicks();
  for (;;) {
    device->ToolsRead(length, data);
    if (!data.empty() || platform::TicksSince(start) >= cReadAnswerMs) break;
    platform::SleepMs(pause);
  }

  const TZor_UsbIdentity usb = UsbIdentity(device);
  if (usb.HIDColdfireCleared) {
    LogError("TZorFirmwareClass.ReadDevice Nullstring empfangen -> nochmal lesen");
    device->DeviceRead(length, data);
  } else if (usb.HIDDoppelterString) {
    LogError("TZorFirmwareClass.ReadDevice Doppelten String empfangen -> nochmal lesen");
    if (WriteDevice(device, cmd) != fwr_NoError) {
      data.clear();
      return;
    }
    device->DeviceRead(length, data);
  }
  if (data.size() != length && FDeviceResult == fwr_NoError) FDeviceResult = fwr_ReadError;
}

void TZorFirmwareClass::ReadStatus(TZor_BaseDevice *device, uint8_t sub, std::string &data, uint32_t length) {
  data.clear();
  if (!device) {
    FDeviceResult = fwr_InvalidParameter;
    return;
  }
  const uint32_t pending = device->GetPendingCmdsCount();
  device->ClearToolsAnswers();
  if (WriteDevice(device, CmdStatusRequest(sub)) != fwr_NoError) return;

  // The answer can only come once the request has left the queue; a queue
  // that never drains must not hold the action forever.
  uint32_t start = platform::GetTicks();
  while (device->GetPendingCmdsCount() > pending) {
    if (platform::TicksSince(start) >= cStatusSendMs) {
      LogError("TZorFirmwareClass.ReadStatus: command not sent");
      break;
    }
    PauseProcessing(100);
  }

  start = platform::GetTicks();
  for (;;) {
    device->ToolsRead(length, data);
    if (!data.empty()) {
      Log("TZorFirmwareClass.ReadStatus " + BytesToHex(data));
      break;
    }
    if (platform::TicksSince(start) >= cReadAnswerMs) break;
    PauseProcessing(100);
  }
  if (data.size() != length && FDeviceResult == fwr_NoError) FDeviceResult = fwr_ReadError;
}

int TZorFirmwareClass::WaitCmdsSend(TZor_BaseDevice *device) {
  if (!device) return fwr_InvalidParameter;
  const uint32_t timeout = std::max<uint32_t>(1000, 200 * device->GetPendingCmdsCount());
  const uint32_t start = platform::GetTicks();
  while (platform::TicksSince(start) < timeout && device->GetPendingCmdsCount() > 0) {
    ProcessMessages();
    platform::SleepMs(1);
  }
  Log("WaitCmdsSend: max timeout=" + std::to_string(timeout) +
      "ms, elapsed=" + std::to_string(platform::TicksSince(start)));

  if (const uint32_t left = device->GetPendingCmdsCount()) {
    int result;
    if (device->GetErrorCode() != Zor_No_Err) {
      LogError("WaitCmdsSend failed Device error=" + ResultToText(device->GetErrorCode()) +
               " commands left=" + std::to_string(left));
      result = fwr_WriteError;
    } else {
      LogError("WaitCmdsSend: Timeout commands left=" + std::to_string(left));
      result = fwr_Timeout;
    }
    Log("WaitCmdsSend: delete commands " + std::to_string(left));
    device->DeleteCommands();
    return result;
  }
  const uint32_t delay = device->GetDelayNextCmdMs();
  if (delay > 1) {
    Log("WaitCmdsSend: command delay=" + std::to_string(delay));
    platform::SleepMs(delay);
  }
  return fwr_NoError;
}

// ---- stale input and reports -------------------------------------------------------------------

void TZorFirmwareClass::ClearDeviceOpen() {
  if (!FBaseDevice || !FBaseDevice->GetPortIsOpened()) return;
  Log("TZorFirmwareClass.ClearDeviceOpen -> clear buffer");
  TCircularBuffer &buffer = FBaseDevice->GetReceiveBuffer();
  buffer.Clear();
  buffer.GetBufferCleared();
}

void TZorFirmwareClass::ReadUntilEmpty() {
  TZor_BaseDevice *device = FBaseDevice;
  if (!device || (IsColdfire(device) && device->IsUSBDevice())) return;
  Log("TZorFirmwareClass.ReadUntilEmpty");
  const uint32_t start = platform::GetTicks();
  for (;;) {
    std::string s;
    if (IsColdfire(device)) {
      Log("Sleep 200");
      PauseProcessing(200);
    }
    if (IsESP(device))
      NextReport(s);
    else
      device->DeviceRead(1, s);
    Log("TZorFirmwareClass.ReadUntilEmpty s=" + BytesToHex(s));
    Log("ReadUntilEmpty: nach Lesen amount=" + std::to_string(device->GetBufferAmount()));
    device->GetReceiveBuffer().Clear();
    if (s.empty()) break;
    if (platform::TicksSince(start) >= cDrainMaxMs) {
      LogError("TZorFirmwareClass.ReadUntilEmpty: device keeps sending, giving up");
      break;
    }
  }
  FreeReportDevice();
  Log("TZorFirmwareClass.ReadUntilEmpty END");
}

TZor_Result TZorFirmwareClass::NextReport(std::string &text) {
  text.clear();
  if (!FBaseDevice) return Zor_DeviceNotConnected;
  if (!FreportDevice) {
    FreportDevice = std::make_unique<TZor_ReportDevice>(*FBaseDevice);
    FreportDevice->LogReport = true;
  }
  return FreportDevice->GetReport(text);
}

void TZorFirmwareClass::FreeReportDevice() { FreportDevice.reset(); }

// ---- firmware version -----------------------------------------------------------------------------

int TZorFirmwareClass::GetDeviceFirmwareVersion_intern(TZor_BaseDevice *device, std::string &err) {
  ClearVersionInfo();
  err.clear();
  if (!device) return fwr_InvalidParameter;
  if (IsDeviceBootloader(device)) {
    LogError("Reading firmware version NOT possible in bootloader");
    FFirmwareVersion = 1;
    return fwr_NoError;
  }
  bool opened = false;
  if (!device->GetPortIsOpened()) {
    const int r = OpenDevice(device, false, false);
    if (r != fwr_NoError) {
      DoMessage(FOpenErrorMsg, mtErr);
      err = FOpenErrorMsg;
      return r;
    }
    opened = true;
  }

  int result = fwr_Timeout;
  TZor_OnExit finish([&] {
    LogStars();
    FreeReportDevice();
    Log("GetDeviceFirmwareVersion_intern Result=" + std::to_string(result));
    if (opened) {
      LogError("GetDeviceFirmwareVersion_intern -> CloseDevice");
      CloseDevice(device, false);
    }
  });

  LogStars();
  DoMessage("Reading firmware version...", mtInfo);
  if (IsESP(device)) {
    Log("GetDeviceFirmwareVersion_intern LUM2 without version cmd");
  } else {
    Log("GetDeviceFirmwareVersion_intern send version cmd");
    if (WriteDevice(device, CmdVersion()) != fwr_NoError) {
      DoMessage("Reading firmware version failed: " + device->GetErrorMessage(), mtErr);
      return result = fwr_WriteError;
    }
  }

  DoProgress(tpt_SetPosition, 0);
  DoProgress(tpt_SetMax, 100);
  result = ReadVersionReports(device, err);
  DoProgress(tpt_SetPosition, 0);
  switch (result) {
    case fwr_TooManyUser: LogError("GetDeviceFirmwareVersion_intern: Too many users"); break;
    case fwr_ReferenceClockError: LogError("GetDeviceFirmwareVersion_intern: Reference Clock Error"); break;
    case fwr_Timeout: LogError("GetDeviceFirmwareVersion_intern: Timeout"); break;
    default:
      if (!FVersionString.empty()) DoMessage("Firmware version: " + FVersionString, mtOk);
  }
  return result;
}

int TZorFirmwareClass::ReadVersionReports(TZor_BaseDevice *device, std::string &err) {
  int result = fwr_Timeout;
  const uint32_t start = platform::GetTicks();
  while (platform::TicksSince(start) < cVersionWaitMs) {
    std::string report;
    const TZor_Result r = NextReport(report);
    if (r == Zor_HardwareFault) {
      LogError("GetDeviceFirmwareVersion_intern Hardware fault: Reading firmware version NOT possible");
      DoMessage("Hardware fault: Reading firmware version NOT possible", mtErr);
      FFirmwareVersion = 1;
      return fwr_NoError;
    }
    if (r != Zor_No_Err) {
      DoMessage(report.empty() ? ResultToText(r) : report, mtErr);
      return r == Zor_WriteError ? fwr_WriteError : fwr_ReadError;
    }
    if (StartsWith(report, '\x7F', '\xFA')) return fwr_TooManyUser;
    if (StartsWith(report, '\x7F', '\xF9')) {
      // Keep listening: the version report may still follow.
      result = fwr_ReferenceClockError;
      err = report.substr(2);
      LogError(err);
      device->SetReferenceClockError(true);
      continue;
    }
    if (StartsWith(report, '\x70', '\x01')) {
      if (!FreportDevice->GetVersionReceived()) return InvalidVersionReport();
      TakeVersion(device, report);
      return fwr_NoError;
    }
    if (!report.empty()) continue;
    DoProgress(tpt_StepBy, 1);
    PauseProcessing(100);
    if (device->GetReceiveBufferCleared()) Log("GetDeviceFirmwareVersion_intern StreamInterrupted");
  }
  // A device that answered with nothing but unreadable version reports did not time out.
  if (result == fwr_Timeout && FreportDevice && FreportDevice->GetInvalidVersionSeen())
    return InvalidVersionReport();
  return result;
}

int TZorFirmwareClass::InvalidVersionReport() {
  LogError("GetDeviceFirmwareVersion_intern: invalid version report");
  DoMessage("Invalid firmware version report", mtErr);
  return fwr_ReadError;
}

void TZorFirmwareClass::TakeVersion(TZor_BaseDevice *device, const std::string &report) {
  const TZor_ReportDevice &rd = *FreportDevice;
  FFWMajor = rd.GetFWMajor();
  FFWMinor = rd.GetFWMinor();
  FFWVersionString = rd.GetFWVersionString();
  FVersionFeatureString = rd.GetHardFeatureString();
  FFirmwareVersion = rd.GetFirmwareVersion();
  FFPGAVersion = rd.GetFPGAVersion();
  FVersionFeature = device->GetHardFeature();
  FVersionDate = rd.GetFirmwareDate();
  FVersionIPString = rd.GetVersionIP();
  FVersionSerialNumber = rd.GetVersionSerialNumber();
  FVersionString = rd.GetVersionString();
  if (IsESP(device)) {
    FVersionString = report.size() > 10 ? report.substr(10) : std::string();
    // The feature word comes from the device's own answer, not from the
    // report; without that answer (the word is then 0) it is not known.
    if (device->GetHardFeature32() == 0) {
      LogError("GetDeviceFirmwareVersion_intern no hardware feature answer");
      FVersionFeature = 0xFFFF;
      FVersionFeatureString = "unknown";
    }
  } else {
    FFWVersionString = rd.GetFWVersionNumberString() + " " + FVersionDate;
  }
}

int TZorFirmwareClass::CheckFirmwareVersionCF(TZor_BaseDevice *device, bool showMessages) {
  ClearVersionInfo();
  if (!device) return fwr_InvalidParameter;
  Log("CheckFirmwareVersionCF");
  std::string err;
  const int r = GetDeviceFirmwareVersion_intern(device, err);
  if (r != fwr_NoError) return r;
  auto report = [&](const std::string &text) {
    if (showMessages)
      DoMessage(text, mtErr);
    else
      LogError(text);
  };
  if (FFirmwareVersion == -1) {
    report("Timeout while reading firmware version");
    return fwr_NetworkNotSupported;
  }
  if (FFirmwareVersion >= 19) return fwr_NoError;
  if (showMessages) DoMessage(ErrorText(fwr_NetworkNotSupported), mtErr);
  return fwr_NetworkNotSupported;
}

// ---- boot loader, serial numbers, access checks ------------------------------------------------------

bool TZorFirmwareClass::IsDeviceBootloader() { return IsDeviceBootloader(FBaseDevice); }

bool TZorFirmwareClass::IsDeviceBootloader(TZor_BaseDevice *item) {
  if (!item || IsNetworkDevice(item)) return false;
  return UsbIdentity(item).IsBootLoader;
}

bool TZorFirmwareClass::IsDeviceOldBootloader(TZor_BaseDevice *item) {
  return IsDeviceBootloader(item) && UsbIdentity(item).SerialNumberPart == "V1.0";
}

bool TZorFirmwareClass::IsUniqueSerialNumber(uint32_t serialNumber) const {
  // An ESP device marks "no serial number" with 0, a ColdFire device with
  // erased flash (all ones).
  if (FBaseDevice && !IsColdfire(FBaseDevice)) return serialNumber != 0;
  return serialNumber != 0xFFFFFFFF;
}

bool TZorFirmwareClass::CheckLogin() const {
  if (!IsNetworkDevice(FBaseDevice)) return false;
  return IsColdfire(FBaseDevice) || (IsESP(FBaseDevice) && FFirmwareVersion > 100);
}

int TZorFirmwareClass::CheckRemoteAccess() {
  int result = fwr_NoError;
  if (!FBaseDevice)
    result = fwr_InvalidParameter;
  else if (IsNetworkDevice(FBaseDevice) && !IsESP(FBaseDevice) && FFirmwareVersion < 19)
    result = fwr_NetworkNotSupported;
  Log("CheckRemoteAccess " + ErrorText(result));
  return result;
}

// ---- connected users ------------------------------------------------------------------------------------

std::string TZorFirmwareClass::ConnectedUserName(const std::string &slot, bool &isUser) {
  isUser = slot != std::string(4, '\0');
  if (!isUser) return "---";
  // ColdFire sends the kind in the last byte, ESP in the first.
  const bool esp = IsESP(FBaseDevice);
  auto kind = [&](char k) {
    return esp ? slot == std::string(1, k) + std::string(3, '\0') : slot == std::string(3, '\0') + k;
  };
  if (kind('\x02')) return FBaseDevice->IsUSBDevice() ? "usb (me)" : "usb";
  if (kind('\x03')) return "can";
  if (kind('\x04')) return "serial";
  const std::string ip = BytesToIPv4(slot);
  TZor_NetworkDevice *net = AsNetworkDevice(FBaseDevice);
  if (net && net->GetServerIPAndPort().find(ip) != std::string::npos) return ip + " (me)";
  return ip;
}

int TZorFirmwareClass::CheckConnectedUser() {
  TZor_BaseDevice *device = FBaseDevice;
  if (!device) return fwr_InvalidParameter;
  if (IsColdfire(device) && FFirmwareVersion < 45) {
    Log("CheckConnectedUser bei Coldfire erst ab FW 45");
    return fwr_NoError;
  }
  if (IsESP(device) && device->IsUSBDevice()) {
    Log("CheckConnectedUser bei ESP-USB immer nur ein User");
    return fwr_NoError;
  }
  if (IsESP(device) && FFirmwareVersion <= 100) {
    Log("CheckConnectedUser bei ESP erst mit FW > 1.00");
    return fwr_NoError;
  }

  Log("CheckConnectedUser");
  ClearDeviceOpen();
  bool opened = false;
  if (!device->GetPortIsOpened()) {
    // A HID device carries answers inside its report stream, where a report
    // still arriving could be taken for the answer; in tools mode it sends
    // the answer alone.
    const int r = OpenDevice(device, device->GetDevType() == Zor_HID, false);
    if (r != fwr_NoError) {
      DoMessage(FOpenErrorMsg, mtErr);
      return r;
    }
    opened = true;
  }
  TZor_OnExit finish([&] {
    LogStars();
    if (opened) CloseDevice(device, false);
    Log("CheckConnectedUser END");
  });

  LogStars();
  DoMessage("Reading connected user...", mtInfo);
  std::string answer;
  ReadStatus(device, 0x01, answer, 16);
  if (answer.size() != 16) {
    DoMessage("Error reading connected user: " + ErrorText(FDeviceResult) + ", requested=16" +
                  ", received=" + std::to_string(answer.size()),
              mtErr);
    if (FDeviceResult == fwr_ReadError && IsESP(device)) return fwr_NoError;
    return FDeviceResult;
  }

  Log("connected users: " + BytesToHex(answer));
  FConnectedUserString = "Connected users: ";
  std::string listText = "Connected users: ";
  int users = 0;
  for (int j = 1; j <= 4; ++j) {
    bool isUser = false;
    const std::string name = ConnectedUserName(answer.substr(4 * (j - 1), 4), isUser);
    if (isUser) ++users;
    FConnectedUserString += "\r\n" + std::string(10, ' ') + std::to_string(j) + ":  " + name;
    listText += "  " + std::to_string(j) + ": " + name;
  }
  DoMessage(listText, mtInfo);
  if (users == 1) return fwr_NoError;
  const std::string question =
      "Other users connected: \r\n" + FConnectedUserString + "\r\nDo you want to continue?";
  return FAppServices->Confirm(question) ? fwr_NoError : fwr_TooManyUser;
}

}  // namespace zor
