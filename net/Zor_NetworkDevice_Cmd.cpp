// Device commands in CMD frames on short management connections, the block
// transfer (BLO/BLK) that streams an image over one held connection, and the
// set-port request.
#include "device/Zor_Commands.h"
#include "foundation/CircularBuffer.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"

namespace zor {

using platform::TZor_ReadResult;
using platform::TZor_TcpClient;

namespace {
constexpr uint32_t cRepeatPauseMs = 30;
constexpr uint32_t cBlockPauseMs = 20;
constexpr int cMaxSends = 4;

std::string LittleEndianText32(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

bool IsRepeatAnswer(const std::string &answer) { return answer == "bu" || answer.rfind("fe", 0) == 0; }

// The command for messages: its first 10 bytes and "..." when it is longer.
std::string ShortHex(const std::string &command) {
  return command.size() > 10 ? BytesToHex(command.substr(0, 10)) + "..." : BytesToHex(command);
}
}  // namespace

// ---- frames -----------------------------------------------------------------------------

std::string TZor_NetworkDevice::BuildCmdRequest(const std::string &command, std::string &text) {
  std::string address = ServerAddressBytes(FServerPort);
  std::string body = std::string(1, static_cast<char>(command.size() & 0xFF)) + command;
  text = "CMD.... " + BytesToHex(address) + " " + BytesToHex(body);
  return "CMD.... " + address + " " + body;
}

std::string TZor_NetworkDevice::BuildBlockRequest(uint32_t len, uint32_t addr, bool crypted,
                                                  std::string &text) {
  std::string keyword = crypted ? "BLO.... " : "BLK.... ";
  std::string address = ServerAddressBytes(FServerPort);
  text = keyword + BytesToHex(address) + " " + std::to_string(len) + " " + std::to_string(addr);
  return keyword + address + " " + LittleEndianText32(len) + LittleEndianText32(addr);
}

// ---- commands -----------------------------------------------------------------------------

bool TZor_NetworkDevice::DeviceWrite(const std::string &command) {
  if (command.empty()) {
    SetError(Zor_Err_BadFormat, "CMD empty");
    return false;
  }
  const uint8_t b = static_cast<uint8_t>(command[0]);
  const std::string hex = BytesToHex(command);
  if (FFirstCommand && FPeerType == ptESP && (b == 0x01 || b == 0x80 || b == 0x81)) {
    // The device sends its version on its own when the session starts.
    LogText(GetLogId(), FDbgTag + ".DeviceWrite(" + hex + "): ignore first version command");
    FFirstCommand = false;
    return true;
  }
  const bool restartsStream = IsBufferClearingCmd(command);
  const bool ignoredBefore = FIgnoreDataUntilStreamInterrupted;
  if (restartsStream) {
    FIgnoreDataUntilStreamInterrupted = true;
    LogText(GetLogId(), FDbgTag + ".DeviceWrite(" + hex + "): IgnoreDataUntilStreamInterrupted ###");
  }
  bool ok = false;
  for (int send = 0; send < cMaxSends; ++send) {
    ok = SendServerCmd(command);
    if (ok || GetErrorCode() != Zor_Err_RepeatRequest) break;
    LogText(GetLogId(), FDbgTag + ".DeviceWrite: Repeat");
    SetDelayNextCmdMs(cRepeatPauseMs);
  }
  if (ok) LogText(GetLogId(), "{" + hex + "}");
  if (!ok && command.size() >= 2 && b == 0x85 && static_cast<uint8_t>(command[1]) == 0x12 &&
      GetErrorCode() == Zor_Err_RequestDenied) {
    LogText(GetLogId(), FDbgTag + ".DeviceWrite(" + hex + "): change error message ###");
    SetError(Zor_Err_RequestDenied, "Login failed: invalid password");
  }
  if (restartsStream) {
    if (!ok) {
      LogWarn(GetLogId(), FDbgTag + ".DeviceWrite(" + hex +
                              ") failed -> restore IgnoreDataUntilStreamInterrupted " +
                              (ignoredBefore ? "True" : "False"));
      FIgnoreDataUntilStreamInterrupted = ignoredBefore;
    } else if (FIgnoreDataUntilStreamInterrupted) {
      GetReceiveBuffer().Clear();
    }
  }
  return ok;
}

// Waits out a pending command pause; an ESP device's pause of 1 ms only marks
// "no pause needed".
void TZor_NetworkDevice::WaitCommandPause(const std::string &logHead, bool warn) {
  uint32_t delay = GetDelayNextCmdMs();
  if (delay == 0) return;
  if (FPeerType == ptESP && delay == 1) {
    SetDelayNextCmdMs(0);
    return;
  }
  (warn ? LogWarn : LogText)(GetLogId(), logHead + std::to_string(delay));
  WaitSleep(delay);
}

bool TZor_NetworkDevice::SendServerCmd(const std::string &command) {
  const std::string op = "SendServerCmd";
  if (command.size() > MaxCommandLength) {
    SetError(Zor_Err_BadFormat, "CMD too long (" + std::to_string(command.size()) + ")");
    LogWarn(GetLogId(), Tag(op) + " failed: " + GetErrorMessage());
    return false;
  }
  if (FPingNeeded) {
    if (!CheckIP(FDeviceIP)) {
      std::string ping = GetPingError();
      SetError(Zor_Err_ConnectFailed,
               "No connection to network device " + FDeviceIP + (ping.empty() ? "" : ": " + ping));
      LogWarn(GetLogId(), Tag(op) + " failed " + FDeviceIPAndPort);
      return false;
    }
    FPingNeeded = false;
  }
  const bool readsNVS = FPeerType == ptESP && IsReadNVSCmd(command);
  // The answers carry no request: ours must not overtake the hardware-feature answer.
  if (readsNVS) WaitHardFeature();
  WaitCommandPause(FDbgTag + ".SendServerCommand: delay cmd [ms] ", false);
  std::lock_guard<std::recursive_mutex> mg(FMgmtLock);
  if (FDeviceManagementClient && FDeviceManagementClient->IsConnected()) {
    // A block transfer holds the connection; the command must not disturb it.
    SetError(Zor_Err_RepeatRequest, "Previous Request is running");
    LogWarn(GetLogId(), Tag(op) + " " + GetErrorMessage());
    return false;
  }
  const TCmdResponseType saved = GetCmdResponse();
  if (readsNVS) {
    SetCmdResponse(crt_ReadNVS);
    LogText(GetLogId(), Tag(op) + ": IsReadNVSCmd -> wait CmdResponse=" + CmdResponseTypeToText(crt_ReadNVS));
  }
  std::string error;
  if (!ConnectClient(FDeviceManagementClient, error)) {
    SetError(Zor_Err_ConnectFailed, "Command (" + ShortHex(command) + ") failed: " + error);
    LogErr(GetLogId(), Tag(op) + ".Connect (" +
                           BytesToHex(std::string(1, static_cast<char>(command.size())) + command) +
                           ") failed: " + GetErrorMessage());
    FPingNeeded = true;
    SetCmdResponse(saved);
    return false;
  }
  std::string text;
  std::string request = BuildCmdRequest(command, text);
  std::string answer;
  TZor_ReadResult rr = TZor_ReadResult::rrError;
  if (FDeviceManagementClient->Write(request)) {
    LogText(GetLogId(), Tag(op) + " " + text + " -> Warte auf Antwort");
    rr = ReadAnswer(*FDeviceManagementClient, op, answer, true);
    LogText(GetLogId(), Tag(op) + " Antwort=" + answer);
    LogText(GetLogId() + 1, "{" + BytesToHex(command) + "} -> " + answer);
  }
  const std::string shortText = text.substr(0, 40);
  bool ok = false;
  if (rr == TZor_ReadResult::rrClosed || rr == TZor_ReadResult::rrError) {
    SetError(Zor_Err_RequestFailed,
             "Command (" + BytesToHex(command) + ") failed: " +
                 (rr == TZor_ReadResult::rrClosed ? std::string("TCP connection closed")
                                                  : FDeviceManagementClient->GetLastErrorText()));
    LogErr(GetLogId(), Tag(op) + " failed: " + GetErrorMessage());
  } else if (rr == TZor_ReadResult::rrTimeout) {
    FPingNeeded = true;
    SetError(Zor_Err_RequestTimeout, "Request " + shortText + " timed out -> PingNeeded");
  } else if (answer == "ok") {
    // A session end the data channel reported meanwhile must stay visible.
    if (GetErrorCode() != Zor_Err_Disconnected) SetError(Zor_No_Err, "");
    ok = true;
  } else if (IsRepeatAnswer(answer)) {
    SetError(Zor_Err_RepeatRequest, "Command execution denied (busy), please repeat CMD");
  } else {
    SetError(Zor_Err_RequestDenied, "Request " + shortText + " failed: " + answer);
  }
  if (!ok) {
    if (rr != TZor_ReadResult::rrClosed && rr != TZor_ReadResult::rrError)
      LogWarn(GetLogId(), Tag(op) + " " + GetErrorMessage());
    SetCmdResponse(saved);
  }
  DisconnectClient(FDeviceManagementClient, op);
  if (ok) AfterCommand(command);
  return ok;
}

void TZor_NetworkDevice::AfterCommand(const std::string &command) {
  PaceNextCommand(command, false, FDbgTag + ".SendServerCmd:");
  if (FPeerType != ptESP) return;
  SetLastCommand(command);
  if (Is7020Cmd(command)) {
    LogText(GetLogId(), FDbgTag + ".SendServerCmd: Is7020Cmd");
    AwaitResponseTo(command, FDbgTag + ".SendServerCmd: Header=" + IntToHex(GetLUMReportHeader(), 4));
  } else if (IsChannelCmd(command)) {
    SetCmdResponse(crt_channel);
    LogText(GetLogId(), FDbgTag + ".SendServerCmd: IsChannelCmd -> wait CmdResponse=" +
                            CmdResponseTypeToText(crt_channel));
  }
}

// ---- block transfer ---------------------------------------------------------------------------

bool TZor_NetworkDevice::BlockTransferStart(uint32_t len, uint32_t addr, bool crypted) {
  const std::string op = "BlockTransferStart";
  LogText(GetLogId(), Tag(op) + " len=" + std::to_string(len) + ", addr=" + std::to_string(addr) +
                          ", crypted=" + (crypted ? "True" : "False"));
  FBlockSum = 0;
  if (len > MaxBlockLength) {
    SetError(Zor_Err_BadFormat,
             "BLOCK too large (" + IntToSeparatedText(static_cast<int32_t>(len), '.') + ")");
    LogWarn(GetLogId(), Tag(op) + " failed: " + GetErrorMessage());
    return false;
  }
  WaitCommandPause(Tag(op) + ": delay cmd [ms] ", true);
  std::lock_guard<std::recursive_mutex> mg(FMgmtLock);
  const std::string what = " (" + std::to_string(len) + " " + std::to_string(addr) + ") failed: ";
  if (FDeviceManagementClient && FDeviceManagementClient->IsConnected()) {
    SetError(Zor_Err_RepeatRequest, "Previous Request is running");
    LogWarn(GetLogId(), Tag(op) + " " + GetErrorMessage());
    return false;
  }
  LogText(GetLogId(), Tag(op) + ": Peer=" + FDeviceIP + ":" + std::to_string(FDeviceManagementPort));
  std::string error;
  if (!ConnectClient(FDeviceManagementClient, error)) {
    SetError(Zor_Err_ConnectFailed, "BlockTransferStart" + what + error);
    LogErr(GetLogId(), Tag(op) + ".Connect" + what + GetErrorMessage());
    return false;
  }
  std::string text;
  std::string request = BuildBlockRequest(len, addr, crypted, text);
  std::string answer;
  TZor_ReadResult rr = TZor_ReadResult::rrError;
  if (FDeviceManagementClient->Write(request)) {
    LogText(GetLogId(),
            Tag(op) + " " + text + " -> Warte auf Antwort, ticks=" + std::to_string(platform::GetTicks()));
    LogText(GetLogId() + 1, "{" + text + "}");
    rr = ReadAnswer(*FDeviceManagementClient, op, answer, true);
    LogText(GetLogId(), Tag(op) + " Antwort=" + answer + " ticks=" + std::to_string(platform::GetTicks()));
  }
  if (rr == TZor_ReadResult::rrClosed || rr == TZor_ReadResult::rrError) {
    SetError(Zor_Err_RequestFailed,
             "BlockTransferStart" + what +
                 (rr == TZor_ReadResult::rrClosed ? std::string("TCP connection closed")
                                                  : FDeviceManagementClient->GetLastErrorText()));
    LogErr(GetLogId(), Tag(op) + " failed: " + GetErrorMessage());
  } else if (rr == TZor_ReadResult::rrTimeout) {
    SetError(Zor_Err_RequestTimeout, "Request " + text + " timed out");
  } else if (answer == "ok") {
    SetError(Zor_No_Err, "");
    LogText(GetLogId(), Tag(op) + " ok");
  } else if (IsRepeatAnswer(answer)) {
    SetError(Zor_Err_RepeatRequest, "Block execution denied (busy), please repeat BLOCK");
  } else {
    SetError(Zor_Err_RequestDenied, "Request " + text + " failed: " + answer);
  }
  if (GetErrorCode() != Zor_No_Err) {
    if (rr == TZor_ReadResult::rrOk || rr == TZor_ReadResult::rrTimeout)
      LogWarn(GetLogId(), Tag(op) + " " + GetErrorMessage());
    LogWarn(GetLogId(), Tag(op) + " failed -> disconnec");
    FDeviceManagementClient->Disconnect();
    FDeviceManagementClient.reset();
    return false;
  }
  SetDelayNextCmdMs(cBlockPauseMs);
  return true;
}

bool TZor_NetworkDevice::BlockTransferContinue(const std::string &bytes) {
  const std::string op = "BlockTransferContinue";
  LogText(GetLogId(),
          Tag(op) + " len=" + std::to_string(bytes.size()) + " total=" + std::to_string(FBlockSum));
  // Pieces must follow each other at least 20 ms apart.
  if (uint32_t delay = GetDelayNextCmdMs()) {
    LogText(GetLogId(), Tag(op) + ": delay cmd [ms] " + std::to_string(delay));
    WaitSleep(delay);
  }
  std::lock_guard<std::recursive_mutex> mg(FMgmtLock);
  if (!FDeviceManagementClient || !FDeviceManagementClient->IsConnected()) {
    SetError(Zor_Err_BadFormat, "Can not continue block transfer: not connected to device");
    LogWarn(GetLogId(), Tag(op) + " failed: " + GetErrorMessage());
    return false;
  }
  if (!FDeviceManagementClient->Write(bytes)) {
    platform::TZor_SysError e = FDeviceManagementClient->GetLastError();
    bool reset = e.Code == platform::WSA_ECONNRESET;
    SetError(Zor_Err_RequestFailed,
             reset ? "BlockTransferContinue failed: Peer closed TCP connection"
                   : "BlockTransferContinue failed: " +
                         ReplaceLineBreaks(FDeviceManagementClient->GetLastErrorText(), ' '));
    LogErr(GetLogId(),
           Tag(op) + " failed: " + (reset ? std::string("Peer closed connection") : GetErrorMessage()));
    return false;
  }
  LogText(GetLogId() + 1, "{continue len=" + std::to_string(bytes.size()) + "}");
  FBlockSum += static_cast<int32_t>(bytes.size());
  SetDelayNextCmdMs(cBlockPauseMs);
  return true;
}

bool TZor_NetworkDevice::BlockTransferStop() {
  const std::string op = "BlockTransferStop";
  LogText(GetLogId(), Tag(op));
  LogText(GetLogId(), Tag(op) + " -> no delay next command");
  SetDelayNextCmdMs(0);
  std::lock_guard<std::recursive_mutex> mg(FMgmtLock);
  if (!FDeviceManagementClient || !FDeviceManagementClient->IsConnected()) {
    SetError(Zor_Err_RequestFailed, "Blocktransfer unexpected closed connection");
    LogWarn(GetLogId(), FDbgTag + ".BlockTransStop connection closed");
    LogText(GetLogId() + 1, "{no stop, connection closed}");
    return false;
  }
  LogText(GetLogId(), FDbgTag + ".BlockTransStop -> Warte auf Antwort");
  std::string answer;
  TZor_ReadResult rr = FDeviceManagementClient->ReadLine(answer, FAnswerTimeoutMs);
  LogText(GetLogId(), "Antwort=" + answer);
  bool ok = false;
  if (rr == TZor_ReadResult::rrOk && answer == "ok") {
    ok = true;
    SetError(Zor_No_Err, "");
    LogText(GetLogId(), FDbgTag + ".BlockTransStop successful");
    LogText(GetLogId() + 1, "{stop = ok}");
  } else if (rr == TZor_ReadResult::rrTimeout) {
    SetError(Zor_Err_RequestTimeout, "Blocktransfer timed out");
    LogWarn(GetLogId(), FDbgTag + ".BlockTransStop " + GetErrorMessage());
    LogText(GetLogId() + 1, "{stop = tiemout}");
  } else if (rr == TZor_ReadResult::rrOk) {
    SetError(Zor_Err_RequestDenied, "Blocktransfer denied: " + answer);
    LogWarn(GetLogId(), FDbgTag + ".BlockTransStop " + GetErrorMessage());
    LogText(GetLogId() + 1, "{stop = " + answer + "}");
  } else {
    // A broken connection at the final answer is a failed transfer, not an error to raise.
    SetError(Zor_Err_RequestFailed,
             "Blocktransfer failed: " + (rr == TZor_ReadResult::rrClosed
                                             ? std::string("TCP connection closed")
                                             : FDeviceManagementClient->GetLastErrorText()));
    LogErr(GetLogId(), FDbgTag + ".BlockTransStop " + GetErrorMessage());
    LogText(GetLogId() + 1, "{stop = failed}");
  }
  LogText(GetLogId(), FDbgTag + ".BlockTransStop disconnect client");
  FDeviceManagementClient->Disconnect();
  if (FDeviceManagementClient->IsConnected()) {
    LogWarn(GetLogId(), Tag(op) + " NOT disconnected -> free client");
    FDeviceManagementClient.reset();
    LogText(GetLogId(), Tag(op) + " Sleep");
    platform::SleepMs(10);
  }
  return ok;
}

// ---- set port ------------------------------------------------------------------------------------

bool TZor_NetworkDevice::SendServerCmdSetPort(uint8_t aByte, bool responseNeeded) {
  const std::string head = "NetworkDevice.SendServerCmdSetPort ";
  std::lock_guard<std::recursive_mutex> mg(FMgmtLock);
  if (FDeviceManagementClient && FDeviceManagementClient->IsConnected()) {
    SetError(Zor_Err_RepeatRequest, "Previous Request is running");
    LogWarn(GetLogId(), head + GetErrorMessage());
    return false;
  }
  std::string error;
  if (!ConnectClient(FDeviceManagementClient, error)) {
    SetError(Zor_Err_ConnectFailed, error);
    LogErr(GetLogId(), head + "failed: " + error);
    return false;
  }
  std::string request = std::string(responseNeeded ? "PO" : "P ") + static_cast<char>(aByte);
  std::string text = std::string(responseNeeded ? "PO" : "P ") + IntToHex(aByte, 2);
  bool ok = false;
  if (!FDeviceManagementClient->Write(request)) {
    SetError(Zor_Err_RequestFailed, FDeviceManagementClient->GetLastErrorText());
    LogErr(GetLogId(), head + "failed: " + GetErrorMessage());
  } else {
    LogText(GetLogId(), "Set Port, value=" + IntToHex(aByte, 2));
    if (!responseNeeded) {
      ok = true;
    } else {
      LogText(GetLogId(), "  -> Warte auf Antwort");
      std::string answer;
      TZor_ReadResult rr = FDeviceManagementClient->ReadLine(answer, FAnswerTimeoutMs);
      LogText(GetLogId(), "Antwort=" + answer);
      if (rr == TZor_ReadResult::rrOk && answer == "ok") {
        ok = true;
        LogText(GetLogId(), "NetworkDevice.SendServerCmdSetPort successful");
      } else if (rr == TZor_ReadResult::rrTimeout) {
        SetError(Zor_Err_RequestTimeout, "Request " + text + " timed out");
      } else if (rr == TZor_ReadResult::rrOk) {
        SetError(Zor_Err_RequestDenied, "Request " + text + " failed: " + answer);
      } else {
        SetError(Zor_Err_RequestFailed,
                 rr == TZor_ReadResult::rrClosed
                     ? std::string("Send Command SetPort failed: TCP connection closed")
                     : FDeviceManagementClient->GetLastErrorText());
      }
      if (!ok) LogWarn(GetLogId(), head + GetErrorMessage());
    }
  }
  FDeviceManagementClient->Disconnect();
  return ok;
}

}  // namespace zor
