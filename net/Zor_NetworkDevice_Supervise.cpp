// Reads of the network device with receive supervision: when the readers find
// nothing for longer than the receive timeout, the device is asked in the
// background whether the session still exists (TRYBABY), and the device is
// closed and reopened when it is gone. Driven by the reads alone; no timer.
#include <functional>

#include "foundation/CircularBuffer.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/TCPThread.h"
#include "net/Zor_NetworkDevice.h"

namespace zor {

namespace {

constexpr uint8_t FlagSupervised = 0x02;  // supervision ran since the last data
constexpr uint8_t FlagAnsweredOk = 0x04;  // a TRY was answered "ok" while data were missing
constexpr int ReopenAttempts = 4;

// Failures of a TRY request that mean "device not reachable now", as opposed
// to a device that answered and no longer knows the session.
bool IsUnreachable(TZor_Result code) {
  return code == Zor_Err_ConnectFailed || code == Zor_Err_RequestTimeout || code == Zor_Err_RequestFailed ||
         code == Zor_Err_RepeatRequest || code == Zor_Err_PingFailed;
}

// What a read does when the base read found nothing (not in tools mode): after
// the receive timeout it supervises the link, otherwise in blocking mode it
// waits once more for data. True when the caller should try the read again.
bool AfterEmptyRead(TZor_BaseDevice &device, bool receiveTimeExceeded, const std::function<bool()> &recover) {
  if (receiveTimeExceeded) {
    if (device.GetReceivedSec() != 0) {
      recover();
    } else {
      // Time-stamp reports never came: the link is fine, the measurement is not.
      const std::string message =
          "NetworkDevice does not send measurement data: Please check measurement hardware!";
      device.SetError(Zor_HardwareFault, message);
      LogWarn(device.GetLogId(), message + " -> no recover");
    }
    return false;
  }
  return device.GetBlockingIO() && device.WaitReceiveEvent();
}

}  // namespace

// ---- reads ----------------------------------------------------------------------------

// The base reads deliver true only with data (or for a count of 0).
bool TZor_NetworkDevice::DeviceRead(uint32_t count, std::string &text) {
  bool ok = TZor_BaseDevice::DeviceRead(count, text);
  if (!ok && GetContextTool()) {
    LogText(GetLogId(), "NetworkDevice.DeviceRead: ToolsModus nichts gelesen");
    return false;
  }
  if (!ok && AfterEmptyRead(*this, ReceiveTimeExceeded(), [this] { return RecoverFromTCPError(); }))
    ok = TZor_BaseDevice::DeviceRead(count, text);
  if (ok && !text.empty()) ResetNoAnswer();
  CheckReconnect();
  return ok;
}

bool TZor_NetworkDevice::ConfirmPeekedData(uint32_t count) {
  const bool ok = TZor_BaseDevice::ConfirmPeekedData(count);
  if (ok) ResetNoAnswer();
  return ok;
}

bool TZor_NetworkDevice::PeekAnsi(uint32_t count, std::string &bytes) {
  if (TZor_BaseDevice::PeekAnsi(count, bytes)) return true;
  if (GetContextTool()) return false;
  return AfterEmptyRead(*this, ReceiveTimeExceeded(), [this] { return RecoverFromTCPError(); }) &&
         TZor_BaseDevice::PeekAnsi(count, bytes);
}

// The base text peek is the byte peek; going through ours supervises once.
bool TZor_NetworkDevice::PeekData(uint32_t count, std::string &text) { return PeekAnsi(count, text); }

bool TZor_NetworkDevice::PeekChar(uint8_t &value) {
  if (TZor_BaseDevice::PeekChar(value)) return true;
  if (GetContextTool()) return false;
  return AfterEmptyRead(*this, ReceiveTimeExceeded(), [this] { return RecoverFromTCPError(); }) &&
         GetReceiveBuffer().PeekChar(value);
}

void TZor_NetworkDevice::ResetNoAnswer() {
  if (FNoAnswerCounter == 0) return;
  LogText(GetLogId(), "### NetworkDevice: Fehler Empfangsunterbrechung zurücksetzen ###");
  FNoAnswerCounter = 0;
  QuitError();
}

// ---- supervision ----------------------------------------------------------------------

bool TZor_NetworkDevice::ReceiveTimeExceeded() {
  uint32_t last = 0;
  if (!GetLastReceivedTicks(last) || platform::TicksSince(last) <= FReceiveTimeoutMs) return false;
  LogWarn(GetLogId(), "NetworkDevice: ReceiveTimeExceeded");
  return true;
}

void TZor_NetworkDevice::StartTry() {
  uint32_t session;
  {
    std::lock_guard<std::recursive_mutex> g(FStateLock);
    session = FTrySession;
    // Set here, not only by the thread, so that a check that comes before
    // the thread has started cannot start a second request.
    FTryState = tryRunning;
  }
  FTryAbort = platform::MakeAbortFlag();
  FTryThread = std::make_unique<TTCPThread>(
      GetLogId(), "(TestDataConnected)",
      [this, session, abort = FTryAbort] { return TestDataConnected(session, abort); });
}

void TZor_NetworkDevice::DiscardTry() {
  {
    std::lock_guard<std::recursive_mutex> g(FStateLock);
    ++FTrySession;
    FTryState = tryCleared;
  }
  if (FTryAbort) *FTryAbort = true;
  if (FTryThread) FRetiredTry.push_back(std::move(FTryThread));
  // Checks that have run out are joined at once; the others on a later discard
  // or when the object goes away.
  std::erase_if(FRetiredTry, [](const std::unique_ptr<TTCPThread> &t) { return t->GetTerminated(); });
}

bool TZor_NetworkDevice::RecoverFromTCPError() {
  const std::string op = "RecoverFromTCPError";
  if (GetContextTool()) return true;
  // The session is gone (or the data connection): close and reopen the device.
  auto reopen = [&]() -> bool {
    LogWarn(GetLogId(), Tag(op) + " connection lost");
    // A check still running would report into the reopened session; it is
    // dropped, not waited for (it may take half a minute on a silent device).
    DiscardTry();
    if (DataConnectionConnected()) {
      LogText(GetLogId(), Tag(op) + ": Disconnect DeviceDataConnection ####");
      FDeviceDisconnectRequested = true;
      DisconnectDataConnection();
      if (DataConnectionConnected())
        LogWarn(GetLogId(), Tag(op) + ".DeviceDataConnection NOT disconnected");
      else
        LogText(GetLogId(), Tag(op) + ".DeviceDataConnection disconnected");
    }
    {
      std::lock_guard<std::recursive_mutex> g(FMgmtLock);
      if (FDeviceManagementClient && FDeviceManagementClient->IsConnected()) {
        LogText(GetLogId(), Tag(op) + ": Disconnect DeviceManagementConnection ####");
        FDeviceManagementClient->Disconnect();
        FDeviceManagementClient.reset();
      }
    }
    LogText(GetLogId(), Tag(op) + ": Close Device ");
    ClosePort();
    FNoAnswerCounter = 0;
    FOldUserId = GetUserID();  // the new CONNECT asks for the same user slot

    bool opened = false;
    for (int attempt = 0; attempt < ReopenAttempts; ++attempt) {
      LogText(GetLogId(), Tag(op) + " -> OpenPort");
      std::string message;
      opened = OpenPort(message);
      if (opened) {
        LogText(GetLogId(), "##### RecoverFromTCPError: reopened  #####################");
        LogText(GetLogId(), "### Open Device ");
        QuitError();
        FisReconnected = true;
        break;
      }
      if (GetErrorCode() != Zor_Err_RepeatRequest) {
        SetError(GetErrorCode(), "Network device lost, connection closed!");
        break;
      }
      LogText(GetLogId(), "#### RecoverFromTCPError: retry reopen");
    }
    // The next attempt comes one receive timeout later, not with the next read.
    if (!opened) MarkReceived();
    LogText(GetLogId(), "(" + ResultToText(GetErrorCode()) + ") " + GetErrorMessage());
    LogText(GetLogId(), Tag(op) + " END #####");
    return opened;
  };

  FErrorFlags |= FlagSupervised;
  LogText(GetLogId(), Tag(op) + " FErrorFlags=" + IntToHex(FErrorFlags, 2) + " #####");
  if (!HasDataConnection()) {
    LogText(GetLogId(), Tag(op) + " connection for measurement data already closed");
    return reopen();
  }

  switch (FTryState.load()) {
    case tryCleared:
      // First check: ask the device in the background; the next check, one
      // receive timeout later, looks at the answer.
      if (FNoAnswerCounter == 0) {
        SetError(Zor_Err_DataTransferInterrupted,
                 "Network device: Data transfer interrupted. Please wait...");
        LogText(GetLogId(), Tag(op) + " Peer antwortet nicht" +
                                " (Zor_Err_DataTransferInterrupted) -> 1. TRY-Request ausführen");
      }
      StartTry();
      MarkReceived();
      LogText(GetLogId(), Tag(op) + " END #####");
      return true;
    case tryRunning:
      MarkReceived();
      LogText(GetLogId(), "##### RecoverFromTCPError END, TryIsRunning #####");
      return true;
    case tryFinished: break;
  }

  if (FTryResult) {
    if ((FErrorFlags & FlagAnsweredOk) == 0) {
      // The session exists: perhaps the device just paused. Wait once more.
      FErrorFlags |= FlagAnsweredOk;
      FNoAnswerCounter = 0;
      MarkReceived();
      QuitError();
      LogText(GetLogId(), "##### RecoverFromTCPError END, Verbindung besteht noch #####");
      FTryState = tryCleared;
      return true;
    }
    LogText(GetLogId(), Tag(op) + " FErrorFlags=" + IntToHex(FErrorFlags, 2) + " TRY-Request antwortet ok," +
                            " aber kein Empfang -> ClosePort");
    if (!Server()) {
      LogText(GetLogId(), Tag(op) + " Server=nil" + " -> force close");
      FForcedClose = true;
    }
    ClosePort();
    return reopen();
  }

  const TZor_Result tryCode = FTryErrorCode;
  FErrorFlags &= static_cast<uint8_t>(~FlagAnsweredOk);
  if (!IsUnreachable(tryCode)) {
    LogText(GetLogId(), "##### RecoverFromTCPError TRY-Request failed -> CF lost connection");
    FTryState = tryCleared;
    return reopen();
  }
  if (ReceiveTimeExceeded()) {
    // Unreachable (unplugged, restarting): keep the session and wait.
    const uint32_t counter = ++FNoAnswerCounter;
    const std::string message = "Network device: Data transfer interrupted (" + std::to_string(counter) +
                                "). " + (counter > 3 ? "Please check device and network." : "Please wait...");
    SetError(tryCode, message);
    LogText(GetLogId(), "### Peer antwortet nicht (" + std::to_string(counter) +
                            ") -> weiter warten, ErrorCode=" + ResultToText(tryCode) + " ###");
    MarkReceived();
    LogWarn(GetLogId(), "(" + ResultToText(tryCode) + ") " + message);
    LogText(GetLogId(), "##### RecoverFromTCPError END #####");
  } else {
    FNoAnswerCounter = 0;
    QuitError();
    LogText(GetLogId(), "##### RecoverFromTCPError END, Messdaten empfangen #####");
  }
  FTryState = tryCleared;
  return true;
}

}  // namespace zor
