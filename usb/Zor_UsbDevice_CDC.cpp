// The virtual COM port side of the USB device object: joining and leaving
// the I/O thread that owns the port, supervising it, and bringing a broken
// data stream back (the recovery serves HID devices too).
#include <string>

#include "device/Zor_Commands.h"
#include "foundation/CircularBuffer.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "usb/Zor_HidThread.h"
#include "usb/Zor_LocalDevice.h"
#include "usb/Zor_UsbDevice.h"
#include "usb/Zor_UsbThread.h"

namespace zor {

namespace {

const char *BoolText(bool value) { return value ? "True" : "False"; }

std::string BigEndianBytes(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (24 - 8 * i));
  return bytes;
}

constexpr uint32_t CDCWaitStepMs = 100;

}  // namespace

// ---- helpers -------------------------------------------------------------------

bool TZor_UsbDevice::GetHandleClosed() const {
  if (FDevType != Zor_CDC) return !FDevHandle;
  std::shared_ptr<TZor_UsbThread> thread = FUsbThread;
  return !thread || !thread->GetUSBOpened();
}

void TZor_UsbDevice::SetUsbThread(std::shared_ptr<TZor_UsbThread> thread) {
  FUsbThreadOfOwner = thread.get();
  FUsbThread = std::move(thread);
}

TZor_UsbDevice *TZor_UsbDevice::OtherOwner() const {
  // Asked by the I/O thread too (pacing): only the atomic pointer is read,
  // and the thread it names lives while this object is one of its users.
  TZor_UsbThread *thread = FUsbThreadOfOwner;
  if (FDevType != Zor_CDC || !thread) return nullptr;
  TZor_UsbDevice *owner = thread->GetOwner();
  return owner != this ? owner : nullptr;
}

int TZor_UsbDevice::CDCCloseWaitSteps() const {
  return static_cast<int>(FReadTimeoutMs / 100) * (FPeerType == ptESP ? 10 : 2);
}

std::string TZor_UsbDevice::RegisterCommand() const {
  uint8_t slot = GetUserID();
  if (slot < 1 || slot > 4) slot = GetRegisterID();
  std::string cmd("\xBE", 1);
  if (slot >= 1 && slot <= 4) cmd += static_cast<char>(slot - 1);
  return cmd;
}

void TZor_UsbDevice::CDCFreeThread() {
  std::shared_ptr<TZor_UsbThread> thread = FUsbThread;
  if (!thread) return;
  SetUsbThread(nullptr);
  // The thread must not reach this object any more once the reference is gone.
  thread->RemoveDevice(this);
  UsbThreadList().RemoveThread(thread);
}

void TZor_UsbDevice::CDCLeaveThread() {
  std::shared_ptr<TZor_UsbThread> thread = FUsbThread;
  if (!thread) return;
  if (thread->RemoveDevice(this) > 0 && !thread->GetTerminated()) {
    // Others still use it: only this object's share goes.
    SetUsbThread(nullptr);
    return;
  }
  // A suspended thread never ends by itself.
  if (GetContextTool()) thread->Terminate();
  CDCWaitThreadEnd(CDCCloseWaitSteps());
  if (FUsbThread) {
    FUsbThread->Terminate();
    CDCFreeThread();
  }
}

void TZor_UsbDevice::CDCWaitThreadEnd(int steps) {
  for (int n = steps; n >= 0; --n) {
    std::shared_ptr<TZor_UsbThread> thread = FUsbThread;
    if (!thread || thread->GetTerminated()) return;
    LogText(GetLogId(), "Thread still running, retry(" + std::to_string(n) + ") wait...");
    WaitSleep(CDCWaitStepMs);
  }
}

// ---- serial-line settings ----------------------------------------------------------

// A port here has no queue sizes to set and no stored timeouts: the thread
// passes the owner's read timeout with every read and a write deadline of
// 20 ms per byte with every write. The lines tell what the link runs with.
bool TZor_UsbDevice::SetBufferSize(platform::TZor_SerialPort &) { return true; }

bool TZor_UsbDevice::SetTimeouts(platform::TZor_SerialPort &) {
  LogTimeouts();
  return true;
}

void TZor_UsbDevice::LogTimeouts() {
  LogText(GetLogId(),
          "TZor_UsbDevice CDC Thread Read Timeouts: ReadIntervalTimeout=0, ReadTotalTimeoutMultiplier=0, "
          "ReadTotalTimeoutConstant=" +
              std::to_string(FReadTimeoutMs));
  LogText(GetLogId(), "TZor_UsbDevice Write Timeouts: WriteTotalTimeoutMultiplier=20, WriteTotalTimeoutConstant=0");
}

// ---- open, write, read, close ---------------------------------------------------------

bool TZor_UsbDevice::CDCOpen(bool clearBuffer) {
  LogText(GetLogId(), std::string("TZor_UsbDevice.CDCOpen clearBuffer=") + BoolText(clearBuffer) +
                          ", ContextTool=" + BoolText(GetContextTool()));
  if (clearBuffer) GetReceiveBuffer().Clear();
  if (GetContextTool() && !UsbThreadList().IsEmpty()) {
    SetError(Zor_DLL_internalError, "No other USB connection allowed");
    return false;
  }
  const bool isReconnected = !FRecoverSlave && GetPeerRepeatAddr() != 0;
  std::shared_ptr<TZor_UsbThread> thread = UsbThreadList().GetThread(this, isReconnected, GetContextTool());
  SetUsbThread(thread);
  if (!thread) {
    LogErr(GetLogId(), "TZor_UsbDevice.CDCOpen Thread=nil -> TooManyUser");
    SetError(Zor_TooManyUser, "Error open Zor device \"" + GetPortDisplayName() + "\": USB device is already in use");
    return false;
  }
  if (!thread->GetTerminated()) {
    // Only a new thread's owner carries the port's opening result; an object
    // that joined a running thread keeps whatever error it had before.
    return thread->GetOwner() != this || GetErrorCode() == Zor_No_Err;
  }
  LogErr(GetLogId(), "TZor_UsbDevice.CDCOpen Thread.Terminated");
  if (thread->GetOwner() == this) {
    LogText(GetLogId(), "Free CDC Thread");
    CDCFreeThread();
  } else {
    SetUsbThread(nullptr);
  }
  return false;
}

bool TZor_UsbDevice::CDCOpenPortFinish(std::string &errorText) {
  FWrite = [this](const std::string &command) { return CDCWrite(command); };
  FHasCommandList = true;
  const std::string first =
      GetContextTool() && FPeerType == ptColdfire ? std::string("\x85\x10", 2) : RegisterCommand();
  bool written = DeviceWrite(first);
  if (written && FPeerType == ptESP) {
    if (GetContextTool()) {
      WaitSleep(100);
      LogText(GetLogId(), "TZor_UsbDevice.OpenPort ESP ContextTool");
      written = DeviceWrite(std::string("\x85\x10", 2));
    }
    SetCmdResponse(crt_login);
    std::shared_ptr<TZor_UsbThread> thread = FUsbThread;
    if (written && thread && thread->GetOwner() == this) {
      if (GetHardFeature32() != 0) {
        LogText(GetLogId(), "TZor_UsbDevice.OpenPort ESP HardFeature=0x" + IntToHex(GetHardFeature32(), 8));
      } else {
        LogText(GetLogId(), "TZor_UsbDevice.OpenPort ESP -> read HardFeature");
        WaitSleep(100);
        thread->RequestHardFeature();
      }
    }
  }
  if (!written) {
    // Nothing stays open behind a port that reports itself closed.
    CDCLeaveThread();
    FWrite = nullptr;
    FPortIsOpened = false;
    errorText = "Can not write to device";
    return false;
  }
  LogText(GetLogId(), "### Device opened " + ToString() + " ###");
  return true;
}

bool TZor_UsbDevice::CDCWrite(const std::string &command) {
  std::shared_ptr<TZor_UsbThread> thread = FUsbThread;
  if (!thread) return false;
  if (command.empty() || command.size() > 0xFF) {
    SetError(Zor_WriteError, "CDCWrite: command of " + std::to_string(command.size()) + " bytes not sent");
    return false;
  }
  const uint8_t first = static_cast<uint8_t>(command[0]);
  if (FFirstCommand && FPeerType == ptESP && (first == 0x01 || first == 0x80 || first == 0x81)) {
    // A new ESP user gets its version report with the registration.
    LogText(GetLogId(), "TZor_UsbDevice.CDCWrite(" + BytesToHex(command) + "): ignore first version command");
    FFirstCommand = false;
    return true;
  }
  thread->AddCommand(static_cast<char>(command.size()) + command, this);
  if (thread->GetTerminated()) {
    thread->Write();
    if (GetErrorCode() != Zor_No_Err) {
      LogErr(GetLogId(), "TZor_UsbDevice.CDCWrite after Thread terminated: " + GetErrorMessage());
      return false;
    }
  }
  if (GetContextTool() && !thread->Write()) {
    // The thread's own error is the reason: a port that vanished makes this
    // a device that is gone, which the caller must see as such.
    const uint32_t code = thread->GetLastError();
    if (code == platform::ERR_DEVICE_NOT_CONNECTED) {
      SetDeviceNotConnected();
    } else {
      {
        std::lock_guard<std::recursive_mutex> g(FStateLock);
        FSystemLastError = code;
      }
      SetError(Zor_System_Err, thread->GetErrorMessage());
    }
    CDCCheckThreadEnd();
    return false;
  }
  return true;
}

bool TZor_UsbDevice::CDCRead(uint32_t count, std::string &text) {
  if (TZor_BaseDevice::DeviceRead(count, text)) return true;
  std::shared_ptr<TZor_UsbThread> thread = FUsbThread;
  if (!GetContextTool() || !thread) return false;
  thread->Read();
  return TZor_BaseDevice::DeviceRead(count, text);
}

bool TZor_UsbDevice::CDCToolsRead(uint32_t count, std::string &text) {
  if (GetStatusReadFlash() == 1 || GetStatusReadFlash() == 2) {
    LogText(GetLogId(), "UsbDevice.ToolsRead -> ReadFlash");
    ReadFlash();
  }
  std::shared_ptr<TZor_UsbThread> thread = FUsbThread;
  if (GetContextTool() && thread) thread->Read();
  return TZor_BaseDevice::ToolsRead(count, text);
}

bool TZor_UsbDevice::CDCClose(bool sendStop) {
  const int steps = CDCCloseWaitSteps();
  if (GetHandleClosed() && !FRecoverNeeded) {
    // A thread whose port is gone may still be held: let go of it all the same.
    if (FUsbThread) CDCLeaveThread();
    return true;
  }
  bool result = true;
  if (sendStop) {
    WaitSleep(10);
    result = SendStopCmd();
  }
  auto forceEnd = [this] {
    if (!GetContextTool() || !FUsbThread) return;
    LogText(GetLogId(), "TZor_UsbDevice.CDCClose ContextTool -> force thread.CloseUSB and terminate");
    FUsbThread->CloseUSB();
    FUsbThread->Terminate();
  };
  auto waitEnd = [this, steps] {
    for (int n = steps; n >= 0 && !CDCCheckThreadEnd(); --n) {
      LogText(GetLogId(), "Thread still running, retry(" + std::to_string(n) + ") wait...");
      WaitSleep(CDCWaitStepMs);
    }
    if (FUsbThread) {
      LogErr(GetLogId(), "TZor_UsbDevice.CDCClose: thread <> nil -> terminate");
      FUsbThread->Terminate();
      CDCFreeThread();
    }
  };
  if (FMultiUSB) {
    if (sendStop) {
      for (int n = steps; !FStopSent && n >= 0; --n) {
        if (FUsbThread) {
          LogText(GetLogId(), "TZor_UsbDevice.CDCClose MultiUSB wait StopSent, retry(" + std::to_string(n) + ")");
          WaitSleep(CDCWaitStepMs);
        } else {
          LogText(GetLogId(), "TZor_UsbDevice.CDCClose MultiUSB wait StopSent -> Thread=nil");
          FStopSent = true;
        }
      }
      LogText(GetLogId(), "TZor_UsbDevice.CDCClose MultiUSB end procedure");
    }
    FStopSent = false;
    std::shared_ptr<TZor_UsbThread> thread = FUsbThread;
    if (!thread) return result;
    if (thread->RemoveDevice(this) > 0 && !thread->GetTerminated()) {
      SetUsbThread(nullptr);
      return result;
    }
    LogText(GetLogId(), "TZor_UsbDevice.CDCClose MultiUSB last device -> wait CDC Thread End");
    forceEnd();
    FRecoverNeeded = false;
    waitEnd();
    return result;
  }
  LogText(GetLogId(), "CDCClose: Close Handle after Thread End");
  forceEnd();
  FRecoverNeeded = false;
  if (FUsbThread) FUsbThread->Close();
  waitEnd();
  return result;
}

// ---- supervision ------------------------------------------------------------------

bool TZor_UsbDevice::CDCCheckThreadEnd() {
  std::shared_ptr<TZor_UsbThread> thread = FUsbThread;
  bool result = true;
  if (!thread) {
    LogText(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd: Thread=nil");
    if (FRecoverNeeded) RecoverFromUSBError();
  } else if (thread->GetTerminated()) {
    LogText(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd: Thread terminated");
    const uint32_t lastError = thread->GetLastError();
    // A port that vanished is a device that is gone, whatever else happened.
    const bool vanished = lastError == platform::ERR_DEVICE_NOT_CONNECTED ||
                          GetSystemLastError() == platform::ERR_DEVICE_NOT_CONNECTED;
    bool noData = false;
    if (lastError == platform::ERR_SEM_TIMEOUT)
      SetError(Zor_WriteError, "Writing to USB device failed: timeout");
    else
      noData = !GetContextTool() && GetReceivedSec() == 0 && !vanished && !FCloseRequested;
    if (!FCloseRequested && lastError == platform::ERR_TIMEOUT) {
      if (FPeerType == ptESP && FisReconnected) {
        LogErr(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd: after timeout ESP reconnect failed -> reset device");
        CDCWrite(std::string("\x85\x50", 2));
        thread->SetDeviceResetted();
      } else {
        LogText(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd: after timeout -> send stop cmd");
        thread->DeleteCommands(this);
        if (!SendStopCmd())
          LogErr(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd: SendStopCmd failed " + GetErrorMessage());
      }
    }
    // A thread its last user left has no owner any more: that user frees it.
    TZor_UsbDevice *owner = thread->GetOwner();
    if (owner == this || owner == nullptr) {
      try {
        thread->CloseUSB();
      } catch (const std::exception &e) {
        LogErr(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd CloseUSB failed");
        SetSystemErrorText({574, 0}, e.what());
      }
      LogText(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd Free CDC Thread");
      CDCFreeThread();
      FRecoverSlave = false;
    } else {
      LogText(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd: SLAVE no close");
      thread->RemoveDevice(this);
      SetUsbThread(nullptr);
      FRecoverSlave = true;
    }
    if (FTooManyUsers) {
      LogText(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd: UsbDevice reports too many users -> no recover");
    } else if (noData) {
      const std::string message = "UsbDevice does not send measurement data: Please check measurement hardware!";
      SetError(Zor_HardwareFault, message);
      LogErr(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd: " + message + " -> no recover");
    } else if (vanished) {
      SetDeviceNotConnected();
      // A device that comes straight back is taken up again; one that stays
      // away leaves a recovery due for the next read or close. In tools mode
      // the caller's command failed with it: a reopen would only find a node
      // on its way out and hide the loss behind a port that swallows writes.
      if (GetContextTool()) {
        FPortIsOpened = false;
      } else if (!FCloseRequested) {
        FPortIsOpened = false;
        RecoverFromUSBError();
      }
    } else if (GetErrorCode() == Zor_WriteError || FCloseRequested) {
      // The write error or the close says it all.
    } else {
      const auto now = std::chrono::system_clock::now();
      if (FNoAnswerTime != std::chrono::system_clock::time_point{} &&
          GetReceiveBuffer().GetReceivedTime() > FNoAnswerTime)
        FNoAnswerCounter = 0;
      if (FNoAnswerCounter == 0)
        SetError(Zor_Err_DataTransferInterrupted, "UsbDevice: Data transfer interrupted. Please wait...");
      FNoAnswerTime = now;
      ++FNoAnswerCounter;
      LogErr(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd: " + GetErrorMessage() + " (" +
                             std::to_string(FNoAnswerCounter) + ") ErrorCode=" + ResultToText(GetErrorCode()));
      FPortIsOpened = false;
      RecoverFromUSBError();
    }
  } else {
    TZor_UsbDevice *owner = OtherOwner();
    const bool resumed = FisReconnected || (owner && owner->GetIsReconnected());
    result = false;
    if (resumed) {
      LogText(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd isReconnected " + GetErrorMessage());
      const uint32_t tick = FReconnectedTick;
      // A close in progress does not start a recovery that would reopen.
      if (!FCloseRequested && tick != 0 && platform::TicksSince(tick) > FReconnectTimeout) {
        LogErr(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd isReconnected timed out (" +
                               std::to_string(FReconnectTimeout) + ") -> recover");
        RecoverFromUSBError();
        result = true;
      }
    }
  }
  if (FBufferOverflow.exchange(false)) {
    const std::string message = "UsbDevice: Receive buffer overflow, buffer cleared";
    SetError(Zor_Err_ReceiveBufferOverflow, message);
    LogErr(GetLogId(), "TZor_UsbDevice.CDCCheckThreadEnd " + message);
  }
  return result;
}

// ---- recovery -------------------------------------------------------------------

std::string TZor_UsbDevice::ResumeCommand(bool reconnectFailed) {
  if (reconnectFailed) {
    const std::string message = "Data lost! Data transfer restarted";
    SetError(Zor_Err_Reconnected, message);
    LogErr(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError after reconnect: " + message);
    GetReceiveBuffer().Clear();
    FPeerRepeatAddr = 0;
    return RegisterCommand();
  }
  const uint32_t address = GetPeerRepeatAddr();
  if (address != 0) {
    if (FPeerType == ptESP) {
      if (OtherOwner() || FRecoverSlave) {
        LogText(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError ESP-RecoverSlave: no cmd");
        return {};
      }
      return std::string("\x04\x73", 2) + BigEndianBytes(address);
    }
    if (GetFirmwareVersionNumber() < 64) return std::string("\x85\x73", 2) + BigEndianBytes(address);
    const uint8_t slot = GetUserID();
    const char which = static_cast<char>(0x74 + (slot >= 1 && slot <= 4 ? slot - 1 : 0));
    return std::string("\x85", 1) + which + BigEndianBytes(address);
  }
  if (FPeerType != ptESP && GetReceivedSec() != 0)
    return std::string("\x85\x72", 2) + static_cast<char>(GetReceivedSec() & 0xFF);
  if (GetContextTool()) return std::string("\x85\x10", 2);
  return RegisterCommand();
}

void TZor_UsbDevice::RecoverFromUSBError() {
  if (FRecoverIsRunning) {
    LogErr(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError cancel: RecoverIsRunning");
    return;
  }
  LogText(GetLogId(), "##### TZor_UsbDevice.RecoverFromUSBError     ###############");
  FRecoverIsRunning = true;
  FRecoverNeeded = false;
  struct TEnd {
    TZor_UsbDevice &Self;
    ~TEnd() {
      Self.FRecoverIsRunning = false;
      LogText(Self.GetLogId(), "##### TZor_UsbDevice.RecoverFromUSBError END ###############");
    }
  } end{*this};

  const bool reconnectFailed = FisReconnected;
  if (reconnectFailed) {
    LogText(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError reconnect failed -> StopCmd");
    if (!SendStopCmd()) LogErr(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError reconnect failed, StopCmd failed");
    FisReconnected = false;
    FReconnectedTick = 0;
    if (FUsbThread) {
      LogText(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError reconnect failed -> RemoveDevice");
      // The old thread goes for good: kept in the list it would be found
      // again by the reopen and refuse a single-user device as in use, and
      // the recovery would never run again.
      CDCLeaveThread();
    }
    if (FDevType == Zor_HID) HIDRecoverClose();
  } else if (!FRecoverSlave) {
    if (!FSuppressRecoverClose) LogText(GetLogId(), "### Close Device " + ToString());
    FSuppressRecoverClose = true;
    if (FDevType == Zor_CDC) {
      if (!CDCClose(false)) return;
    } else {
      HIDRecoverClose();
    }
  }
  WaitSleep(CDCWaitStepMs);
  const bool wasInterrupted = GetErrorCode() == Zor_Err_DataTransferInterrupted;
  const std::string interruptedMessage = GetErrorMessage();

  bool reopened;
  if (FRecoverSlave) {
    LogText(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError SLAVE -> CheckThread");
    reopened = UsbThreadList().CheckThread(this) && CDCOpen(false);
  } else if (FDevType == Zor_CDC) {
    // A stream that could not be resumed starts afresh: the new thread must
    // not take the old ring address for one to continue from.
    if (reconnectFailed) FPeerRepeatAddr = 0;
    reopened = CDCOpen(false);
  } else {
    reopened = HIDOpen();
    if (reopened && !GetContextTool()) HIDStartThread();
  }

  if (!reopened) {
    const uint32_t code = GetSystemLastError();
    if (!FRecoverSlave)
      LogErr(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError: failed to reopen USB:" + FDevicePath +
                             ", SystemLastError=" + std::to_string(code));
    if (code != platform::ERR_FILE_NOT_FOUND && code != platform::ERR_BAD_DEVICE && IsDevicePresent()) {
      if (FRecoverSlave) {
        FRecoverNeeded = true;
        LogText(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError SLAVE: RecoverNeeded = True");
      }
      return;
    }
    SetDeviceNotConnected();
    WaitSleep(CDCWaitStepMs);
    FRecoverNeeded = true;
    LogText(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError: RecoverNeeded = True, ErrorCode=" +
                            ResultToText(GetErrorCode()));
    return;
  }

  LogText(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError: reopened USB:" + FDevicePath + " #####################");
  FPortIsOpened = true;
  FSuppressRecoverClose = false;
  LogText(GetLogId(), "### Open Device " + ToString());
  const std::string command = ResumeCommand(reconnectFailed);
  const bool espOwner = FPeerType == ptESP && !OtherOwner() && !FRecoverSlave;
  if (!command.empty() && !DeviceWrite(command)) return;
  if (!command.empty() && espOwner && command[0] == '\x04') SetDelayNextCmdMs(1000);
  // Lost data outweigh an interruption: only a resumption keeps reporting the latter.
  if (wasInterrupted && !reconnectFailed) {
    LogText(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError: Zor_Err_DataTransferInterrupted reassigned");
    SetError(Zor_Err_DataTransferInterrupted, interruptedMessage);
  }
  if (GetPeerRepeatAddr() == 0) {
    LogText(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError: clear receive buffer");
    GetReceiveBuffer().Clear();
  }
  if (FPeerType != ptESP || espOwner) {
    LogText(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError: is reconnected");
    // Tick 0 means "not resumed"; a resumption at tick 0 counts from 1.
    const uint32_t now = platform::GetTicks();
    FReconnectedTick = now ? now : 1;
    FisReconnected = true;
  } else {
    LogText(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError: ignore reconnect, no Owner");
  }
  if (FDeviceResetted.exchange(false)) {
    const std::string message = "Data lost! Data transfer restarted";
    SetError(Zor_Err_Reconnected, message);
    LogErr(GetLogId(), "TZor_UsbDevice.RecoverFromUSBError after device resetted: " + message);
  }
}

bool TZor_UsbDevice::IsDevicePresent() {
  std::string errorText;
  TZor_LocalDeviceList list;
  if (FDevType == Zor_HID)
    list = Zor_EnumHIDDevices(GetLogId(), errorText, nullptr);
  else if (FDevType == Zor_CDC)
    list = Zor_EnumCDCDevices(GetLogId(), errorText);
  for (const std::unique_ptr<TZor_BaseDevice> &device : list)
    if (IsEqual(device.get())) return true;
  return false;
}

// ---- set by the I/O thread -------------------------------------------------------

void TZor_UsbDevice::SetDeviceResetted() {
  LogText(GetLogId(), "TZor_UsbDevice.SetDeviceResetted: " + ToString());
  FPeerRepeatAddr = 0;
  FisReconnected = false;
  FDeviceResetted = true;
}

void TZor_UsbDevice::SetReconnectFailed(bool deviceRestarted, bool bufferCleared) {
  LogErr(GetLogId(), std::string("TZor_UsbDevice.SetReconnectFailed deviceRestarted=") + BoolText(deviceRestarted) +
                         ", bufferCleared=" + BoolText(bufferCleared));
  const std::string message = deviceRestarted ? "Data lost! Device restarted" : "Data lost! Data transfer restarted";
  SetError(Zor_Err_Reconnected, message);
  LogErr(GetLogId(), "TZor_UsbDevice.SetReconnectFailed: Zor_Err_Reconnected=" + message);
  if (!bufferCleared) GetReceiveBuffer().SetReceivedDataIgnored();
}

void TZor_UsbDevice::SetCFBufferAmount(uint32_t value) {
  FCFBufferAmount = value;
  if (!FisReconnected) return;
  LogText(GetLogId(), "TZor_UsbDevice.SetCFBufferAmount: clear flag reconnected");
  FisReconnected = false;
  FReconnectedTick = 0;
}

// ---- overrides that reach the I/O thread ----------------------------------------------

uint32_t TZor_UsbDevice::GetDelayNextCmdMs() {
  if (TZor_UsbDevice *owner = OtherOwner()) return owner->GetDelayNextCmdMs();
  return TZor_BaseDevice::GetDelayNextCmdMs();
}

void TZor_UsbDevice::SetDelayNextCmdMs(uint32_t ms) {
  if (TZor_UsbDevice *owner = OtherOwner())
    owner->SetDelayNextCmdMs(ms);
  else
    TZor_BaseDevice::SetDelayNextCmdMs(ms);
}

bool TZor_UsbDevice::ReadFHRData(TZor_CommandQueue *sender) {
  if (OtherOwner()) {
    LogText(GetLogId(), "TZor_UsbDevice.ReadFHRData ignore (not Owner)");
    return true;
  }
  return TZor_BaseDevice::ReadFHRData(sender);
}

template <class TPeek>
bool TZor_UsbDevice::PeekWithToolsRead(TPeek peek) {
  if (peek()) return true;
  std::shared_ptr<TZor_UsbThread> thread = FUsbThread;
  if (FDevType != Zor_CDC || !GetContextTool() || !thread) return false;
  thread->Read();
  return peek();
}

bool TZor_UsbDevice::PeekAnsi(uint32_t count, std::string &bytes) {
  return PeekWithToolsRead([&] { return TZor_BaseDevice::PeekAnsi(count, bytes); });
}

bool TZor_UsbDevice::PeekChar(uint8_t &value) {
  return PeekWithToolsRead([&] { return TZor_BaseDevice::PeekChar(value); });
}

bool TZor_UsbDevice::PeekData(uint32_t count, std::string &text) {
  return PeekWithToolsRead([&] { return TZor_BaseDevice::PeekData(count, text); });
}

}  // namespace zor
