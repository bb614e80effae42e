#include "usb/Zor_UsbThread.h"

#include <algorithm>
#include <stdexcept>

#include "device/Zor_Commands.h"
#include "foundation/CircularBuffer.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "usb/USBUtils.h"
#include "usb/Zor_UsbDevice.h"

namespace zor {

namespace {

using SteadyClock = std::chrono::steady_clock;

// An ESP resuming a broken stream needs this long before the next command.
constexpr uint32_t cResumePauseMs = 1000;
// A caller waits at most this long for room in the queue; a stalled loop
// must not hold it forever (the queue then grows past its limit).
constexpr uint32_t cQueueRoomWaitMs = 2000;

const char *TF(bool value) { return value ? "True" : "False"; }

constexpr char cBanner[] = "############################## TERMINATED ##############################";

// A read of NVS data block 0: only the owner may ask for it, the answer is
// shared by every user of the device.
bool IsReadBlock0Cmd(const std::string &data) {
  return data.size() >= 5 && data.compare(1, 4,
                                          "\x85"
                                          "Eb\0",
                                          4) == 0;
}

bool IsSlot(unsigned u) { return u >= 1 && u <= 4; }

}  // namespace

using Guard = std::lock_guard<std::recursive_mutex>;

TZor_UsbThread::TZor_UsbThread(TZor_UsbDevice *aOwner, bool isReconnected, bool createSuspended)
    : FOwner(aOwner), FLastCmdDevice(aOwner), FisReconnected(isReconnected), FContextTool(createSuspended) {
  FNewDevices.push_back(aOwner);
  FLogId = aOwner->GetLogId();
  FReadTimeoutMs = std::max<uint32_t>(1, aOwner->GetReadTimeoutMs());
  FIsESP = aOwner->GetPeerType() == ptESP;
  LogText(FLogId, std::string("TZor_UsbThread created, isReconnected=") + TF(isReconnected) +
                      ", CreateSuspended=" + TF(createSuspended) + ", FOwner " + aOwner->ToString());
  FTimeoutCountLimit = FIsESP ? static_cast<int>(3000 / FReadTimeoutMs) : 5;
  if (FContextTool) FTimeoutCountLimit *= 30;
  LogText(FLogId, "TZor_UsbThread created, FTimeoutCountLimit=" + std::to_string(FTimeoutCountLimit));
  // A suspended thread never runs: it counts as finished once terminated.
  FExecuteFinished = FContextTool;
  if (OpenUSB()) {
    FDeviceCount = 1;
  } else {
    LogErr(FLogId, "TZor_UsbThread.Create open failed -> terminate");
    FNewDevices.clear();
    FTerminated = true;
    FExecuteFinished = true;
    return;
  }
  if (!FContextTool) FThread = std::thread([this] { Execute(); });
}

TZor_UsbThread::~TZor_UsbThread() {
  Terminate();
  if (FThread.joinable()) FThread.join();
  LogText(FLogId, "TZor_UsbThread.Destroy");
  Guard g(FLockObj);
  FDevHandle.reset();
}

bool TZor_UsbThread::OpenUSB() {
  Guard g(FLockObj);
  platform::TZor_SysError error;
  std::unique_ptr<platform::TZor_SerialPort> port =
      platform::OpenSerialPort(DeviceNodeOfPath(FOwner->GetDevicePath()), BaudRate, error);
  if (!port) {
    FOwner->SetSystemErrorText(error, "Error open Zor device \"" + FOwner->GetPortDisplayName() + "\"");
    if (!FSuppressErrorOpen) {
      FSuppressErrorOpen = true;
      LogErr(FLogId, "TZor_UsbThread.Open_Windows " + FOwner->GetErrorMessage());
    }
    return false;
  }
  if (!FOwner->SetBufferSize(*port) || !FOwner->SetTimeouts(*port)) return false;
  FOwner->QuitError();
  FDevHandle = std::move(port);
  FremainingData.clear();
  LogText(FLogId, "TZor_UsbThread.OpenUSB ok");
  return true;
}

// ---- life ------------------------------------------------------------------------------

void TZor_UsbThread::Execute() {
  FThreadId = std::this_thread::get_id();
  LogText(FLogId, "TZor_UsbThread.Execute started");
  try {
    while (!FTerminated) {
      SendNextCommand();
      if (FTerminated) break;
      if (FIsESP)
        ReadESP();
      else
        ReadCDCBlock();
    }
    LogText(FLogId, "TZor_UsbThread.Execute terminated");
  } catch (const std::exception &e) {
    LogExcept(FLogId, "TZor_UsbThread.Execute failed", e);
    TerminateWithError(574, e.what());
  }
  {
    std::lock_guard<std::mutex> g(FWakeLock);
    FExecuteFinished = true;
  }
  FWake.notify_all();
}

void TZor_UsbThread::TerminateWithError(uint32_t code, const std::string &message) {
  {
    Guard g(FLockObj);
    FErrorMessage = message;
    FLastError = code;
  }
  Terminate();
  LogErr(FLogId + 1, cBanner);
}

void TZor_UsbThread::Terminate() {
  std::shared_ptr<platform::TZor_SerialPort> port;
  {
    std::lock_guard<std::mutex> g(FWakeLock);
    FTerminated = true;
    port = FReadingPort;
  }
  FWake.notify_all();
  if (port) port->CancelRead();
}

bool TZor_UsbThread::WaitFinished(uint32_t ms) {
  std::unique_lock<std::mutex> g(FWakeLock);
  return FWake.wait_for(g, std::chrono::milliseconds(ms), [&] { return FTerminated && FExecuteFinished; });
}

void TZor_UsbThread::PauseMs(uint32_t ms) {
  std::unique_lock<std::mutex> g(FWakeLock);
  FWake.wait_for(g, std::chrono::milliseconds(ms), [&] { return FTerminated.load(); });
}

void TZor_UsbThread::PauseUntil(std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> g(FWakeLock);
  FWake.wait_until(g, until, [&] { return FTerminated.load(); });
}

std::string TZor_UsbThread::GetErrorMessage() {
  Guard g(FLockObj);
  return FErrorMessage;
}

void TZor_UsbThread::Close() {
  Guard g(FLockObj);
  for (int u = 1; u <= 4; ++u)
    if (FDevices[u]) LogText(FDevices[u]->GetLogId(), "TZor_UsbThread.Close -> terminate on timeout");
  FTerminateOnTimeout = true;
}

void TZor_UsbThread::CloseUSB() {
  LogText(FLogId, "TZor_UsbThread.CloseUSB");
  std::shared_ptr<platform::TZor_SerialPort> port;
  std::string who;
  {
    Guard g(FLockObj);
    port = std::move(FDevHandle);
    FDevHandle.reset();
    if (FOwner) who = FOwner->GetPortDisplayName() + ", " + FOwner->ToUserString();
  }
  if (!port) {
    LogText(FLogId, "TZor_UsbThread.CloseUSB INVALID_HANDLE_VALUE");
    return;
  }
  // A read still waiting on the port returns now; the port is freed when it has.
  port->CancelRead();
  LogText(FLogId, "TZor_UsbThread.CloseUSB Handle closed " + who);
}

bool TZor_UsbThread::GetUSBOpened() {
  Guard g(FLockObj);
  if (FDevHandle) LogText(FLogId, "TZor_UsbThread.GetUSBOpened True");
  return FDevHandle != nullptr;
}

// ---- device objects ----------------------------------------------------------------------

TZor_UsbDevice *TZor_UsbThread::GetOwner() {
  Guard g(FLockObj);
  return FOwner;
}

void TZor_UsbThread::SetOwner(TZor_UsbDevice *device) {
  FOwner = device;
  if (!device) return;
  FLogId = device->GetLogId();
  FReadTimeoutMs = std::max<uint32_t>(1, device->GetReadTimeoutMs());
}

void TZor_UsbThread::LogDeviceLists() {
  for (int u = 1; u <= 4; ++u)
    LogText(FLogId, "TZor_UsbThread.FDevices[" + std::to_string(u) +
                        "]=" + (FDevices[u] ? FDevices[u]->ToUserString() : std::string("nil")));
  for (size_t i = 0; i < FNewDevices.size(); ++i)
    LogText(FLogId,
            "TZor_UsbThread.FNewDevices[" + std::to_string(i) + "]=" + FNewDevices[i]->ToUserString());
}

int TZor_UsbThread::AddDevice(TZor_UsbDevice *aDevice) {
  Guard g(FLockObj);
  FNewDevices.push_back(aDevice);
  ++FDeviceCount;
  LogText(FLogId, "TZor_UsbThread.AddDevice: Count=" + std::to_string(FDeviceCount - 1) +
                      ", NewCount=" + std::to_string(FDeviceCount) + " " + aDevice->ToUserString());
  LogDeviceLists();
  return FDeviceCount;
}

int TZor_UsbThread::RemoveDevice(TZor_UsbDevice *aDevice) {
  Guard g(FLockObj);
  const int before = FDeviceCount;
  const bool wasOwner = aDevice == FOwner;
  // After this call the thread never touches the object again.
  std::erase_if(FCmdList, [&](const TCmdEntry &e) { return e.Device == aDevice; });
  CmdsRemoved();
  if (FLastCmdDevice == aDevice) FLastCmdDevice = nullptr;
  if (FToolsDataDevice == aDevice) FToolsDataDevice = nullptr;
  auto lowestOccupied = [&](int except) -> TZor_UsbDevice * {
    for (int u = 1; u <= 4; ++u)
      if (u != except && FDevices[u]) return FDevices[u];
    return nullptr;
  };
  auto highestOccupied = [&]() -> TZor_UsbDevice * {
    for (int u = 4; u >= 1; --u)
      if (FDevices[u]) return FDevices[u];
    return nullptr;
  };
  TZor_UsbDevice *next = nullptr;
  int slot = 0;
  for (int u = 1; u <= 4; ++u)
    if (FDevices[u] == aDevice) slot = u;
  auto waiting = std::find(FNewDevices.begin(), FNewDevices.end(), aDevice);
  if (slot) {
    FDevices[slot] = nullptr;
    --FDeviceCount;
    if (FDeviceCount > 0 && wasOwner) {
      next = lowestOccupied(slot);
      FClosedDevices |= static_cast<uint8_t>(1u << (slot - 1));
      LogText(FLogId, "TZor_UsbThread.RemoveDevice: FClosedDevices=" + IntToHex(FClosedDevices, 2));
    }
  } else if (waiting != FNewDevices.end()) {
    FNewDevices.erase(waiting);
    --FDeviceCount;
    if (FDeviceCount > 0 && wasOwner) next = highestOccupied();
  } else if (wasOwner) {
    FDeviceCount = std::max(0, FDeviceCount - 1);
    if (FDeviceCount > 0) next = highestOccupied();
  }
  // The owner never stays a leaving object: with no slot taken yet, the
  // oldest waiting object takes over.
  if (wasOwner && FDeviceCount > 0 && !next && !FNewDevices.empty()) next = FNewDevices.front();
  if (wasOwner) {
    if (next) {
      next->SetPeerRepeatAddr(aDevice->GetPeerRepeatAddr());
      SetOwner(next);
      LogText(FLogId, "TZor_UsbThread.RemoveDevice: neuer FOwner=" + next->ToUserString());
    } else {
      FOwner = nullptr;
    }
  }
  LogText(FLogId, "TZor_UsbThread.RemoveDevice: Count=" + std::to_string(before) +
                      ", NewCount=" + std::to_string(FDeviceCount) + " " + aDevice->ToUserString());
  if (FDeviceCount == 0) {
    LogText(FLogId, "TZor_UsbThread.RemoveDevice: last device -> Close");
    FOwner = nullptr;
    Close();
  }
  LogDeviceLists();
  return FDeviceCount;
}

bool TZor_UsbThread::HasDevice(TZor_UsbDevice *aDevice) {
  Guard g(FLockObj);
  bool has = FOwner && FOwner->GetPortDisplayName() == aDevice->GetPortDisplayName();
  if (has && FOwner->GetMultiUSB()) aDevice->SetMultiUSB();
  LogText(aDevice->GetLogId(), "TZor_UsbThread.HasDevice(" + aDevice->ToUserString() + ") " + TF(has));
  return has;
}

void TZor_UsbThread::SetDeviceResetted() {
  Guard g(FLockObj);
  LogText(FLogId, "TZor_UsbThread.SetDeviceResetted");
  for (int u = 1; u <= 4; ++u)
    if (FDevices[u]) FDevices[u]->SetDeviceResetted();
  for (TZor_UsbDevice *d : FNewDevices) d->SetDeviceResetted();
  FisReconnected = false;
}

// ---- commands ----------------------------------------------------------------------------

void TZor_UsbThread::AddCommand(const std::string &data, TZor_UsbDevice *aDevice) {
  const bool onLoop = std::this_thread::get_id() == FThreadId.load();
  if (aDevice && !onLoop) WaitQueueRoom();
  QueueCommand(data, aDevice);
}

void TZor_UsbThread::WaitQueueRoom() {
  // A suspended thread only sends when its user asks: nothing to wait for.
  if (FContextTool || FQueuedCmds < MaxQueuedCmds) return;
  ++FRoomWaiters;
  bool room;
  {
    std::unique_lock<std::mutex> g(FWakeLock);
    room = FWake.wait_for(g, std::chrono::milliseconds(cQueueRoomWaitMs),
                          [&] { return FTerminated || FQueuedCmds < MaxQueuedCmds; });
  }
  --FRoomWaiters;
  if (!room) LogErr(FLogId, "Zor_UsbThread.AddCommand: queue full, commands not sent");
}

void TZor_UsbThread::CmdsRemoved() {
  FQueuedCmds = FCmdList.size();
  if (FRoomWaiters == 0) return;
  // Taking the lock orders this with a waiter between its check and its wait.
  { std::lock_guard<std::mutex> g(FWakeLock); }
  FWake.notify_all();
}

void TZor_UsbThread::QueueCommand(const std::string &data, TZor_UsbDevice *aDevice) {
  std::shared_ptr<platform::TZor_SerialPort> port;
  {
    Guard g(FLockObj);
    LogText(FLogId, "Zor_UsbThread.AddCommand: " +
                        (aDevice ? BytesToHex(data) + " (" + aDevice->ToUserString() + ")" : data));
    if (aDevice && aDevice != FOwner && IsReadBlock0Cmd(data)) {
      LogText(FLogId, "Zor_UsbThread.AddCommand: ignore cmd (not owner)");
      return;
    }
    FCmdList.push_back({data, aDevice});
    FQueuedCmds = FCmdList.size();
  }
  // A read waiting for data would hold the command back until the device
  // sends something or the read timeout passes.
  if (std::this_thread::get_id() != FThreadId.load()) {
    std::lock_guard<std::mutex> g(FWakeLock);
    port = FReadingPort;
  }
  if (port) port->CancelRead();
}

void TZor_UsbThread::DeleteCommands(TZor_UsbDevice *aDevice) {
  Guard g(FLockObj);
  LogText(FLogId, "TZor_UsbThread.DeleteCommands " + aDevice->ToUserString());
  for (size_t i = FCmdList.size(); i-- > 0;) {
    if (FCmdList[i].Device != aDevice) continue;
    LogText(FLogId, "Delete cmd[" + std::to_string(i) + "] " + BytesToHex(FCmdList[i].Data));
    FCmdList.erase(FCmdList.begin() + static_cast<std::ptrdiff_t>(i));
  }
  CmdsRemoved();
}

uint32_t TZor_UsbThread::GetPendingCmdsCount() {
  Guard g(FLockObj);
  return static_cast<uint32_t>(FCmdList.size());
}

void TZor_UsbThread::RequestHardFeature() {
  LogText(FLogId, "Zor_UsbThread.RequestHardFeature");
  {
    Guard g(FLockObj);
    if (!FOwner) return;
    FReadHardFeatureRequested = true;
    QueueCommand(std::string("\x04\x85"
                           "Ei\x05",
                           5),
               FOwner);
  }
  if (FContextTool) Write();
}

bool TZor_UsbThread::Read() {
  LogText(FLogId, "Zor_UsbThread.Read");
  Guard g(FLockObj);
  if (FIsESP) {
    for (int i = 0; i < 20 && !FTerminated; ++i)
      if (ReadESP()) break;
  } else {
    ReadCDCBlock();
  }
  return !FTerminated;
}

bool TZor_UsbThread::Write() {
  Guard g(FLockObj);
  SendNextCommand();
  return !FTerminated;
}

// ---- send step -----------------------------------------------------------------------------

void TZor_UsbThread::SendNextCommand() {
  Guard g(FLockObj);
  FSendWaitMs = -1;
  if (FCmdList.empty()) return;
  try {
    if (FOwner && !PaceDue()) return;
    TCmdEntry entry = FCmdList.front();
    TZor_UsbDevice *device = entry.Device;
    const std::string &data = entry.Data;
    if (!device) {
      FCmdList.erase(FCmdList.begin());
      CmdsRemoved();
      if (data.compare(0, 7, "UserID=") == 0) {
        int slot = std::atoi(data.c_str() + 7);
        if (IsSlot(static_cast<unsigned>(slot))) SendCommandDisconnect(static_cast<uint8_t>(slot));
      }
      if (!FCmdList.empty()) FSendWaitMs = 0;
      return;
    }
    const uint8_t c = data.size() > 1 ? static_cast<uint8_t>(data[1]) : 0;
    const uint8_t c2 = data.size() > 2 ? static_cast<uint8_t>(data[2]) : 0;
    const TCmdResponseType awaited = device->GetCmdResponse();
    if (awaited != crt_none && !(awaited == crt_login && c == 0xBE)) {
      LogText(device->GetLogId(),
              "TZor_UsbThread.SendNextCommand: wait CmdResponse " + CmdResponseTypeToText(awaited));
      return;
    }
    FCmdList.erase(FCmdList.begin());
    CmdsRemoved();
    if (!FCmdList.empty()) FSendWaitMs = 0;
    if (data.size() <= 1) {
      LogErr(FLogId, "TZor_UsbThread.SendNextCommand: cmd is empty");
      return;
    }
    const std::string text = BytesToHex(data.substr(1));
    LogText(FLogId, "TZor_UsbThread.SendNextCommand: " + text + " (" + device->ToUserString() + ")");
    if (device->GetTooManyUsers() && c != 0xBE) {
      LogErr(FLogId, "TZor_UsbThread.SendNextCommand TooManyUsers, Kdo abweisen: " + text + " (" +
                         device->ToUserString() + ")");
      return;
    }
    bool doSwitch;
    if (c == 0x85 && ((c2 >= 0x74 && c2 <= 0x77) || c2 == 0x60)) {
      doSwitch = true;
    } else if (c == 0xBE) {
      doSwitch = false;
    } else if (device == FLastCmdDevice) {
      doSwitch = FDisconnectedUserId != 0;
      FDisconnectedUserId = 0;
    } else {
      doSwitch = true;
    }
    if (doSwitch) {
      LogText(FLogId, "TZor_UsbThread.SendNextCommand switch to: " + device->ToUserString());
      if (!SwitchToUser(device)) return;
    }
    SendCommandIntern(device, data);
  } catch (const std::exception &e) {
    LogExcept(FLogId, "TZor_UsbThread.SendNextCommand failed", e);
    throw;
  }
}

bool TZor_UsbThread::PaceDue() {
  // The pause belongs to the physical device, so it is the owner's own.
  const uint32_t d = FOwner->TZor_BaseDevice::GetDelayNextCmdMs();
  const SteadyClock::time_point now = SteadyClock::now();
  const auto own = std::chrono::ceil<std::chrono::milliseconds>(FPaceUntil - now).count();
  const uint32_t ownMs = own > 0 ? static_cast<uint32_t>(own) : 0;
  // An ESP ends a pause by time alone, so the exact clock decides unless
  // someone set a longer pause than the thread's own (the tick may count one more).
  if (FIsESP && d <= ownMs + 1) {
    if (FPaceUntil > now) {
      // Read meanwhile and come back shortly before the moment; the rest is slept exactly.
      if (!FContextTool && ownMs > 2) {
        FSendWaitMs = static_cast<int32_t>(ownMs - 2);
        return false;
      }
      PauseUntil(FPaceUntil);
      if (FTerminated) return false;
    }
    if (d != 0) FOwner->TZor_BaseDevice::SetDelayNextCmdMs(0);
    return true;
  }
  if (d == 0) return true;
  LogText(FLogId, "TZor_UsbThread.SendNextCommand: delay cmd ms=" + std::to_string(d));
  if (!FContextTool) {
    FSendWaitMs = static_cast<int32_t>(d);
    return false;
  }
  FOwner->WaitSleep(d);
  return true;
}

void TZor_UsbThread::PaceAfterWrite(const std::string &cmd) {
  const uint8_t c = cmd.empty() ? 0 : static_cast<uint8_t>(cmd[0]);
  const uint8_t c2 = cmd.size() > 1 ? static_cast<uint8_t>(cmd[1]) : 0;
  uint32_t ms = CommandPauseFor(cmd, FIsESP).Ms;
  if (FIsESP && c == 0x04 && c2 == 0x73) ms = cResumePauseMs;
  if (ms == 0) return;
  const SteadyClock::time_point until = SteadyClock::now() + std::chrono::milliseconds(ms);
  if (until > FPaceUntil) FPaceUntil = until;
  FOwner->PaceNextCommand(cmd, true, "Zor_UsbThread.SendCommandIntern:");
  if (ms == cResumePauseMs) FOwner->SetDelayNextCmdMs(ms);
}

bool TZor_UsbThread::SwitchToUser(TZor_UsbDevice *device) {
  if (!FOwner || !FOwner->GetMultiUSB()) return true;
  uint8_t slot = device->GetUserID();
  if (!IsSlot(slot)) slot = device->GetRegisterID();
  if (!IsSlot(slot)) return true;
  FOwner->WaitSleep(5);
  if (!SendCommandIntern(nullptr, std::string("\x02\x85") + static_cast<char>(0x27 + slot))) return false;
  FLastCmdDevice = device;
  FOwner->WaitSleep(5);
  return true;
}

bool TZor_UsbThread::SendCommandDisconnect(uint8_t slot) {
  LogText(FLogId, "TZor_UsbThread.SendCommandDisconnect switch to user " + std::to_string(slot));
  if (!SendCommandIntern(nullptr, std::string("\x02\x85") + static_cast<char>(0x27 + slot))) return false;
  FDisconnectedUserId = slot;
  if (FOwner) FOwner->WaitSleep(5);
  LogText(FLogId, "TZor_UsbThread.SendCommandDisconnect send stop");
  return SendCommandIntern(nullptr, std::string("\x02\x85\x60", 3));
}

bool TZor_UsbThread::SendCommandIntern(TZor_UsbDevice *device, const std::string &data) {
  const std::string text = BytesToHex(data);
  size_t written = 0;
  platform::TZor_IoResult r = platform::TZor_IoResult::ioError;
  platform::TZor_SysError error{platform::ERR_DEVICE_NOT_CONNECTED, 0};
  if (FDevHandle) {
    r = FDevHandle->Write(data, 20u * static_cast<uint32_t>(data.size()), written);
    if (r == platform::TZor_IoResult::ioError) error = FDevHandle->GetLastError();
  }
  if (r == platform::TZor_IoResult::ioOk && written == data.size()) {
    LogText(FLogId, "*****  Zor_UsbThread.SendCommandIntern ok: " + text);
    LogText(FLogId + 1, "{" + text + "}");
    if (device && device->GetLogId() != FLogId) LogText(device->GetLogId() + 1, "{" + text + "}");
    const std::string cmd = data.substr(1);
    const uint8_t c = cmd.empty() ? 0 : static_cast<uint8_t>(cmd[0]);
    const uint8_t c2 = cmd.size() > 1 ? static_cast<uint8_t>(cmd[1]) : 0;
    if (device && IsBufferClearingCmd(cmd)) {
      if (device->GetTooManyUsers()) {
        LogText(FLogId, "Zor_UsbThread.SendCommandIntern: TooManyUsers -> Do not ignore data");
      } else {
        const uint8_t u = device->GetUserID();
        if (IsSlot(u)) {
          FIgnoreDataUntilStreamInterrupted[u] = true;
          LogText(FLogId, "Zor_UsbThread.SendCommandIntern: IgnoreDataUntilStreamInterrupted[" +
                              std::to_string(u) + "]");
        }
        device->GetReceiveBuffer().Clear();
      }
    }
    if (c == 0x85 && (c2 == 0x60 || c2 == 0x50)) {
      if (device) {
        LogText(FLogId,
                "Zor_UsbThread.SendCommandIntern: Stop/Reset gesendet (" + device->ToUserString() + ")");
        device->SetStopSent(true);
        if (device == FOwner) FTimeoutExpected = true;
      } else {
        LogText(FLogId, "Zor_UsbThread.SendCommandIntern: Stop/Reset gesendet (target = nil)");
      }
    }
    if (c == 0x85 && c2 == 0x30) FTimeoutExpected = true;
    if (FOwner) PaceAfterWrite(cmd);
    if (c == 0x04 && c2 == 0x73) {
      LogText(FLogId, "Zor_UsbThread.SendCommandIntern: ESP repeat addr -> start timeout");
      FRepeatAddrTicks = platform::GetTicks();
      FReconnectFailReported = false;
    }
    if (c == 0x85 && ((c2 >= 0x38 && c2 <= 0x3E) || (c2 >= 0x40 && c2 <= 0x42) || c2 == 0x44)) {
      FToolsDataDevice = FLastCmdDevice;
      LogText(FLogId, "Zor_UsbThread.SendCommandIntern: ToolsData expected, userid=" +
                          std::to_string(FLastCmdDevice ? FLastCmdDevice->GetUserID() : 255));
    }
    if (device) {
      device->SetLastCommand(cmd);
      device->AwaitResponseTo(
          cmd, "Zor_UsbThread.SendCommandIntern: Header=" + IntToHex(device->GetLUMReportHeader(), 4));
    }
    return true;
  }
  TZor_UsbDevice *blamed = device ? device : FOwner;
  std::string message;
  uint32_t code;
  if (r == platform::TZor_IoResult::ioOk || r == platform::TZor_IoResult::ioTimeout) {
    code = platform::ERR_TIMEOUT;
    message = "Sending command Timeout, requested=" + std::to_string(data.size()) +
              ", written=" + std::to_string(written) + ", data=" + text;
    LogErr(FLogId, "Zor_UsbThread: " + message);
    if (blamed && blamed->GetLogId() != FLogId) LogErr(blamed->GetLogId(), "Zor_UsbThread: " + message);
  } else {
    code = error.Code;
    if (blamed) {
      blamed->SetSystemErrorText(error, "Sending command failed");
      message = blamed->GetErrorMessage();
    } else {
      message = "Sending command failed: (" + std::to_string(code) + ")=" + platform::SystemErrorText(error);
    }
    LogErr(FLogId, "Zor_UsbThread: " + message + " cmd=" + text);
  }
  TerminateWithError(code, message);
  return false;
}

// ---- thread list ---------------------------------------------------------------------------

std::shared_ptr<TZor_UsbThread> TZor_UsbThreadList::GetThread(TZor_UsbDevice *aDevice, bool isReconnected,
                                                              bool suspended) {
  std::lock_guard<std::mutex> g(FLock);
  for (const auto &thread : FList) {
    if (thread->GetTerminated() || !thread->HasDevice(aDevice)) continue;
    if (!aDevice->GetMultiUSB()) return nullptr;
    thread->AddDevice(aDevice);
    return thread;
  }
  auto thread = std::make_shared<TZor_UsbThread>(aDevice, isReconnected, suspended);
  FList.push_back(thread);
  return thread;
}

bool TZor_UsbThreadList::CheckThread(TZor_UsbDevice *aDevice) {
  std::lock_guard<std::mutex> g(FLock);
  for (const auto &thread : FList) {
    if (!thread->HasDevice(aDevice)) continue;
    LogText(aDevice->GetLogId(), "TZor_UsbThreadList.CheckThread HasDevice");
    return thread->GetUSBOpened();
  }
  return false;
}

void TZor_UsbThreadList::RemoveThread(const std::shared_ptr<TZor_UsbThread> &aThread) {
  std::lock_guard<std::mutex> g(FLock);
  auto it = std::find(FList.rbegin(), FList.rend(), aThread);
  if (it != FList.rend()) FList.erase(std::next(it).base());
}

bool TZor_UsbThreadList::IsEmpty() {
  std::lock_guard<std::mutex> g(FLock);
  return FList.empty();
}

TZor_UsbThreadList &UsbThreadList() {
  static TZor_UsbThreadList list;
  return list;
}

}  // namespace zor
