// Configuration read and write of TZorFirmwareClass: the ColdFire block in
// flash (memory read, configuration command or programming path) and the
// numbered storage items of ESP devices.
#include <functional>

#include "device/Zor_ProcessReport.h"
#include "firmware/Zor_FW_Class.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"

namespace zor {

namespace {

constexpr uint32_t NVSAnswerTimeoutMs = 5000;
constexpr uint32_t NVSPollPauseMs = 10;
constexpr uint32_t NVSIntegerSize = 4;

// Storage commands: 0x85, the action ('E' read, '%' write), the kind ('i', 's') and the item number.
std::string NVSCommand(char action, char kind, uint8_t n) {
  return std::string{'\x85', action, kind, char(n)};
}

// Storage commands go out directly, without a repeat, and only with a session
// (`session`, see TZorFirmwareClass::HasSession).
bool SendNVSCommand(TZor_BaseDevice &device, bool session, const std::string &command,
                    const std::string &prefix, int logId) {
  if (session && device.DeviceWrite(command)) return true;
  LogErr(logId, prefix + " write cmd failed");
  return false;
}

std::string LittleEndian32(uint32_t value) { return IntToBigEndianText32(Swap32(value)); }

uint32_t FromLittleEndian32(const std::string &bytes) { return Swap32(*BigEndianTextToInt32(bytes)); }

const char *BoolText(bool value) { return value ? "True" : "False"; }

// Polls `fetch` until it delivers something, the device reports a hardware
// fault, or 5 s have passed. Each round without an answer lets the front end
// run and pauses briefly, so the wait never spins.
struct TNVSPoll {
  std::string Answer;
  bool HardwareFault = false;
  uint32_t ElapsedMs = 0;
};

TNVSPoll PollNVSAnswer(TZor_BaseDevice &device, const std::string &logPrefix,
                       const std::function<std::string()> &fetch, const std::function<void()> &idle,
                       int logId) {
  TNVSPoll poll;
  const uint32_t start = platform::GetTicks();
  TZor_Result lastLogged = Zor_No_Err;
  while (platform::TicksSince(start) < NVSAnswerTimeoutMs) {
    poll.Answer = fetch();
    if (!poll.Answer.empty()) break;
    const TZor_Result code = device.GetErrorCode();
    if (code != Zor_No_Err && code != lastLogged) {
      LogErr(logId, logPrefix + " errorCode=" + ResultToText(code));
      lastLogged = code;
    }
    if (code == Zor_HardwareFault) {
      poll.HardwareFault = true;
      break;
    }
    idle();
    platform::SleepMs(NVSPollPauseMs);
  }
  poll.ElapsedMs = platform::TicksSince(start);
  LogText(logId, logPrefix + " Len=" + std::to_string(poll.Answer.size()) +
                     ", elapsedTicks=" + IntToSeparatedText(static_cast<int32_t>(poll.ElapsedMs)));
  return poll;
}

int NoAnswerResult(const TNVSPoll &poll) { return poll.HardwareFault ? fwr_HardwareFault : fwr_ReadError; }

// Sends the read of one storage item and waits for its own answer; false when
// the request could not be sent. An answer to an earlier request, still
// waiting or arriving late, is not taken for this one.
bool RequestNVSItem(TZor_BaseDevice &device, bool session, char kind, uint8_t n, const std::string &prefix,
                    const std::function<void()> &idle, int logId, TNVSPoll &poll) {
  LogText(logId, prefix + " nr=" + std::to_string(n));
  device.ClearToolsAnswers();
  if (!SendNVSCommand(device, session, NVSCommand('E', kind, n), prefix, logId)) return false;
  const uint16_t key = NVSAnswerKey(kind, n);
  poll = PollNVSAnswer(
      device, prefix,
      [&device, key] {
        std::string byte, answer;
        device.DeviceRead(1, byte);  // lets the device route what arrived
        device.ReadNVSAnswer(key, 0, answer);
        return answer;
      },
      idle, logId);
  return true;
}

// The nick name as the device keeps it: empty when it starts with 0x00, cut
// before a later 0x00.
std::string CleanNickName(const std::string &text, int logId) {
  const size_t zero = text.find('\0');
  if (zero == std::string::npos) return text;
  if (zero == 0) {
    LogText(logId, "Reading nick name -> empty string");
    return {};
  }
  const std::string cut = text.substr(0, zero);
  LogText(logId, "Reading nick name " + std::to_string(text.size() - zero) + " bytes deleted -> " + cut);
  return cut;
}

// Runs `exitSteps` after `steps`, also when an exception passes.
int WithExitSteps(const std::function<int()> &steps, const std::function<void()> &exitSteps) {
  int result;
  try {
    result = steps();
  } catch (...) {
    exitSteps();
    throw;
  }
  exitSteps();
  return result;
}

}  // namespace

// ---- ColdFire block ------------------------------------------------------------------

std::string TZorFirmwareClass::BufferText() const {
  std::string text = FFlashVariablesBuffer;
  text.resize(CFConfigSize, '\xFF');
  return text;
}

bool TZorFirmwareClass::DecodeCFBlock() { return FFlashVariables.DecodeCFBlock(BufferText()); }

int TZorFirmwareClass::ReadFlashCF(TZor_BaseDevice *device) {
  ClearFlashVariables();
  LogStars();
  DoMessage("Reading configuration...", mtInfo);
  const uint32_t length = device->IsUSBDevice() ? CFConfigSize : CFConfigSizeNet;
  std::string data;
  ReadDevice(device, CFConfigAddress, data, length);
  if (data.size() != length) {
    DoMessage("Error reading configuration: " + ErrorText(FDeviceResult) +
                  ", requested=" + std::to_string(length) + ", received=" + std::to_string(data.size()),
              mtErr);
    LogStars();
    // A short read never counts as success, whatever the device reported.
    return FDeviceResult != 0 ? FDeviceResult : fwr_ReadError;
  }
  Log("FlashConfiguration: " + BytesToHex(data));
  FFlashVariablesBuffer = BufferText();
  FFlashVariablesBuffer.replace(0, length, data);
  DoMessage("Reading successful", mtInfo);
  LogStars();
  const uint16_t feature = *BigEndianTextToInt16(FFlashVariablesBuffer, cfo_HardFeature);
  if (TZor_FlashVariables::CheckHardFeature(feature)) {
    Log("HardFeature aus FlashConfiguration=" + IntToHex(feature, 4));
  } else {
    LogError("HardFeature in FlashConfiguration=" + IntToHex(feature, 4) + " invalid -> FFFF");
    FFlashVariablesBuffer.replace(cfo_HardFeature, 2, "\xFF\xFF");
  }
  return FDeviceResult;
}

int TZorFirmwareClass::WriteFlashCFCmd() {
  std::string block = BufferText();
  if (IsNetworkDevice(FBaseDevice)) block.resize(CFConfigSizeNet);
  int result = WriteDevice(FBaseDevice, std::string("\x85\x22") + block);
  if (result == 0) {
    Log("TZorFirmwareClass.WriteFlashCFCmd wait commands send");
    result = WaitCmdsSend(FBaseDevice);
  }
  return result;
}

// ---- ESP storage items -----------------------------------------------------------------

int TZorFirmwareClass::NVSReadInteger(TZor_BaseDevice *device, uint8_t n, uint32_t &value) {
  const std::string prefix = "TZorFirmwareClass.NVSReadInteger";
  value = 0xFFFFFFFF;
  TNVSPoll poll;
  const auto idle = [this] { ProcessMessages(); };
  if (!RequestNVSItem(*device, HasSession(device), 'i', n, prefix, idle, FLogId, poll)) return fwr_WriteError;
  if (poll.Answer.size() != NVSIntegerSize) return NoAnswerResult(poll);
  value = FromLittleEndian32(poll.Answer);
  Log(prefix + "=" + IntToHex(value, 8));
  return 0;
}

int TZorFirmwareClass::NVSReadString(TZor_BaseDevice *device, uint8_t n, std::string &text) {
  const std::string prefix = "TZorFirmwareClass.NVSReadString";
  text.clear();
  TNVSPoll poll;
  const auto idle = [this] { ProcessMessages(); };
  if (!RequestNVSItem(*device, HasSession(device), 's', n, prefix, idle, FLogId, poll)) return fwr_WriteError;
  if (poll.Answer.empty()) {
    LogError(prefix + " failed");
    return NoAnswerResult(poll);
  }
  if (poll.Answer[0] == '\0') {
    Log(prefix + " empty string");
    return 0;
  }
  text = poll.Answer;
  Log(prefix + "=" + text + ", elapsedTicks=" + IntToSeparatedText(static_cast<int32_t>(poll.ElapsedMs)));
  return 0;
}

int TZorFirmwareClass::NVSWriteInteger(TZor_BaseDevice *device, uint8_t n, uint32_t value) {
  const std::string prefix = "TZorFirmwareClass.NVSWriteInteger";
  Log(prefix + " nr=" + std::to_string(n) + " data=" + IntToHex(value, 8));
  return SendNVSCommand(*device, HasSession(device), NVSCommand('%', 'i', n) + LittleEndian32(value), prefix,
                        FLogId)
             ? 0
             : fwr_WriteError;
}

int TZorFirmwareClass::NVSWriteString(TZor_BaseDevice *device, uint8_t n, const std::string &text) {
  const std::string prefix = "TZorFirmwareClass.NVSWriteString";
  Log(prefix + " nr=" + std::to_string(n) + " data=" + text);
  return SendNVSCommand(*device, HasSession(device), NVSCommand('%', 's', n) + text, prefix, FLogId)
             ? 0
             : fwr_WriteError;
}

int TZorFirmwareClass::NVSClear(TZor_BaseDevice *device) {
  Log("TZorFirmwareClass.NVSClear");
  return SendNVSCommand(*device, HasSession(device), std::string("\x85$"), "TZorFirmwareClass.NVSWClear",
                        FLogId)
             ? 0
             : fwr_WriteError;
}

namespace {

// The two text items that end every ESP read: host name, then the reserved text.
int ReadESPStrings(TZor_FlashVariables &record, const std::function<int(uint8_t, std::string &)> &readString,
                   const std::function<void(const std::string &, TMessageType)> &message,
                   const std::function<void()> &stepProgress, int logId) {
  std::string text;
  int result = readString(nvs_NickName, text);
  if (result != 0) {
    message("Reading nick name failed", mtErr);
    return result;
  }
  record.NickName = CleanNickName(text, logId);
  stepProgress();
  result = readString(nvs_ReservedString1, text);
  if (result != 0) {
    message("Reading ReservedString1 failed", mtErr);
    return result;
  }
  record.ReservedString1 = text;
  record.updated = true;
  message("Reading successful", mtInfo);
  LogText(logId, std::string(50, '*'));
  return 0;
}

// Failure message of each integer item when items are read one by one.
const char *ESPReadFailText(uint8_t n) {
  switch (n) {
    case nvi_SerialNumber: return "Reading SerialNumber failed";
    case nvi_IPAddress:
    case nvi_Subnetmask:
    case nvi_Gateway: return "Reading IP configuration failed";
    case nvi_HardFeature32: return "Reading hardware features failed";
    case nvi_CANTxID:
    case nvi_CANRxID: return "Reading CAN IDs failed";
    case nvi_Customer: return "Reading Customer ID failed";
    case nvi_ReservedInt9: return "Reading ReservedInt9 failed";
    default: return "Reading PPI failed";
  }
}

}  // namespace

int TZorFirmwareClass::ReadFlashESPItems(TZor_BaseDevice *device, const std::string &name,
                                         const std::function<int(bool usb)> &readIntegers) {
  Log("TZorFirmwareClass." + name);
  ClearFlashVariables();
  const bool usb = device->IsUSBDevice();
  FFlashVariables.PasswordEnabled = usb;
  LogStars();
  DoMessage("Reading configuration...", mtInfo);
  DoProgress(tpt_SetMax, usb ? 13 : 12);
  auto steps = [&]() -> int {
    if (const int result = readIntegers(usb)) return result;
    return ReadESPStrings(
        FFlashVariables,
        [this, device](uint8_t n, std::string &text) { return NVSReadString(device, n, text); },
        [this](const std::string &text, TMessageType mType) { DoMessage(text, mType); },
        [this] { DoProgress(tpt_StepBy, 1); }, FLogId);
  };
  return WithExitSteps(steps, [this] {
    DoProgress(tpt_SetPosition, 0);
    FreeReportDevice();
  });
}

int TZorFirmwareClass::ReadFlashESP(TZor_BaseDevice *device) {
  return ReadFlashESPItems(device, "ReadFlashESP", [&](bool usb) -> int {
    // The password item is reachable over USB only.
    auto skipped = [usb](uint8_t n) { return n == nvi_Password && !usb; };
    // All requests first: the answers then arrive while the first ones are
    // collected. Nothing from before the batch may be taken for its answers.
    device->ClearToolsAnswers();
    for (uint8_t n = 0; n < NVSIntegerCount; ++n) {
      if (skipped(n)) continue;
      const int result = WriteDevice(device, NVSCommand('E', 'i', n));
      if (result != 0) {
        DoMessage("Reading configuration failed", mtErr);
        return result;
      }
    }
    for (uint8_t n = 0; n < NVSIntegerCount; ++n) {
      if (skipped(n)) {
        FFlashVariables.SetPassword(0xFFFFFFFF);
        continue;
      }
      Log("TZorFirmwareClass.NVSReadInteger nr=" + std::to_string(n));
      const TNVSPoll poll = PollNVSAnswer(
          *device, "TZorFirmwareClass.NVSReadInteger",
          [this, device, n] {
            std::string report, data;
            NextReport(report);
            device->ReadNVSAnswer(NVSAnswerKey('i', n), NVSIntegerSize, data);
            return data;
          },
          [this] { ProcessMessages(); }, FLogId);
      if (poll.Answer.size() != NVSIntegerSize) {
        DoMessage("Reading configuration failed", mtErr);
        return NoAnswerResult(poll);
      }
      const uint32_t value = FromLittleEndian32(poll.Answer);
      Log("TZorFirmwareClass.NVSReadInteger=" + IntToHex(value, 8));
      FFlashVariables.SetNVSInteger(n, value);
      DoProgress(tpt_StepBy, 1);
    }
    return 0;
  });
}

int TZorFirmwareClass::ReadFlashESPAlt(TZor_BaseDevice *device) {
  return ReadFlashESPItems(device, "ReadFlashESPAlt", [&](bool usb) -> int {
    for (uint8_t n = 0; n < NVSIntegerCount; ++n) {
      uint32_t value = 0xFFFFFFFF;
      if (n == nvi_Password) {
        // Optional: a device without the item keeps the unset password.
        if (usb) NVSReadInteger(device, n, value);
        FFlashVariables.SetPassword(value);
        if (usb) DoProgress(tpt_StepBy, 1);
        continue;
      }
      const int result = NVSReadInteger(device, n, value);
      if (result != 0) {
        DoMessage(ESPReadFailText(n), mtErr);
        return result;
      }
      FFlashVariables.SetNVSInteger(n, value);
      DoProgress(tpt_StepBy, 1);
    }
    return 0;
  });
}

int TZorFirmwareClass::WriteFlashESP(TZor_BaseDevice *device) {
  Log("TZorFirmwareClass.WriteFlashESP");
  LogStars();
  DoMessage("Writing configuration...", mtInfo);
  const TZor_FlashVariables &record = FFlashVariables;
  for (const TZor_NVSWriteItem &item : NVSWriteOrder) {
    if (!record.IsChanged(item.Flag)) continue;
    if (item.Flag == fch_Password && !record.PasswordEnabled) continue;
    const int result = item.IsString
                           ? NVSWriteString(device, item.Number, record.GetNVSString(item.Number))
                           : NVSWriteInteger(device, item.Number, record.GetNVSInteger(item.Number));
    if (result != 0) {
      DoMessage(item.FailText, mtErr);
      LogStars();
      return result;
    }
  }
  Log("TZorFirmwareClass.WriteFlashESP wait commands send");
  const int result = WaitCmdsSend(device);
  DoMessage(result != 0 ? "Writing failed: Timeout" : "Writing successful", result != 0 ? mtErr : mtInfo);
  LogStars();
  return result;
}

// ---- actions -----------------------------------------------------------------------------

int TZorFirmwareClass::ReadFlash(TZor_BaseDevice *device) {
  if (IsESP(device)) return FFirmwareVersion > 108 ? ReadFlashESP(device) : ReadFlashESPAlt(device);
  const int result = ReadFlashCF(device);
  if (result == 0) DecodeCFBlock();
  return result;
}

int TZorFirmwareClass::ReadConfig() {
  TActionScope scope(*this);
  if (scope.Refused()) return RefuseBusy("ReadConfig");
  ClearFlashVariables();
  TZor_BaseDevice *device = FBaseDevice;
  if (device == nullptr) return fwr_InvalidParameter;
  MessageStars();
  auto steps = [&]() -> int {
    const int result = OpenDevice(device, true, true);
    return result != 0 ? result : ReadFlash(device);
  };
  return WithExitSteps(steps, [&] {
    CloseDevice(device, false);
    DoMessage("Disconnected from " + FanzeigeName, mtInfo);
    LogStars();
  });
}

int TZorFirmwareClass::GetDeviceFirmwareVersionAndFlash(bool forceReadFlash, std::string &err) {
  TActionScope scope(*this);
  if (scope.Refused()) return RefuseBusy("GetDeviceFirmwareVersionAndFlash");
  const std::string prefix = "TZorFirmwareClass.GetDeviceFirmwareVersionAndFlash";
  Log(prefix + " forceReadFlash=" + BoolText(forceReadFlash));
  FVersionString.clear();
  FFlashVariables.updated = false;
  MessageStars();
  TZor_BaseDevice *device = FBaseDevice;

  auto steps = [&]() -> int {
    Log(prefix + " -> OpenDevice");
    int result = OpenDevice(device, false, true);
    if (result != 0) {
      err = FOpenErrorMsg;
      return result;
    }
    Log(prefix + " -> GetDeviceFirmwareVersion_intern");
    result = GetDeviceFirmwareVersion_intern(device, err);
    if (result == fwr_ReferenceClockError) DoMessage(err, mtInfo);
    if (result == fwr_TooManyUser) DoMessage("No connection to Zor device: Too many user", mtErr);
    if (result == fwr_Timeout) DoMessage("Timeout while reading firmware version", mtErrInfo);
    if (result != 0) return result;

    const bool esp = IsESP(device);
    if (esp && FFirmwareVersion == 1) {
      LogError(prefix + " LUM2 Zor_HardwareFault");
      return fwr_HardwareFault;
    }
    bool readFlash = esp || FFirmwareVersion >= 19;
    if (!esp && FFirmwareVersion == 1) {
      Log(prefix + " BootLoader/HardwareFault -> enable reading flash");
      forceReadFlash = true;
    }
    if (!readFlash && forceReadFlash) {
      // Old firmware answers memory reads only in the tools context.
      readFlash = true;
      device->SetContextTool(true);
    }
    if (!readFlash) return result;

    Log(prefix + " -> ReadFlash");
    if (ReadFlash(device) != 0) FFlashVariables.updated = false;
    return result;
  };
  return WithExitSteps(steps, [&] {
    Log(prefix + " -> CloseDevice");
    // A failed read still ends the session on the device: a forced close
    // would leave it holding the user slot.
    if (FBaseDevice != nullptr) CloseDevice(FBaseDevice, false);
    ClearDeviceOpen();
    DoMessage("Disconnected from " + FanzeigeName, mtInfo);
    LogStars();
  });
}

void TZorFirmwareClass::RecordNewAddress(const TZor_FlashVariables &oldRecord,
                                         const TZor_FlashVariables &newRecord, bool written) {
  const std::string prefix = "TZorFirmwareClass.SetFlashVariables";
  if (!IsESP(FBaseDevice)) {
    if (newRecord.IsChanged(fch_IPAddress)) {
      FFlashNewIP = newRecord.IPAddress;
      Log(prefix + " CF IPAddress changed");
    }
  } else {
    const bool isStatic = newRecord.IsHardESPstaticIP();
    if (newRecord.IsChanged(fch_IPAddress) && isStatic) {
      FFlashNewIP = newRecord.IPAddress;
      Log(prefix + " ESP IPAddress changed: " + FFlashNewIP);
    }
    if (newRecord.IsChanged(fch_NickName) && !isStatic) {
      FFlashNewHost = newRecord.NickName;
      Log(prefix + " ESP Hostname changed: " + FFlashNewHost);
    }
    if (newRecord.IsChanged(fch_HardFeature) && isStatic != oldRecord.IsHardESPstaticIP()) {
      if (isStatic) {
        FFlashNewIP = newRecord.IPAddress;
        Log(prefix + " ESP changed to static IP");
      } else {
        FFlashNewHost = newRecord.NickName;
        Log(prefix + " ESP changed to dynamic IP");
      }
    }
  }
  // After a failed write nobody knows whether the device took its new
  // address: it is looked for there first, then under the present one.
  TZor_NetworkDevice *net = AsNetworkDevice(FBaseDevice);
  if (written || !net || (FFlashNewIP.empty() && FFlashNewHost.empty())) return;
  if (FFlashNewHost.empty() && IPv4ToInt(FFlashNewIP) == IPv4ToInt(net->GetDeviceIP())) return;
  FFlashOldIP = net->GetDeviceIP();
  Log(prefix + " write failed, new address uncertain -> also look at " + FFlashOldIP);
}

int TZorFirmwareClass::SetFlashVariables(const TZor_FlashVariables &flashVariables, bool doReset) {
  TActionScope scope(*this);
  if (scope.Refused()) return RefuseBusy("SetFlashVariables");
  const std::string prefix = "TZorFirmwareClass.SetFlashVariables";
  FZustandNachReset = false;
  Log(prefix);
  if (FBaseDevice == nullptr) return fwr_InvalidParameter;
  if (flashVariables.ChangedFlags == 0) return fwr_FlashUnchanged;

  MessageStars();
  bool resetOnExit = false;
  const TZor_FlashVariables oldRecord = FFlashVariables;
  TZor_FlashVariables newRecord = flashVariables;
  newRecord.SpecialFlag = false;
  const uint32_t newSerialNumber = newRecord.SerialNumber;
  FFlashNewIP.clear();
  FFlashNewHost.clear();
  FFlashOldIP.clear();
  const bool esp = IsESP(FBaseDevice);
  if (!esp) newRecord.EncodeCFBlock(FFlashVariablesBuffer);
  FCancelUpdate = false;
  DoMessage("Set firmware configuration ...", mtInfo);
  HandOverLogin(FBaseDevice);

  const int users = FConnectedUserString.empty() ? CheckConnectedUser() : 0;
  if (users == fwr_TooManyUser) {
    DoMessage("Set firmware configuration denied: other users connected!\r\n" + FConnectedUserString, mtErr);
    return users;
  }
  if (users != 0) return users;
  FResetBoth = esp && FFirmwareVersion > 113 && FFWVersionString.find("E1") == std::string::npos;

  // ESP: items one by one. A failure keeps its code: a later reset must not turn it into success.
  auto writeESP = [&]() -> int {
    TZor_BaseDevice *device = FBaseDevice;
    const bool toolsMode = device->GetDevType() != Zor_CDC;
    FFlashVariables = newRecord;
    int result = OpenDevice(device, toolsMode, true);
    if (result == 0) {
      result = WriteFlashESP(device);
      // Items before a failing one are written, the address perhaps among them.
      RecordNewAddress(oldRecord, newRecord, result == 0);
    }
    if (result != 0) {
      FFlashVariables.updated = false;
      return result;
    }
    FFlashVariables.ChangedFlags = 0;
    FFlashVariables.SpecialFlag = false;
    return 0;
  };

  // ColdFire: one configuration command from firmware 19 on, else the
  // programming path. The choice holds for every link: older firmware
  // ignores the command, so sending it would report a write that never
  // happened.
  auto writeCF = [&]() -> int {
    TZor_BaseDevice *device = FBaseDevice;
    bool useCommand = FFirmwareVersion >= 19;
    if (FFirmwareVersion == -1) {
      const int check = CheckFirmwareVersionCF(device, false);
      if (check != 0 && check != fwr_NetworkNotSupported) return check;
      useCommand = check == 0;
    }
    int result = OpenDevice(device, true, true);
    if (result != 0) return result;
    ReadUntilEmpty();
    Log("Writing firmware configuration...");
    result = useCommand ? WriteFlashCFCmd()
                        : WriteFlashCF(IsNetworkDevice(device) ? CFConfigSizeNet : CFConfigSize);
    RecordNewAddress(oldRecord, newRecord, result == 0);
    if (result != 0) {
      // A block written in part is undone by the reset, if it can still be sent.
      resetOnExit = device->IsSessionOpen();
      return result;
    }
    DoMessage("Firmware configuration transmitted", mtInfo);
    FFlashVariables = newRecord;
    FFlashVariables.ChangedFlags = 0;
    return 0;
  };

  auto steps = [&]() -> int {
    ProcessMessages();
    const int result = esp ? writeESP() : writeCF();
    // A ColdFire failure goes to the exit steps. Without a session (the open
    // failed, the login was refused, the device cut the connection) nothing
    // was written or nothing can be sent: no reset.
    if (!doReset || (result != 0 && (!esp || !FBaseDevice->IsSessionOpen()))) return result;
    TZor_BaseDevice *device = FBaseDevice;
    const int resetResult = DoReset(device, newSerialNumber);
    return result != 0 ? result : resetResult;
  };
  return WithExitSteps(steps, [&] {
    if (resetOnExit && FBaseDevice != nullptr) {
      TZor_BaseDevice *device = FBaseDevice;
      DoReset(device, newSerialNumber);
    }
    // Every path leaves the device closed, whatever its transport.
    if (FBaseDevice != nullptr && FBaseDevice->GetPortIsOpened()) CloseDevice(FBaseDevice, false);
    DoMessage("Disconnected from " + FanzeigeName, mtInfo);
    LogStars();
  });
}

}  // namespace zor
