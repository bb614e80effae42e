#include "device/Zor_BaseDevice.h"

#include <clocale>
#include <cstdio>
#include <optional>

#include "device/Zor_ColdfireCommands.h"
#include "device/Zor_Commands.h"
#include "foundation/CircularBuffer.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

const char *BoolText(bool value) { return value ? "True" : "False"; }

// Value of a one- or two-character field of the FPGA version; nullopt when
// it is missing or holds other than digits of `base`.
std::optional<int> FieldValue(const std::string &text, size_t pos, int base) {
  if (pos >= text.size()) return std::nullopt;
  std::string part = text.substr(pos, 2);
  int value = 0;
  for (char c : part) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

std::unique_ptr<TZor_DeviceInfoList> GDeviceInfoList;

}  // namespace

// ---- format settings, device infos -------------------------------------------

TZor_FormatSettings TZor_FormatSettings::FromSystemLocale() {
  TZor_FormatSettings fs;
  fs.DecimalSeparator = LocaleDecimalSeparator();
  const std::lconv *conv = std::localeconv();
  if (conv && conv->thousands_sep && conv->thousands_sep[0]) fs.ThousandSeparator = conv->thousands_sep[0];
  return fs;
}

double TZor_DeviceInfo::GetNominalFreq(int channel) const {
  return channel >= 1 && channel <= ChannelCount ? FNominalFreq[channel - 1] : 0.0;
}

void TZor_DeviceInfo::SetNominalFreq(int channel, double value) {
  if (channel >= 1 && channel <= ChannelCount) FNominalFreq[channel - 1] = value;
}

std::string TZor_DeviceInfo::GetNominalFreqString(const TZor_FormatSettings &format) const {
  std::string text;
  for (double value : FNominalFreq) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    std::string number = buf;
    for (char &c : number)
      if (c == '.') c = format.DecimalSeparator;
    text += number + ";";
  }
  return text;
}

int TZor_DeviceInfoList::AddInfo(std::unique_ptr<TZor_DeviceInfo> &info, bool freeIfNotTaken) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (!info) return -1;
  if (TZor_DeviceInfo *known = GetInfo(info->GetSerialNumber())) {
    if (freeIfNotTaken) info.reset();
    return known->GetIndex();
  }
  info->SetIndex(Count());
  FItems.push_back(std::move(info));
  return Count() - 1;
}

TZor_DeviceInfo *TZor_DeviceInfoList::GetInfo(uint32_t serialNumber) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  for (size_t i = 0; i < FItems.size(); ++i) {
    if (FItems[i]->GetSerialNumber() == serialNumber) {
      FItems[i]->SetIndex(static_cast<int>(i));
      return FItems[i].get();
    }
  }
  return nullptr;
}

TZor_DeviceInfoList *GlobalDeviceInfoList() { return GDeviceInfoList.get(); }

void SetGlobalDeviceInfoList(std::unique_ptr<TZor_DeviceInfoList> list) { GDeviceInfoList = std::move(list); }

// ---- life ------------------------------------------------------------------

TZor_BaseDevice::TZor_BaseDevice(int logId, bool doResetEvent, platform::TZor_Event *receiveEvent,
                                 int multiId)
    : FLogId(logId),
      FMultiId(multiId),
      FFormatSettings(TZor_FormatSettings::FromSystemLocale()),
      FDoResetEvent(doResetEvent) {
  // A private event: a shared one would wake every device on any device's data.
  if (!receiveEvent) {
    FOwnReceiveEvent = std::make_unique<platform::TZor_Event>(false);
    receiveEvent = FOwnReceiveEvent.get();
  }
  FReceiveEvent = receiveEvent;
  FReceiveBuffer = std::make_unique<TCircularBuffer>(logId, true, FReceiveEvent);
  FToolsBuffer = std::make_unique<TCircularBuffer>(logId, true, nullptr);
  FReceiveBuffer->SetDoResetEvent(doResetEvent);
  FToolsBuffer->SetDoResetEvent(doResetEvent);
}

TZor_BaseDevice::~TZor_BaseDevice() {
  std::lock_guard<std::mutex> g(FBinLock);
  if (FBinDataStream.is_open()) FBinDataStream.close();
}

std::string TZor_BaseDevice::ToString() const { return DeviceTypeToText(FDevType) + ": " + FDevicePath; }

// ---- buffers and reads -------------------------------------------------------

uint32_t TZor_BaseDevice::GetBufferAmount() { return FReceiveBuffer->GetAmount(); }

uint32_t TZor_BaseDevice::GetBufferHighAmount() { return FReceiveBuffer->GetHighAmount(); }

void TZor_BaseDevice::GetBufferAmounts(uint32_t &amount, uint32_t &highAmount) {
  FReceiveBuffer->GetAmounts(amount, highAmount);
}

bool TZor_BaseDevice::GetPortIsOpened() { return FPortIsOpened || FReceiveBuffer->GetAmount() > 0; }

bool TZor_BaseDevice::GetReceiveBufferCleared() { return FReceiveBuffer->GetBufferCleared(); }

template <class TPeek>
bool TZor_BaseDevice::ReadBlocking(TPeek peek) {
  if (peek()) return true;
  CheckDeviceClosed();
  if (GetErrorCode() == Zor_No_Err && FBlockingIO && WaitReceiveEvent()) return peek();
  return false;
}

bool TZor_BaseDevice::ReadReceive(uint32_t count, std::string &bytes) {
  count &= 0xFF;
  bytes.clear();
  if (count == 0) return true;
  return ReadBlocking([&] {
    bytes = FReceiveBuffer->ReadAnsiString(count);
    return !bytes.empty();
  });
}

bool TZor_BaseDevice::DeviceRead(uint32_t count, std::string &text) { return ReadReceive(count, text); }

bool TZor_BaseDevice::DeviceReadAnsi(uint32_t count, std::string &bytes) { return ReadReceive(count, bytes); }

bool TZor_BaseDevice::PeekAnsi(uint32_t count, std::string &bytes) {
  bytes.clear();
  if (count == 0) return true;
  return ReadBlocking([&] {
    bytes = FReceiveBuffer->PeekAnsiString(count);
    return !bytes.empty();
  });
}

bool TZor_BaseDevice::PeekData(uint32_t count, std::string &text) { return PeekAnsi(count, text); }

bool TZor_BaseDevice::PeekChar(uint8_t &value) {
  return ReadBlocking([&] { return FReceiveBuffer->PeekChar(value); });
}

bool TZor_BaseDevice::ConfirmPeekedData(uint32_t count) {
  // The ring confirms at most 65535 bytes at a time; larger counts go in pieces
  // so that nothing is confirmed when the count exceeds what is stored.
  if (count > FReceiveBuffer->GetAmount()) return false;
  while (count > 0) {
    uint16_t piece = static_cast<uint16_t>(std::min<uint32_t>(count, 0xFFFF));
    if (!FReceiveBuffer->ConfirmPeekedData(piece)) return false;
    count -= piece;
  }
  return true;
}

bool TZor_BaseDevice::ReadTools(uint32_t count, std::string &bytes) {
  count &= 0xFF;
  bytes = count ? FToolsBuffer->ReadAnsiString(count) : std::string();
  return count == 0 || !bytes.empty();
}

bool TZor_BaseDevice::ToolsRead(uint32_t count, std::string &text) { return ReadTools(count, text); }

bool TZor_BaseDevice::ToolsReadAnsi(uint32_t count, std::string &bytes) { return ReadTools(count, bytes); }

std::string TZor_BaseDevice::ToolsReadAll() {
  std::string all;
  while (uint32_t amount = FToolsBuffer->GetAmount()) {
    std::string piece = FToolsBuffer->ReadAnsiString(std::min<uint32_t>(amount, 255));
    if (piece.empty()) break;  // cleared flag set: nothing is delivered until it is read
    all += piece;
  }
  return all;
}

// ---- answers in tools mode ----------------------------------------------------

namespace {

// A device flooding the link with answers must not grow the list without end.
constexpr size_t cMaxNVSAnswers = 64;

std::string NVSKeyText(uint16_t key) {
  return std::string(1, static_cast<char>(key & 0xFF)) + std::to_string(key >> 8);
}

}  // namespace

void TZor_BaseDevice::ClearToolsAnswers() {
  FToolsBuffer->Clear();
  FToolsBuffer->GetBufferCleared();  // a cleared ring delivers nothing until the flag is read
  std::lock_guard<std::mutex> g(FNVSAnswerLock);
  FNVSAnswers.clear();
}

void TZor_BaseDevice::StoreNVSAnswer(uint16_t key, const std::string &value) {
  std::lock_guard<std::mutex> g(FNVSAnswerLock);
  if (FNVSAnswers.size() >= cMaxNVSAnswers) {
    LogWarn(FLogId,
            "TZor_BaseDevice.StoreNVSAnswer too many answers, drop " + NVSKeyText(FNVSAnswers.front().Key));
    FNVSAnswers.pop_front();
  }
  FNVSAnswers.push_back({key, value});
}

bool TZor_BaseDevice::ReadNVSAnswer(uint16_t key, uint32_t count, std::string &value) {
  value.clear();
  {
    std::lock_guard<std::mutex> g(FNVSAnswerLock);
    while (!FNVSAnswers.empty()) {
      TNVSAnswer answer = std::move(FNVSAnswers.front());
      FNVSAnswers.pop_front();
      if (answer.Key == key) {
        value = std::move(answer.Value);
        return true;
      }
      LogWarn(FLogId, "TZor_BaseDevice.ReadNVSAnswer waiting for " + NVSKeyText(key) + ", drop answer " +
                          NVSKeyText(answer.Key) + "=" + BytesToHex(answer.Value));
    }
  }
  if (count == 0)
    value = ToolsReadAll();
  else
    ToolsRead(count, value);
  return !value.empty();
}

bool TZor_BaseDevice::WaitReceiveEvent() { return FReceiveEvent->WaitFor(FReadTimeoutMs); }

void TZor_BaseDevice::WaitSleep(uint32_t ms) {
  platform::SleepMs(ms);
  LogText(FLogId, "TZor_BaseDevice.WaitSleep(" + std::to_string(ms) + ") finished");
}

// ---- simple properties -------------------------------------------------------

void TZor_BaseDevice::SetDeviceStartState(TZor_DeviceStartState value) {
  if (FDeviceStartState.exchange(value) != value)
    LogText(FLogId, "TZor_BaseDevice.SetDeviceStartState: " + StartStateToText(value));
}

void TZor_BaseDevice::SetReceivedSec(uint32_t value) { FReceivedSec = value; }

void TZor_BaseDevice::SetReferenceClockError(bool value) { FReferenceClockError = value; }

uint32_t TZor_BaseDevice::GetSerialNumberValue() { return FSerialNumberValue; }

void TZor_BaseDevice::SetLowLevelLog(bool value) {
  if (value == FLowLevelLog) return;
  LogText(FLogId, std::string("TZor_BaseDevice.SetLowLevelLog ") + BoolText(value));
  FLowLevelLog = value;
}

void TZor_BaseDevice::SetBlockingIO(bool value) {
  if (!FPortIsOpened) FBlockingIO = value;
}

void TZor_BaseDevice::SetReadTimeoutMs(uint32_t value) {
  LogText(FLogId, "TZor_BaseDevice.SetReadTimeoutMs: " + std::to_string(value));
  FReadTimeoutMs = value;
}

void TZor_BaseDevice::SetCmdResponse(TCmdResponseType value) {
  if (FCmdResponse.exchange(value) != value)
    LogText(FLogId, "TZor_BaseDevice.SetCmdResponse " + CmdResponseTypeToText(value));
}

std::string TZor_BaseDevice::GetLastCommand() const {
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  return FLastCommand;
}

void TZor_BaseDevice::SetLastCommand(const std::string &command) {
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  if (command != FLastCommand) LogText(FLogId, "TZor_BaseDevice.SetLastCommand " + BytesToHex(command));
  FLastCommand = command;
  // The answer to an NVS block read carries no block number of its own.
  bool blockRead = command.size() >= 4 && command.compare(0, 3, CmdReadNVSBlock(0), 0, 3) == 0;
  FBlobNumber = blockRead ? static_cast<uint8_t>(command[3]) : 255;
}

void TZor_BaseDevice::SetLUMReportHeader(uint16_t value) {
  uint16_t old = FLUMReportHeader.exchange(value);
  if (old != value)
    LogText(FLogId,
            "TZor_BaseDevice.SetLUMReportHeader: old=" + IntToHex(old, 4) + " new=" + IntToHex(value, 4));
}

void TZor_BaseDevice::SetCalibFactorFloatToInt(int32_t value) {
  if (value <= 0) {
    LogErr(FLogId, "TZor_BaseDevice.SetCalibFactorFloatToInt invalid " + std::to_string(value));
    return;
  }
  if (value == FCalibFactorFloatToInt) return;
  LogText(FLogId, "TZor_BaseDevice.SetCalibFactorFloatToInt old=" + std::to_string(FCalibFactorFloatToInt) +
                      ", new=" + std::to_string(value));
  FCalibFactorFloatToInt = value;
}

std::string TZor_BaseDevice::GetCOMName() const {
  size_t pos = FDevicePath.find("COM");
  return pos == std::string::npos ? std::string() : FDevicePath.substr(pos);
}

void TZor_BaseDevice::SetContextTool(bool value) {
  if (value == FContextTool) return;
  LogText(FLogId, std::string("TZor_BaseDevice.ContextTool: old=") + BoolText(FContextTool) +
                      ", new=" + BoolText(value));
  bool wasOpen = FPortIsOpened;
  if (FDevType == Zor_Remote) SetForcedClose(true);
  ClosePort();
  FContextTool = value;
  FPeerRepeatAddr = 0;
  if (wasOpen) {
    std::string error;
    OpenPort(error);
  }
}

void TZor_BaseDevice::SetDoResetEvent(bool value) {
  FDoResetEvent = value;
  FReceiveBuffer->SetDoResetEvent(value);
  FToolsBuffer->SetDoResetEvent(value);
}

void TZor_BaseDevice::SetDemoData(bool value) {
  if (value == FDemoData) return;
  LogText(FLogId, "TZor_BaseDevice.SetDemoData: Wechsel reale Daten - Demodaten, lösche Empfangspuffer");
  FReceiveBuffer->Clear();
  FDemoData = value;
}

std::string TZor_BaseDevice::GetUserConnected() const {
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  return FUserConnected;
}

void TZor_BaseDevice::SetUserID(uint8_t value) { FUserID = value >= 1 && value <= 4 ? value : 255; }

// ---- identity ----------------------------------------------------------------

void TZor_BaseDevice::SetSerialNumberValue(uint32_t value) {
  if (value != FSerialNumberValue) {
    LogText(FLogId, "TZor_BaseDevice.SetSerialNumberValue old=" + IntToHex(FSerialNumberValue, 8) +
                        ", new=" + IntToHex(value, 8));
    FSerialNumberValue = value;
  }
  FSerialNumberRead = true;
}

void TZor_BaseDevice::SetCFUserID(uint8_t value) {
  uint8_t old = FCFuserID.exchange(value);
  LogText(FLogId,
          "TZor_BaseDevice.SetCFUserID old=" + std::to_string(old) + ", new=" + std::to_string(value));
}

void TZor_BaseDevice::SetHardFeature(uint16_t value) {
  uint16_t old = FHardFeature.exchange(value);
  if (old != value)
    LogText(FLogId, "TZor_BaseDevice.SetHardFeature old=" + IntToHex(old, 4) + ", new=" + IntToHex(value, 4));
}

void TZor_BaseDevice::SetHardFeature32(uint32_t value) {
  uint32_t old = FHardFeature32.exchange(value);
  if (old != value)
    LogText(FLogId,
            "TZor_BaseDevice.SetHardFeature32 old=" + IntToHex(old, 8) + ", new=" + IntToHex(value, 8));
  uint16_t low = static_cast<uint16_t>(value);
  uint16_t oldLow = FHardFeature.exchange(low);
  if (oldLow != low)
    LogText(FLogId, "TZor_BaseDevice.SetHardFeature32 -> HardFeature old=" + IntToHex(oldLow, 4) +
                        ", new=" + IntToHex(low, 4));
}

void TZor_BaseDevice::SetFirmwareVersionNumber(int32_t value) {
  if (value != FFirmwareVersionNumber) {
    LogText(FLogId, "TZor_BaseDevice.SetFirmwareVersionNumber old=" + std::to_string(FFirmwareVersionNumber) +
                        ", new=" + std::to_string(value));
    FFirmwareVersionNumber = value;
  }
  if (FPeerType == ptESP) FFlagVersion = value > 113 ? 1 : 0;
}

void TZor_BaseDevice::SetESPFirmwareVersion(int32_t major, int32_t minor) {
  if (major == FFirmwareVersionMajor && minor == FFirmwareVersionMinor) return;
  LogText(FLogId, "TZor_BaseDevice.SetESPFirmwareVersion old=" + std::to_string(FFirmwareVersionMajor) + "." +
                      std::to_string(FFirmwareVersionMinor) + " new=" + std::to_string(major) + "." +
                      std::to_string(minor));
  FFirmwareVersionMajor = major;
  FFirmwareVersionMinor = minor;
}

void TZor_BaseDevice::GetESPFirmwareVersion(int32_t &major, int32_t &minor) const {
  major = FFirmwareVersionMajor;
  minor = FFirmwareVersionMinor;
}

void TZor_BaseDevice::SetPeerType(TZor_PeerType value) {
  // Live transports recognise the controller themselves.
  if (FDevType != Zor_BinFile && FDevType != Zor_TxtFile) return;
  LogText(FLogId, "TZor_BaseDevice.SetPeerType " + PeerTypeToText(value));
  FPeerType = value;
}

void TZor_BaseDevice::SetFFPGAVersion(const std::string &text) {
  if (text == FFPGAVersion) return;
  FFPGAVersion = text;
  const std::string head = "TZor_BaseDevice.SetFFPGAVersion: ";
  if (text.empty()) return LogErr(FLogId, head + "empty string");
  FFPGAtype = ft_unknown;
  if (text == "FFFFFF.FF") return LogErr(FLogId, head + "empty FPGA");

  std::optional<int> fields[4];
  static constexpr struct {
    const char *name;
    size_t pos;
    int base;
  } layout[4] = {{"year=", 0, 10}, {"month=", 2, 10}, {"day=", 4, 10}, {"code=", 7, 16}};
  for (int i = 0; i < 4; ++i) {
    fields[i] = FieldValue(text, layout[i].pos, layout[i].base);
    if (!fields[i]) return LogErr(FLogId, head + "illegal FPGA version " + text);
    std::string part = text.substr(layout[i].pos, 2);
    std::string value = layout[i].base == 16 ? "0x" + IntToHex(*fields[i], 2) : std::to_string(*fields[i]);
    LogText(FLogId, head + layout[i].name + part + " -> " + value);
  }
  int year = *fields[0], month = *fields[1], day = *fields[2];
  int currentYear = platform::LocalNow().Year;
  if (currentYear < 2000 + year)
    return LogErr(FLogId,
                  head + "illegal FPGA year " + text + ", CurrentYear=" + std::to_string(currentYear));
  if (month < 1 || month > 12) return LogErr(FLogId, head + "illegal FPGA month " + text);
  if (day < 1 || day > 31) return LogErr(FLogId, head + "illegal FPGA day " + text);
  // FPGAs built before 2022 are Altera parts, later ones MicroSemi; very old
  // ColdFire firmware only ran with Altera parts.
  if (FPeerType == ptESP)
    FFPGAtype = ft_MicroSemi;
  else if (FFirmwareVersionNumber <= 72)
    FFPGAtype = ft_Altera;
  else
    FFPGAtype = year > 21 ? ft_MicroSemi : ft_Altera;
  LogText(FLogId, head + "FPGA type=" + FPGATypeToText(FFPGAtype));
}

void TZor_BaseDevice::SetUserConnected(const std::string &bytes) {
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  if (bytes.size() != 16) {
    LogErr(FLogId, "TZor_BaseDevice.SetUserConnected invalid string " + BytesToHex(bytes));
    FUserConnected.clear();
    return;
  }
  std::string text = "Connected: ";
  for (size_t slot = 0; slot < 4; ++slot) {
    std::string entry = bytes.substr(slot * 4, 4);
    switch (BigEndianTextToInt32(entry).value_or(0)) {
      case 0: text += "---     "; break;
      case 2: text += "USB     "; break;
      case 3: text += "CAN     "; break;
      case 4: text += "Serial     "; break;
      default: text += BytesToIPv4(entry) + "     "; break;
    }
  }
  FUserConnected = text;
  LogText(FLogId, "TZor_BaseDevice.SetUserConnected " + text);
}

void TZor_BaseDevice::CheckTimeStampBytes(const std::string &bytes) {
  if (FDeviceStartState != ds_unknown) return;
  static const std::string marker("\x08\x70\x16", 3);
  size_t pos = bytes.find(marker);
  // A time stamp cut off at the end of the block is decided by a later one.
  if (pos == std::string::npos || pos + marker.size() + 4 > bytes.size()) return;
  std::string stamp = bytes.substr(pos + marker.size(), 4);
  LogText(FLogId, "TZor_BaseDevice.CheckTimeStampBytes Timestamp found " + BytesToHex(stamp));
  // The device counts seconds from 1 at power-up; a later count is a restart
  // of the connection to a running device.
  SetDeviceStartState(stamp == std::string("\0\0\0\1", 4) ? ds_ColdStart : ds_WarmStart);
}

std::unique_ptr<TZor_DeviceInfo> TZor_BaseDevice::GetDeviceInfo() const {
  if (FSerialNumberValue == 0xFFFFFFFF) return nullptr;
  auto info = std::make_unique<TZor_DeviceInfo>();
  info->SetSerialNumber(FSerialNumberValue);
  info->SetPeerType(FPeerType);
  info->SetHardFeature(FHardFeature32);
  return info;
}

// ---- awaited responses and pacing -------------------------------------------

void TZor_BaseDevice::AwaitResponseTo(const std::string &cmd, const std::string &logHead) {
  // Only the ESP firmware acknowledges settings; ColdFire devices pace by report.
  if (FPeerType != ptESP) return;
  uint16_t header = FLUMReportHeader;
  bool scramblerRefused = header != 0xFFFF && (header & 0x30) == 0x30;
  TCmdResponseType response = CmdResponseFor(cmd, scramblerRefused);
  if (response != crt_none) return SetCmdResponse(response);
  if (scramblerRefused && CmdResponseFor(cmd) == crt_scrambler)
    LogText(FLogId, logHead + " invalid scrambler cmd -> no wait CmdResponse");
}

void TZor_BaseDevice::PaceNextCommand(const std::string &cmd, bool usbLink, const std::string &logHead) {
  TZor_CommandPause pause = CommandPauseFor(cmd, usbLink && FPeerType == ptESP);
  if (pause.Ms == 0) return;
  // A longer pause already running (a resumption, a store) stays.
  if (GetDelayNextCmdMs() > pause.Ms) return;
  if (*pause.Reason) LogText(FLogId, logHead + " " + pause.Reason);
  SetDelayNextCmdMs(pause.Ms);
}

void TZor_BaseDevice::SetDelayNextCmdMs(uint32_t ms) {
  std::string device = DeviceText();
  LogText(FLogId, "TZor_BaseDevice.SetDelayNextCmdMs " + std::to_string(ms) + device);
  if (ms == 0) LogText(FLogId, "TZor_BaseDevice.SetDelayNextCmdms delay finished" + device);
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  FDelayNextCmdMs = ms;
  FDelayNextCmdStartTime = platform::GetTicks();
}

uint32_t TZor_BaseDevice::GetDelayNextCmdMs() {
  uint32_t ms, start;
  {
    std::lock_guard<std::recursive_mutex> g(FStateLock);
    ms = FDelayNextCmdMs;
    start = FDelayNextCmdStartTime;
  }
  if (ms == 0) return 0;
  uint32_t elapsed = platform::TicksSince(start);
  if (elapsed < ms) {
    uint32_t remaining = ms - elapsed;
    LogText(FLogId, "TZor_BaseDevice.GetDelayNextCmdMs=" + std::to_string(remaining) + DeviceText());
    return remaining;
  }
  // A ColdFire device ends the pause with its 0x7901 report; until it arrives
  // the next command waits, one millisecond at a time.
  if (FPeerType == ptColdfire) {
    LogText(FLogId, "TZor_BaseDevice.GetDelayNextCmdMs report missing 1" + DeviceText());
    return 1;
  }
  return 0;
}

bool TZor_BaseDevice::ReadFHRData(TZor_CommandQueue *sender) {
  FFHRSender = sender;
  const std::string head = "TZor_BaseDevice.ReadFHRData";
  LogText(FLogId, head + ": FHRReadCount=" + std::to_string(FFHRReadCount));
  if (FFHRReadCount < 0 || FFHRReadCount > 3) {
    LogErr(FLogId, head + " failed: invalid FHRReadCount=" + std::to_string(FFHRReadCount));
    FFHRReadCount = 0;
    FFHRReadCountLast = -1;
    return false;
  }
  uint8_t slice = static_cast<uint8_t>(FFHRReadCount + 1);
  std::string cmd =
      FPeerType == ptESP ? CmdReadNVSBlock(slice) : std::string{'\x03', static_cast<char>(slice)};
  if (FFHRReadCount == FFHRReadCountLast) {
    LogErr(FLogId, head + " repeat FHRReadCount=" + std::to_string(FFHRReadCount));
    if (GetDelayNextCmdMs() == 1) SetDelayNextCmdMs(0);
  }
  bool sent = sender && sender->SendCommand(cmd) == Zor_No_Err;
  FFHRReadCountLast = FFHRReadCount;
  return sent;
}

// ---- error state -----------------------------------------------------------

TZor_Result TZor_BaseDevice::GetErrorCode() const {
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  return FErrorCode;
}

std::string TZor_BaseDevice::GetErrorMessage() const {
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  return FErrorMessage;
}

uint32_t TZor_BaseDevice::GetSystemLastError() const {
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  return FSystemLastError;
}

void TZor_BaseDevice::SetError(TZor_Result code, const std::string &message) {
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  FErrorCode = code;
  FErrorMessage = message;
}

void TZor_BaseDevice::QuitError() {
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  FErrorCode = Zor_No_Err;
  FSystemLastError = 0;
  FErrorMessage.clear();
}

void TZor_BaseDevice::SetSystemError(uint32_t code, const std::string &header, const std::string &content) {
  std::lock_guard<std::recursive_mutex> g(FStateLock);
  FSystemLastError = code;
  FErrorCode = Zor_System_Err;
  FErrorMessage = header + ": (" + std::to_string(code) + ")=" + content;
}

void TZor_BaseDevice::SetSystemError(const std::string &header) {
  SetSystemErrorText(platform::LastSystemError(), header);
}

void TZor_BaseDevice::SetSystemErrorText(const platform::TZor_SysError &error, const std::string &header) {
  SetSystemError(error.Code, header, platform::SystemErrorText(error));
}

// ---- saving received data ----------------------------------------------------

bool TZor_BaseDevice::StartSaveBinaryData(const std::string &fileName) {
  // Recorded and relayed data are not saved again.
  if (FDevType >= Zor_BinFile && FDevType != Zor_CAN_Dev) return false;
  std::lock_guard<std::mutex> g(FBinLock);
  if (FBinDataStream.is_open()) FBinDataStream.close();
  FBinDataStream.open(fileName, std::ios::binary | std::ios::out | std::ios::trunc);
  if (!FBinDataStream.is_open()) {
    LogErr(FLogId, "TZor_BaseDevice.SaveBinaryData can not create " + fileName);
    return false;
  }
  FBinSaveRawData = fileName.find("Raw") != std::string::npos;
  LogText(FLogId,
          "TZor_BaseDevice.SaveBinaryData to " + fileName + ", SaveRawData=" + BoolText(FBinSaveRawData));
  return true;
}

void TZor_BaseDevice::SaveBinaryData(const char *bytes, size_t count) {
  std::lock_guard<std::mutex> g(FBinLock);
  if (FBinDataStream.is_open()) FBinDataStream.write(bytes, static_cast<std::streamsize>(count));
}

bool TZor_BaseDevice::StopSaveBinaryData() {
  LogText(FLogId, "TZor_BaseDevice.StopSaveBinaryData");
  std::lock_guard<std::mutex> g(FBinLock);
  if (!FBinDataStream.is_open()) return false;
  FBinDataStream.close();
  return true;
}

}  // namespace zor
