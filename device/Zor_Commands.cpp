#include "device/Zor_Commands.h"

#include "device/Zor_BaseDevice.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

uint8_t Byte(const std::string &cmd, size_t i) { return static_cast<uint8_t>(cmd[i]); }

// Low 7 bits of a single-byte command; bit 7 only asks to clear the data buffer.
uint8_t Low7(const std::string &cmd, size_t i = 0) { return Byte(cmd, i) & 0x7F; }

}  // namespace

// ---- classification ----------------------------------------------------------

bool Is7020Cmd(const std::string &cmd) {
  if (cmd.size() != 1) return false;
  uint8_t c = Low7(cmd);
  return c == 0x0A || (c >= 0x20 && c <= 0x2F) || (c >= 0x40 && c <= 0x5F);
}

bool IsChannelCmd(const std::string &cmd) {
  if (cmd.size() == 1) return Low7(cmd) >= 0x30 && Low7(cmd) <= 0x3B;
  return cmd.size() == 2 && Low7(cmd) == 0x3F;
}

bool IsReadNVSCmd(const std::string &cmd) {
  return cmd.size() >= 2 && Byte(cmd, 0) == ExtendedCmd && cmd[1] == 'E';
}

bool IsVersionCmd(const std::string &cmd) { return cmd.size() == 1 && Low7(cmd) == 0x01; }

bool IsBufferClearingCmd(const std::string &cmd) {
  if (cmd.empty()) return false;
  uint8_t b = Byte(cmd, 0);
  return b >= 0x80 && b != ExtendedCmd && !(b >= 0xBC && b <= 0xBF);
}

TCmdResponseType CmdResponseFor(const std::string &cmd, bool scramblerRefused) {
  if (Is7020Cmd(cmd)) {
    uint8_t c = Low7(cmd);
    if (c == 0x0A) return crt_phaseReset;
    if (c <= 0x2F) return crt_interval;
    if (c <= 0x4F) return crt_mode;
    return scramblerRefused ? crt_none : crt_scrambler;
  }
  if (IsChannelCmd(cmd)) return crt_channel;
  if (IsReadNVSCmd(cmd)) return crt_ReadNVS;
  return crt_none;
}

TZor_CommandPause CommandPauseFor(const std::string &cmd, bool espOverUsb) {
  if (cmd.empty()) return {};
  bool extended = cmd.size() >= 2 && Byte(cmd, 0) == ExtendedCmd;
  uint8_t code = extended ? Byte(cmd, 1) : 0;
  // The configuration memory and the NVS need time to store before the
  // device takes the next command.
  if ((extended && (code == 0x23 || code == 0x43)) || Byte(cmd, 0) == 0x02 || Byte(cmd, 0) == 0x03)
    return {20, "FRAM access -> delay next command"};
  if (extended && code == 0x25) return {30, "NVS access -> delay next command"};
  if (espOverUsb) return {extended && code == 0x32 ? 50u : 5u, ""};
  return {};
}

// ---- TZor_CommandInterpreter ---------------------------------------------------

bool TZor_CommandInterpreter::Fail(const char *what, const std::string &cmd) {
  FErrorCode = Zor_CmdIgnored;
  FErrorMessage = what + BytesToHex(cmd);
  return false;
}

bool TZor_CommandInterpreter::CheckCommand(const std::string &cmd) {
  FErrorCode = Zor_No_Err;
  FErrorMessage.clear();
  if (cmd.empty()) {
    FErrorCode = Zor_CmdIgnored;
    FErrorMessage = "command missing";
    LogErr(FLogId, "TZor_CommandInterpreter.CheckCommand: no command");
    return false;
  }
  if (cmd.size() == 1 && Byte(cmd, 0) != ExtendedCmd) {
    if (const char *failure = CheckSingleByte(Byte(cmd, 0) & 0x7F)) return Fail(failure, cmd);
    if (Byte(cmd, 0) & 0x80) FClearBuffer = true;
    return true;
  }
  return CheckMultiByte(cmd);
}

// Records the single-byte command `c` (bit 7 removed); null on success, else
// the head of the error text.
const char *TZor_CommandInterpreter::CheckSingleByte(uint8_t c) {
  uint8_t n = c & 0x0F;
  switch (c & 0xF0) {
    case 0x20:
      if (n > 13) break;
      FRate = n;
      FInterval = IntervalTableMs[n];
      FIntervalCmd = true;
      return nullptr;
    case 0x30:
      if (n > 11) break;
      FChannelCount = n == 0 ? 24 : n;
      FChannelCountCmd = true;
      return nullptr;
    case 0x40:
      if (n > 6) break;
      FMode = n;
      FModeCmd = true;
      return nullptr;
    case 0x50:
      if (c != 0x50 && c != 0x5E && c != 0x5F) return "Unsupported scrambler command ";
      FScrambler = c == 0x50 ? 0 : (c == 0x5E ? 1 : 2);
      FScramblerCmd = true;
      return nullptr;
    case 0x10:
    case 0x60:
    case 0x70: return nullptr;  // accepted, nothing to record
    default:
      switch (c) {
        case 0x00:
        case 0x05: return nullptr;
        case 0x01: FVersionCmd = true; return nullptr;
        case 0x02: FGetCalibCmd = true; return nullptr;
        case 0x0A: FResetPhaseDiffCmd = true; return nullptr;
        case 0x0F: FReSyncCmd = true; return nullptr;
        default: break;
      }
  }
  return "Unknown command ";
}

bool TZor_CommandInterpreter::CheckMultiByte(const std::string &cmd) {
  switch (Byte(cmd, 0)) {
    case 0x03:
      if (cmd.size() != 2 || Byte(cmd, 1) < 1 || Byte(cmd, 1) > 4) break;
      FFHRBlock = Byte(cmd, 1);
      FGetFHRCmd = true;
      return true;
    case 0x10:
      if (cmd.size() != 4) break;
      FDAC = (uint32_t{Byte(cmd, 1)} << 16) | (uint32_t{Byte(cmd, 2)} << 8) | Byte(cmd, 3);
      FSetDACCmd = true;
      return true;
    case 0x3F:
      if (cmd.size() != 2 || Byte(cmd, 1) < 12 || Byte(cmd, 1) > 23) break;
      FChannelCount = Byte(cmd, 1);
      FChannelCountCmd = true;
      return true;
    case ExtendedCmd:
      if (cmd.size() >= 2 && Byte(cmd, 1) == 0x23) return CheckWriteFRAM(cmd);
      if (cmd.size() >= 2) return Fail("Unsupported command ", cmd);
      break;
    default: break;
  }
  return Fail("Unknown command ", cmd);
}

// 0x85 0x23, 4-byte address, 128 bytes: a write into the configuration memory.
bool TZor_CommandInterpreter::CheckWriteFRAM(const std::string &cmd) {
  constexpr size_t dataSize = 128;
  std::optional<uint32_t> address = BigEndianTextToInt32(cmd, 2);
  if (cmd.size() != 6 + dataSize || !address || *address < 0x7E000 || *address > 0x7E200)
    return Fail("Unknown command ", cmd);
  // The device maps the configuration area 0x7E000 onto FRAM address 0x0000.
  FFRAMAdr = static_cast<uint16_t>(*address + 8192);
  FFRAMContent = cmd.substr(6, dataSize);
  FWriteFRAMCmd = true;
  return true;
}

// ---- TZor_CommandQueue -----------------------------------------------------------

TZor_CommandQueue::TZor_CommandQueue(TZor_BaseDevice &device)
    : FDbgTag("TZor_ReportDevice[" + std::to_string(device.GetMultiId()) + "]"),
      FLogId(device.GetLogId()),
      FDevice(&device) {}

void TZor_CommandQueue::AddToCmdList(const std::string &cmd, const std::string &logText) {
  LogText(FLogId, FDbgTag + ".SendCommand: " + logText + "add to CmdList=" + BytesToHex(cmd));
  FCmdList.push_back(cmd);
}

TZor_Result TZor_CommandQueue::SendCommand(const std::string &cmd) {
  try {
    TZor_Result result = Zor_No_Err;
    uint32_t delay = FDevice->GetDelayNextCmdMs();
    // An ESP device has no report that ends a pause: the last millisecond is
    // not worth holding a command for when no answer is awaited.
    if (delay == 1 && FDevice->GetPeerType() == ptESP && FDevice->GetCmdResponse() == crt_none) {
      FDevice->SetDelayNextCmdMs(0);
      delay = 0;
    }
    if (delay != 0) {
      AddToCmdList(cmd, "delay cmd for " + std::to_string(delay) + " -> ");
    } else if (FRxMode == rxCommand) {
      AddToCmdList(cmd, "Command is running -> ");
    } else if (FDevice->GetCmdResponse() != crt_none) {
      AddToCmdList(cmd, "Wait CmdResponse " + CmdResponseTypeToText(FDevice->GetCmdResponse()) + " -> ");
    } else if (!FDevice->GetHasCommandList() || !FCmdList.empty()) {
      AddToCmdList(cmd, "");
    } else {
      LogText(FLogId, FDbgTag + ".SendCommand: " + BytesToHex(cmd));
      std::string errorText;
      if (!FDevice->DeviceWrite(cmd)) result = CheckDeviceError(errorText);
    }
    if (result == Zor_No_Err && IsVersionCmd(cmd)) {
      LogText(FLogId, FDbgTag + ".SendCommand: version command");
      FVersionReceived = false;
    }
    return result;
  } catch (const std::exception &e) {
    LogExcept(FLogId, FDbgTag + ".SendCommand failed", e);
    throw;
  }
}

TZor_Result TZor_CommandQueue::BaseProcessCommand(std::string &errorText) {
  TZor_Result result = Zor_No_Err;
  uint32_t delay = FDevice->GetDelayNextCmdMs();
  TCmdResponseType awaited = FDevice->GetCmdResponse();
  if (delay != 0) {
    LogText(FLogId, FDbgTag + ".BaseProcessCommand: delay cmd for " + std::to_string(delay));
  } else if (awaited != crt_none) {
    LogText(FLogId, FDbgTag + ".BaseProcessCommand: Wait CmdResponse " + CmdResponseTypeToText(awaited));
  } else if (!FCmdList.empty()) {
    std::string cmd = FCmdList.front();
    FCmdList.pop_front();
    std::string hex = BytesToHex(cmd);
    LogText(FLogId,
            FDbgTag + ".BaseProcessCommand: cmd=" + hex + " now=" + std::to_string(platform::GetTicks()));
    if (FDevice->DeviceWrite(cmd)) {
      // These links log their traffic themselves.
      TZor_DeviceType kind = FDevice->GetDevType();
      bool logsItself = kind == Zor_CDC || kind == Zor_Remote || kind == Zor_CAN_Dev || kind == Zor_Simul ||
                        (kind == Zor_Serial && FDevice->GetPeerType() == ptESP);
      if (!logsItself) {
        LogText(FLogId, "{" + hex + "}");
        LogText(FLogId + 1, "{" + hex + "}");
      }
    } else {
      result = CheckDeviceError(errorText);
      LogErr(FLogId,
             FDbgTag + ".BaseProcessCommand: " + hex + " failed(" + ResultToText(result) + ")=" + errorText);
    }
  }
  FRxMode = rxData;
  return result;
}

TZor_Result TZor_CommandQueue::CheckDeviceError(std::string &text) {
  try {
    TZor_Result code = FDevice->GetErrorCode();
    if (code == Zor_No_Err) return Zor_No_Err;
    text = FDevice->GetErrorMessage();
    FDevice->QuitError();
    // The next frame error is the expected consequence of the break.
    if (code == Zor_Err_ReceiveBufferOverflow || code == Zor_Err_Reconnected) FIgnoreNextFormatError = true;
    return code;
  } catch (const std::exception &e) {
    LogExcept(FLogId, FDbgTag + ".CheckDeviceError", e);
    text = "check device error failed: EXCEP(" + ExceptionClassName(e) + ") " + e.what();
    return Zor_Err_Exception;
  }
}

uint32_t TZor_CommandQueue::GetPendingCmdsCount() const {
  return static_cast<uint32_t>(FCmdList.size()) + FDevice->GetPendingCmdsCount();
}

}  // namespace zor
