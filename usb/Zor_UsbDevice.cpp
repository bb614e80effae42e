#include "usb/Zor_UsbDevice.h"

#include <algorithm>
#include <cstdint>

#include "device/Zor_Commands.h"
#include "foundation/CircularBuffer.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "usb/USBUtils.h"
#include "usb/Zor_HidThread.h"
#include "usb/Zor_UsbThread.h"

namespace zor {

using platform::TZor_IoResult;

namespace {

const char *BoolText(bool value) { return value ? "True" : "False"; }

// Reports shorter than this cannot hold the length byte, one data byte and
// the two counters; such lengths mean the descriptor was not understood.
constexpr uint32_t MinInputReportLength = 12;
constexpr uint32_t MinOutputReportLength = 2;
// Reports dropped at most before a tools request: more than any answer has.
constexpr int MaxStaleReports = 64;

uint32_t BigEndian32(const std::string &bytes, size_t pos) { return BigEndianTextToInt32(bytes, pos).value_or(0); }

}  // namespace

std::string LoginStateToText(unsigned state) {
  switch (state) {
    case ls_waitBufferCleared:
      return "waitBufferCleared";
    case ls_waitVersion:
      return "waitVersion";
    case ls_registered:
      return "registered";
    default:
      return "unknown " + std::to_string(state);
  }
}

// ---- life ------------------------------------------------------------------

TZor_UsbDevice::TZor_UsbDevice(int aLogId, int aMultiId, platform::TZor_Event *aReceiveEvent, bool aDoResetEvent)
    : TZor_BaseDevice(aLogId, aDoResetEvent, aReceiveEvent, aMultiId) {}

TZor_UsbDevice::TZor_UsbDevice(int aLogId, int aMultiId, platform::TZor_Event *aReceiveEvent, bool aDoResetEvent,
                               TZor_DeviceType aDevType, const std::string &aDevicePath, uint16_t aVid,
                               uint16_t aPid, const std::string &aSerialNumber, const std::string &aProduct,
                               const std::string &aManufacturer)
    : TZor_BaseDevice(aLogId, aDoResetEvent, aReceiveEvent, aMultiId) {
  Construct(aDevType, aDevicePath, aVid, aPid, aSerialNumber, aProduct, aManufacturer);
}

TZor_UsbDevice::TZor_UsbDevice(int aLogId, int aMultiId, platform::TZor_Event *aReceiveEvent, bool aDoResetEvent,
                               const TZor_UsbDevice &aClone)
    : TZor_BaseDevice(aLogId, aDoResetEvent, aReceiveEvent, aMultiId) {
  Construct(aClone.FDevType, aClone.FDevicePath, aClone.FVid, aClone.FPid, aClone.FSerialNumber,
            aClone.FProductString, aClone.FManufacturerString);
}

void TZor_UsbDevice::Construct(TZor_DeviceType aDevType, const std::string &aDevicePath, uint16_t aVid,
                               uint16_t aPid, const std::string &aSerialNumber, const std::string &aProduct,
                               const std::string &aManufacturer) {
  FDevType = aDevType;
  FDevicePath = aDevicePath;
  FVid = aVid;
  FPid = aPid;
  if (IsEspDeviceId(aVid, aPid)) {
    FPeerType = ptESP;
    FMultiUSB = true;
    FReadTimeoutMs = 100;
  } else {
    FPeerType = ptColdfire;
  }
  FFirstCommand = FPeerType == ptESP;
  FSerialNumber = aSerialNumber;
  FProductString = aProduct;
  FManufacturerString = aManufacturer;
  size_t underscore = FSerialNumber.find('_');
  if (underscore != std::string::npos && underscore > 0) FNickName = FSerialNumber.substr(underscore + 1);
}

TZor_UsbDevice::~TZor_UsbDevice() { ClosePort(); }

// ---- identity ------------------------------------------------------------------

std::string TZor_UsbDevice::GetSerialNumberPart() const {
  size_t underscore = FSerialNumber.find('_');
  if (underscore == std::string::npos || underscore == 0) return FSerialNumber;
  return FSerialNumber.substr(0, underscore);
}

uint32_t TZor_UsbDevice::GetSerialNumberValue() {
  std::string part = GetSerialNumberPart();
  uint32_t value = 0xFFFFFFFF;
  if (part != "V1.0" && part.find("LUM2") == std::string::npos) {
    bool isHex = !part.empty() && part.size() <= 8 &&
                 std::all_of(part.begin(), part.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    if (isHex)
      value = static_cast<uint32_t>(std::stoul(part, nullptr, 16));
    else
      LogErr(GetLogId(), "UsbDevice.GetSerialNumberValue: not a LongWord: " + part);
  }
  FSerialNumberValue = value;
  return value;
}

bool TZor_UsbDevice::IsBootLoader() const {
  return FPid == 0x0004 || (FPid == 0x0611 && FProductString.find("Bootloader") != std::string::npos);
}

std::string TZor_UsbDevice::GetPortDisplayName() const {
  std::string name;
  if (!FNickName.empty()) {
    name = FNickName;
  } else {
    if (!FSerialNumber.empty()) {
      name = FSerialNumber;
    } else {
      // Paths of other systems carry a "\\.\" prefix; show only the node.
      std::string path = FDevicePath.rfind("\\\\.\\", 0) == 0 ? FDevicePath.substr(4) : FDevicePath;
      name = DeviceNodeOfPath(path);
    }
    name = "USB: " + name;
  }
  if (IsBootLoader()) name += " (" + FProductString + ")";
  return name;
}

bool TZor_UsbDevice::IsEqual(const TZor_BaseDevice *other) const {
  if (other == this) return true;
  auto *usb = dynamic_cast<const TZor_UsbDevice *>(other);
  return usb && usb->FDevicePath == FDevicePath;
}

std::string TZor_UsbDevice::ToString() const {
  std::string text = DeviceTypeToText(FDevType) + ": User/CF=" + std::to_string(GetRegisterID()) + "/" +
                     std::to_string(FCFuserID.load());
  if (!FNickName.empty())
    text += ", Friendly=" + FNickName;
  else
    text += ", VID=" + IntToHex(FVid, 4) + ", PID=" + IntToHex(FPid, 4) + ", Serialnumber=" + FSerialNumber +
            ", Path=" + FDevicePath + ", PeerType=" + PeerTypeToText(FPeerType);
  if (FPortIsOpened) text += ", PortIsOpened";
  return text;
}

std::string TZor_UsbDevice::ToUserString() const {
  return GetPortDisplayName() + ": User/CF=" + std::to_string(GetRegisterID()) + "/" +
         std::to_string(FCFuserID.load()) + ", MultiUSB=" + BoolText(FMultiUSB) +
         ", TooManyUsers=" + BoolText(FTooManyUsers);
}

uint32_t TZor_UsbDevice::GetHIDOutputReportByteLength() const {
  return FOutputReportByteLength ? FOutputReportByteLength - 1 : 0;
}

// ---- state set by the I/O threads ------------------------------------------------

void TZor_UsbDevice::SetLoginState(TLoginState state) {
  if (state == FLoginState) return;
  LogText(GetLogId(), "TZor_UsbDevice.SetLoginState " + LoginStateToText(state));
  FLoginState = state;
}

void TZor_UsbDevice::SetMultiUSB() {
  if (FMultiUSB) return;
  LogText(GetLogId(), "TZor_UsbDevice.SetMultiUSB");
  FMultiUSB = true;
}

void TZor_UsbDevice::SetTooManyUsers() {
  LogErr(GetLogId(), "TZor_UsbDevice.SetTooManyUsers");
  FTooManyUsers = true;
}

void TZor_UsbDevice::SetBufferOverflow() {
  LogErr(GetLogId(), "TZor_UsbDevice.SetBufferOverflow");
  FBufferOverflow = true;
}

void TZor_UsbDevice::SetReadTimeoutMs(uint32_t value) {
  if (value == FReadTimeoutMs) return;
  LogText(GetLogId(), "TZor_UsbDevice.SetReadTimeoutMs: " + std::to_string(value));
  FReadTimeoutMs = value;
  // The thread reads with the owner's timeout each time: nothing to apply.
  if (FDevType == Zor_CDC && FUsbThread) LogTimeouts();
}

void TZor_UsbDevice::QuitError() {
  TZor_BaseDevice::QuitError();
  FSuppressErrorDisconnected = false;
  FSuppressErrorOpen = false;
}

void TZor_UsbDevice::SetDeviceNotConnected() {
  {
    // Written by the HID thread too: callers never see half of it.
    std::lock_guard<std::recursive_mutex> g(FStateLock);
    SetSystemErrorText({platform::ERR_DEVICE_NOT_CONNECTED, 0}, GetPortDisplayName());
    FErrorCode = Zor_DeviceNotConnected;
  }
  if (!FSuppressErrorDisconnected.exchange(true)) LogErr(GetLogId(), "### " + GetErrorMessage() + " ###");
}

// ---- open and close --------------------------------------------------------------

bool TZor_UsbDevice::OpenError(const std::string &message, std::string &errorText) {
  SetError(Zor_System_Err, message);
  errorText = message;
  return false;
}

bool TZor_UsbDevice::OpenPort(std::string &errorText) {
  ClosePort();
  LogText(GetLogId(), "TZor_UsbDevice.OpenPort " + ToString() + (FBlockingIO ? " (BlockingIO)" : ""));
  errorText.clear();
  FCFuserID = 255;
  FCFBufferAmount = 0;
  SetLUMReportHeader(0xFFFF);
  SetCmdResponse(crt_none);

  if (FDevType != Zor_HID && FDevType != Zor_CDC)
    return OpenError("Error open Zor device \"" + GetPortDisplayName() + "\": not a USB device", errorText);

  FPortIsOpened = FDevType == Zor_CDC ? CDCOpen(true) : HIDOpen();
  if (!FPortIsOpened) {
    if (GetSystemLastError() == platform::ERR_ACCESS_DENIED)
      SetError(GetErrorCode(), "Error open Zor device \"" + GetPortDisplayName() + "\": USB device is already in use");
    errorText = GetErrorMessage();
    return false;
  }
  if (FDevType == Zor_CDC) return CDCOpenPortFinish(errorText);
  std::string firstCommand;
  if (GetContextTool()) {
    FWrite = [this](const std::string &command) { return HIDWrite(command); };
    FHasCommandList = false;
    firstCommand = std::string("\x85\x10", 2);
  } else {
    HIDStartThread();
    // A recovery that could not reopen leaves no reader thread behind.
    FWrite = [this](const std::string &command) { return FHIDThread && FHIDThread->WriteCommand(command); };
    FHasCommandList = true;
    if (!IsBootLoader()) firstCommand = "\x01";
  }
  if (!firstCommand.empty() && !DeviceWrite(firstCommand)) {
    // Nothing stays open behind a port that reports itself closed.
    HIDCloseThread();
    HIDClose();
    FWrite = nullptr;
    FPortIsOpened = false;
    errorText = "Can not write to device";
    return false;
  }
  LogText(GetLogId(), "### Device opened " + ToString() + " ###");
  return true;
}

void TZor_UsbDevice::ClosePort() {
  if (!FPortIsOpened && !FRecoverNeeded) {
    // A thread whose port vanished may still be held.
    if (FUsbThread) CDCClose(false);
    return;
  }
  LogText(GetLogId(), "### Close Device " + ToString() + " ###");
  FCloseRequested = true;
  if (FDevType == Zor_HID) {
    if (FPortIsOpened && !IsBootLoader()) SendStopCmd();
    HIDCloseThread();
    HIDClose();
  } else if (FDevType == Zor_CDC) {
    CDCClose(FPortIsOpened);
  }
  FWrite = nullptr;
  FCloseRequested = false;
  // A closed device is not reopened by a recovery still due.
  FRecoverNeeded = false;
  FisReconnected = false;
  FReconnectedTick = 0;
  FPortIsOpened = false;
  FLoginState = ls_waitBufferCleared;
  LogText(GetLogId(), "### Device Closed " + ToString() +
                          ", Self=" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + " ###");
}

bool TZor_UsbDevice::SendStopCmd() {
  auto clearResponse = [this] {
    if (GetCmdResponse() == crt_none) return;
    LogText(GetLogId(), "TZor_UsbDevice.SendStopCmd: clear CmdResponse=" + CmdResponseTypeToText(GetCmdResponse()));
    SetCmdResponse(crt_none);
  };
  clearResponse();
  if (!FWrite) return false;
  bool ok = true;
  if (GetContextTool() && !IsBootLoader()) {
    ok = FWrite(std::string("\x85\x11", 2));
    // In tools mode nothing but this loop sends what waits in the queue, and
    // a device that never answers must not hold the close forever.
    for (int waited = 0; ok && GetPendingCmdsCount() > 0 && waited < StopDrainMs; waited += 5) {
      WaitSleep(5);
      clearResponse();
      if (std::shared_ptr<TZor_UsbThread> thread = FUsbThread) thread->Write();
    }
  }
  if (ok) ok = FWrite(std::string("\x85\x60", 2));
  return ok;
}

bool TZor_UsbDevice::HIDOpen() {
  platform::TZor_SysError error;
  FDevHandle = platform::OpenHidPort(DeviceNodeOfPath(FDevicePath), error);
  if (FDevHandle && (FDevHandle->InputReportLength() < MinInputReportLength ||
                     FDevHandle->OutputReportLength() < MinOutputReportLength)) {
    FDevHandle.reset();
    error = {13, 0};
  }
  if (!FDevHandle) {
    if (error.Code == platform::ERR_DEVICE_NOT_CONNECTED || error.Code == platform::ERR_FILE_NOT_FOUND) {
      SetDeviceNotConnected();
      return false;
    }
    SetSystemErrorText(error, "Error open Zor device \"" + GetPortDisplayName() + "\"");
    if (!FSuppressErrorOpen) LogErr(GetLogId(), "### " + GetErrorMessage() + " ###");
    FSuppressErrorOpen = true;
    return false;
  }
  FInputReportByteLength = FDevHandle->InputReportLength();
  FOutputReportByteLength = FDevHandle->OutputReportLength();
  FSaveColdfireVariable2 = 0xFFFF;
  FLastReadError = 0;
  FletzterDebugStr.clear();
  QuitError();
  return true;
}

void TZor_UsbDevice::HIDClose() {
  FDevHandle.reset();
  FReadBufferHID.clear();
  FCommandBuffer.clear();
}

void TZor_UsbDevice::HIDRecoverClose() {
  // The reader thread goes first (its queued stop goes out with it): it
  // must never read from a handle that is closed under it.
  HIDCloseThread();
  HIDClose();
}

void TZor_UsbDevice::HIDStartThread() {
  HIDCloseThread();
  FHIDThread = std::make_unique<THIDThread>(
      *this, [this](std::string &text) { return HIDReadReport(text); },
      [this](const std::string &chunk) { return HIDWriteReport(chunk); }, [this] { FDevHandle->CancelRead(); },
      FOutputReportByteLength - 1);
}

void TZor_UsbDevice::HIDCloseThread() {
  if (!FHIDThread) return;
  LogText(GetLogId(), "UsbDevice.HIDCloseThread");
  FHIDThread->Terminate();
  // The thread's reads and writes have deadlines, so it always ends; the
  // error line only tells that it took longer than it should.
  if (!FHIDThread->WaitFinished(1000)) LogErr(GetLogId(), "### HID thread terminated ###");
  LogText(GetLogId(), "UsbDevice.HIDCloseThread: HIDThread.Free");
  FHIDThread.reset();
}

// ---- reading ------------------------------------------------------------------

TZor_IoResult TZor_UsbDevice::HIDReadOneReport(std::string &report, uint32_t timeoutMs) {
  TZor_IoResult result = FDevHandle->Read(report, timeoutMs);
  if (result == TZor_IoResult::ioError) {
    platform::TZor_SysError error = FDevHandle->GetLastError();
    FLastReadError = error.Code;
    SetSystemErrorText(error, "HIDReadOneReport: ReadFile failed");
    LogErr(GetLogId(), "###################   " + GetErrorMessage() + "  #####################");
    if (error.Code == platform::ERR_DEVICE_NOT_CONNECTED) SetDeviceNotConnected();
  } else if (result == TZor_IoResult::ioOk && report.size() != FInputReportByteLength) {
    // Report boundaries come from the report length; anything else is a broken read.
    SetSystemError(13, "HIDReadOneReport: ReadFile failed",
                   "report of " + std::to_string(report.size()) + " bytes");
    LogErr(GetLogId(), "###################   " + GetErrorMessage() + "  #####################");
    result = TZor_IoResult::ioError;
  }
  return result;
}

TZor_IoResult TZor_UsbDevice::HIDReadOneReportTraced(std::string &report, uint32_t timeoutMs) {
  TZor_IoResult result = HIDReadOneReport(report, timeoutMs);
  if (result != TZor_IoResult::ioOk || GetContextTool()) return result;
  // Only equality with the previous summary matters: it tells a repeated report.
  const uint32_t n = FInputReportByteLength;
  const uint8_t length = static_cast<uint8_t>(report[1]);
  const size_t valid = std::min<size_t>(length >= 8 ? length - 8 : 0, n - 11);
  std::string data = report.substr(2, valid);
  if (valid > 59) data = data.substr(0, 16) + data.substr(valid - 16);
  std::string summary = std::to_string(report.size()) + ":" + BytesToHex(report.substr(0, 2)) + ":" +
                        BytesToHex(data) + ":" + BytesToHex(report.substr(n - 9));
  bool repeated = summary == FletzterDebugStr;
  FHIDDoppelterString = repeated;
  if (repeated && GetLowLevelLog())
    LogText(GetLogId(), "################### duplicated string #####################");
  FletzterDebugStr = std::move(summary);
  return result;
}

TZor_IoResult TZor_UsbDevice::HIDReadContinuation(std::string &report) {
  // The rest of a message follows at once: wait for it like for an answer,
  // and do not let a command woken read cut the message.
  const uint32_t wait = std::max(GetReadTimeoutMs(), HIDReadSliceMs);
  const uint32_t start = platform::GetTicks();
  TZor_IoResult result;
  do {
    result = HIDReadOneReportTraced(report, wait - std::min(wait, platform::TicksSince(start)));
  } while (result == TZor_IoResult::ioCancelled && platform::TicksSince(start) < wait);
  return result == TZor_IoResult::ioCancelled ? TZor_IoResult::ioTimeout : result;
}

TZor_IoResult TZor_UsbDevice::HIDReadReport(std::string &text) {
  // Tools mode picks up only a report that has already arrived; the HID
  // thread waits one slice so it sees commands and termination in time.
  return HIDReadReport(text, GetContextTool() ? 0 : HIDReadSliceMs);
}

TZor_IoResult TZor_UsbDevice::HIDReadReport(std::string &text, uint32_t firstWaitMs) {
  FHIDFullReport = false;
  const uint32_t n = FInputReportByteLength;
  std::string report;
  TZor_IoResult result = HIDReadOneReportTraced(report, firstWaitMs);
  if (result != TZor_IoResult::ioOk) return result;
  const uint8_t length = static_cast<uint8_t>(report[1]);
  if (length <= n - 3) {
    text = report.substr(1, n - 10);
  } else {
    if (GetLowLevelLog())
      LogText(GetLogId(), "####   HIDReadReport: read more than one report usb_len=" + std::to_string(length) +
                              "(0x" + IntToHex(length, 2) + ")");
    text = report.substr(1, n - 2);
    while (text.size() < length) {
      result = HIDReadContinuation(report);
      if (result != TZor_IoResult::ioOk) return result;
      text += report.substr(1, n - 2);
    }
    text.resize(text.size() - 8);
    if (GetLowLevelLog()) LogText(GetLogId(), "#### counter cleared, data=" + BytesToHex(text));
  }
  const uint32_t writeCounter = BigEndian32(report, n - 9);
  const uint32_t readCounter = BigEndian32(report, n - 5);
  const uint8_t valid = length >= 8 ? length - 8 : 0;
  const uint16_t expected = static_cast<uint16_t>(readCounter - valid);
  if (FSaveColdfireVariable2 != 0xFFFF && FSaveColdfireVariable2 != expected && GetLowLevelLog())
    LogText(GetLogId(), "################### unexpected counter! old=" + IntToHex(FSaveColdfireVariable2, 4) +
                            " neu=" + IntToHex(readCounter, 8) + " #####################");
  FSaveColdfireVariable2 = static_cast<uint16_t>(readCounter);
  FHIDFullReport = length == n - 3;
  FHIDCountersZero = writeCounter == 0 && readCounter == 0;
  text[0] = static_cast<char>(valid);
  if (GetLowLevelLog())
    LogText(GetLogId(), "####   HIDReadReport: Schreibzeiger/Lesezeiger: " + IntToHex(writeCounter, 8) + " " +
                            IntToHex(readCounter, 8));
  const size_t present = std::min<size_t>(valid, text.size() - 1);
  if (present > 0) SaveBinaryData(text.data() + 1, present);
  return TZor_IoResult::ioOk;
}

bool TZor_UsbDevice::HIDRead(uint32_t count, std::string &text) {
  count &= 0xFF;
  text.clear();
  // Only a report that has already arrived starts an answer; the rest of an
  // answer longer than one report follows a report time later and is waited for.
  uint32_t wait = 0;
  FHIDColdfireCleared = false;
  while (text.size() < count && FDevHandle) {
    if (HIDReadReport(FReadBufferHID, wait) != TZor_IoResult::ioOk) break;
    const size_t valid = std::min<size_t>(static_cast<uint8_t>(FReadBufferHID[0]), FReadBufferHID.size() - 1);
    const std::string data = FReadBufferHID.substr(1, valid);
    if (FHIDFullReport && FHIDCountersZero &&
        std::all_of(data.begin(), data.end(), [](char c) { return c == 0; })) {
      // The device's notice that it emptied its transmit buffer (its
      // counters start again with it). It can arrive late, after the
      // request was sent: it is no part of the answer, and nothing read
      // before it is either.
      LogText(GetLogId(), "#### HIDRead: buffer cleared report skipped");
      text.clear();
      wait = 0;
      FHIDColdfireCleared = true;
      continue;
    }
    // Zero bytes with counters are memory that holds zeros, not the notice.
    FHIDColdfireCleared = false;
    wait = std::max(GetReadTimeoutMs(), HIDReadSliceMs);
    text += data.substr(0, count - text.size());
  }
  return count == 0 || !text.empty();
}

bool TZor_UsbDevice::DeviceRead(uint32_t count, std::string &text) {
  if (FDevType == Zor_CDC) return CDCRead(count, text);
  if (FDevType == Zor_HID && FPortIsOpened && GetContextTool()) return HIDRead(count, text);
  return TZor_BaseDevice::DeviceRead(count, text);
}

bool TZor_UsbDevice::ToolsRead(uint32_t count, std::string &text) {
  // A HID device has no separate tools channel: its answers come with the
  // reports, read directly in tools mode and from the receive buffer in stream mode.
  if (FDevType == Zor_HID) return DeviceRead(count, text);
  if (FDevType == Zor_CDC) return CDCToolsRead(count, text);
  return TZor_BaseDevice::ToolsRead(count, text);
}

void TZor_UsbDevice::ClearToolsAnswers() {
  TZor_BaseDevice::ClearToolsAnswers();
  // In stream mode a HID device's answers share the receive buffer with its
  // reports: what is there now cannot answer a request not sent yet.
  if (FDevType == Zor_HID && FPortIsOpened && !GetContextTool()) {
    GetReceiveBuffer().Clear();
    GetReceiveBuffer().GetBufferCleared();
  }
  // In tools mode a report already waiting answers an earlier request (one
  // read again, or given up on): taken now it would become the start of the
  // next answer. A device that never stops sending must not hold the caller.
  if (FDevType == Zor_HID && FPortIsOpened && GetContextTool() && FDevHandle) {
    std::string report;
    int dropped = 0;
    while (dropped < MaxStaleReports && HIDReadOneReport(report, 0) == TZor_IoResult::ioOk) ++dropped;
    if (dropped)
      LogText(GetLogId(), "UsbDevice.ClearToolsAnswers: " + std::to_string(dropped) + " late reports dropped");
  }
}

bool TZor_UsbDevice::CheckDeviceClosed() {
  if (FDevType == Zor_CDC) return CDCCheckThreadEnd();
  if (FDevType == Zor_HID && FRecoverNeeded) {
    RecoverFromUSBError();
    return GetErrorCode() == Zor_DeviceNotConnected;
  }
  if (FDevType != Zor_HID || !FHIDThread || !FHIDThread->GetSuspended()) return false;
  if (GetReceivedSec() != 0) {
    if (FLastReadError == platform::ERR_DEVICE_NOT_CONNECTED) SetDeviceNotConnected();
    RecoverFromUSBError();
    return GetErrorCode() == Zor_DeviceNotConnected;
  }
  const std::string message = "UsbDevice does not send measurement data: Please check measurement hardware!";
  SetError(Zor_HardwareFault, message);
  LogErr(GetLogId(), message + " -> no recover");
  return true;
}

// ---- writing ------------------------------------------------------------------

bool TZor_UsbDevice::DeviceWrite(const std::string &command) {
  if (FWrite) return FWrite(command);
  SetError(Zor_WriteError, "Can not write to device");
  return false;
}

bool TZor_UsbDevice::HIDWriteReport(const std::string &chunk) {
  std::string report(1, '\0');
  report += chunk;
  report.resize(FOutputReportByteLength, '\0');
  TZor_IoResult result = FDevHandle->Write(report, HIDWriteTimeoutMs);
  if (result != TZor_IoResult::ioOk) {
    if (result == TZor_IoResult::ioError)
      SetSystemErrorText(FDevHandle->GetLastError(), "HIDWriteReport: WriteFile  failed");
    else
      SetSystemError(platform::ERR_SEM_TIMEOUT, "HIDWriteReport failed",
                     platform::SystemErrorText({platform::ERR_SEM_TIMEOUT, 0}));
    LogErr(GetLogId(), "### " + GetErrorMessage() + " ###");
    return false;
  }
  if (GetLowLevelLog()) LogText(GetLogId(), "#### HIDWriteReport: --> " + BytesToHex(report));
  LogText(GetLogId(), "{" + BytesToHex(report) + "}");
  return true;
}

bool TZor_UsbDevice::HIDWrite(const std::string &command) {
  if (GetLowLevelLog()) LogText(GetLogId(), "#### HIDWrite: " + BytesToHex(command) + " ###");
  const size_t m = FOutputReportByteLength - 1;
  if (command.size() > 0xFF || !FDevHandle) {
    SetError(Zor_WriteError, "HIDWrite: command of " + std::to_string(command.size()) + " bytes not sent");
    return false;
  }
  FCommandBuffer = static_cast<char>(command.size()) + command;
  FCommandBuffer.resize((FCommandBuffer.size() + m - 1) / m * m, '\0');
  while (!FCommandBuffer.empty()) {
    if (!HIDWriteReport(FCommandBuffer.substr(0, m))) {
      // The rest of a command the device only got in part is worthless.
      LogText(GetLogId(), "#### HIDWrite failed: " + BytesToHex(command) + " ###");
      FCommandBuffer.clear();
      return false;
    }
    FCommandBuffer.erase(0, m);
  }
  return true;
}

// ---- commands in stream mode ----------------------------------------------------------

uint32_t TZor_UsbDevice::GetPendingCmdsCount() {
  std::shared_ptr<TZor_UsbThread> thread = FUsbThread;
  uint32_t count = thread ? thread->GetPendingCmdsCount() : FHIDThread ? FHIDThread->GetPendingCmdsCount() : 0;
  if (count) LogText(GetLogId(), "UsbDevice.GetPendingCmdsCount: " + std::to_string(count));
  return count;
}

void TZor_UsbDevice::DeleteCommands() {
  if (std::shared_ptr<TZor_UsbThread> thread = FUsbThread) thread->DeleteCommands(this);
  if (FHIDThread) FHIDThread->DeleteCommands();
}

}  // namespace zor
