// The stop-and-wait protocol of a ColdFire device on a serial line: the device
// sends one frame and waits for the host's one-byte answer (its own end byte as
// ACK, with bit 0 cleared as NAK); instead of the ACK the host may send a
// command, byte by byte, each byte echoed by the device, and the ACK follows.
#include "device/Zor_BaseDevice.h"
#include "device/Zor_Report.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

constexpr uint8_t cPoll = 0xBC;  // the host's poll after a silence
constexpr uint32_t cSilenceMs = 1000;

uint8_t Nak(uint8_t endByte) { return endByte & 0xFE; }

}  // namespace

bool TZor_ReportDevice::SerialSend(uint8_t byte) {
  return FDevice->DeviceWrite(std::string(1, static_cast<char>(byte)));
}

TZor_Result TZor_ReportDevice::SerialWriteFailed(const std::string &logText, std::string &report) {
  const TZor_Result code = FDevice->GetErrorCode();
  report = FDevice->GetErrorMessage();
  LogError(logText);
  FDevice->QuitError();
  return code == Zor_Err_DataTransferInterrupted ? Zor_Err_DataTransferInterrupted : Zor_WriteError;
}

void TZor_ReportDevice::SerialResetCollection() {
  FReceivedString.clear();
  FSerialBadByte = false;
  FRecIndex = 0;
  FCheckSum = 0;
  FOffset = 0;
}

TZor_Result TZor_ReportDevice::SerialGetReport(std::string &report) {
  if (FDevice->GetPeerType() == ptESP) {
    Log(".SerialGetReport umschalten auf ESP");
    FGetReport = &TZor_ReportDevice::GetESPReport;
    FProcessCommand = &TZor_ReportDevice::BaseProcessCommand;
    return GetESPReport(report);
  }
  // An illegal 0xBE is reported at the next stop unless a good frame completes first.
  TZor_Result pending = Zor_No_Err;
  std::string pendingText;
  for (;;) {
    std::string in;
    if (!FDevice->DeviceReadAnsi(1, in)) {
      const TZor_Result result = NoReport("SerialGetReport", report);
      if (result != Zor_No_Err) return result;
      if (FRxDTime != 0 && platform::TicksSince(FRxDTime) > cSilenceMs) {
        // The device waits for an answer that got lost: drop the half frame and poll.
        SerialResetCollection();
        LogAppendText(FLogId, "<BC>");
        FRxDTime = platform::GetTicks();
        if (!SerialSend(cPoll)) return SerialWriteFailed(FDbgTag + ".SerialGetReport BC", report);
      } else if (FRxDTime == 0) {
        FRxDTime = platform::GetTicks();
      }
      report = pendingText;
      return pending;
    }
    const uint8_t b = static_cast<uint8_t>(in[0]);
    FRxDTime = platform::GetTicks();
    LogAppendText(FLogId, IntToHex(b, 2));
    if (b == cFrameEscape) {
      FOffset = -4;
    } else if (b == cFrameIllegal) {
      pending = Zor_Err_BadFormat;
      pendingText = "SerialGetReport: received illegal $BE";
      // The line garbled the frame being collected: refuse it so the device repeats it.
      if (FRecIndex > 0) FSerialBadByte = true;
      LogError("### " + pendingText);
    } else if (!IsFrameEnd(b)) {
      ++FRecIndex;
      if (FRecIndex > cSerialMaxFrame) {
        LogError(".SerialGetReport too many bytes received: " + std::to_string(FRecIndex) +
                 ", maximal length: " + std::to_string(cSerialMaxFrame));
      } else {
        const uint8_t value = static_cast<uint8_t>(b + FOffset);
        FReceivedString += static_cast<char>(value);
        FCheckSum = static_cast<uint8_t>(FCheckSum + value);
        FLastChar = value;
      }
      FOffset = 0;
    } else if (FRecIndex > 0) {
      const TZor_Result result = SerialFrameEnd(b, report);
      if (result != Zor_No_Err) return result;
      if (!report.empty()) return Zor_No_Err;
      report = pendingText;
      return pending;
    } else if (b == FLastEOL) {
      // The device repeats its end byte: our answer was lost.
      LogAppendText(FLogId, "{lA" + IntToHex(FLastAckn, 2) + "}");
      LogNewLineId(FLogId);
      if (!SerialSend(FLastAckn))
        return SerialWriteFailed(FDbgTag + ".SerialGetReport LastEOL=" + IntToHex(b, 2), report);
    } else {
      Log("{of" + IntToHex(b, 2) + "}");
      if (!SerialSend(Nak(b))) return SerialWriteFailed(FDbgTag + ".SerialGetReport OLD=" + IntToHex(b, 2), report);
    }
  }
}

// End byte after collected bytes: answer the frame and deliver it when it is good.
TZor_Result TZor_ReportDevice::SerialFrameEnd(uint8_t endByte, std::string &report) {
  FLastEOL = endByte;
  const std::string collected = FReceivedString;
  const int found = FRecIndex;
  const uint8_t sum = FCheckSum;
  const bool badByte = FSerialBadByte;
  SerialResetCollection();
  const size_t claimed = collected.empty() ? 0 : FrameTrueLength(static_cast<uint8_t>(collected[0]));
  const uint8_t firstData = collected.size() > 2 ? static_cast<uint8_t>(collected[1]) : 0;
  if (badByte || claimed != static_cast<size_t>(found) || !FrameCheckOk(sum, firstData)) {
    FLastAckn = Nak(endByte);
    LogAppendText(FLogId, "{LA" + IntToHex(FLastAckn, 2) + "}");
    const bool sent = SerialSend(FLastAckn);
    LogError(".SerialGetReport LEN or CHK error: LenFound=" + std::to_string(found) +
             " LenClaimed=" + std::to_string(claimed) + " ChkFound=" + std::to_string(sum) +
             " ChkClaimed=" + std::to_string(FLastChar));
    if (!sent) return SerialWriteFailed(FDbgTag + ".SerialGetReport LastAckn " + IntToHex(FLastAckn, 2), report);
    return Zor_No_Err;
  }
  FLastAckn = endByte;
  report = collected.substr(1, collected.size() - 2);
  TakeClassicVersion(report, "SerialGetReport", false);
  EndCommandPauseOn7901(report, "SerialGetReport");
  FDevice->IncReportCounter();
  CheckTimestamps(report);
  while (!FCmdList.empty() && FCmdList.front().empty()) FCmdList.pop_front();
  if (FCmdList.empty() || FDevice->GetDelayNextCmdMs() != 0) {
    LogAppendText(FLogId, "{La" + IntToHex(FLastAckn, 2) + "}");
    LogNewLineId(FLogId);
    if (!SerialSend(FLastAckn))
      return SerialWriteFailed(FDbgTag + ".SerialGetReport LastEOL=" + IntToHex(FLastEOL, 2), report);
    return Zor_No_Err;
  }
  // The command goes out in place of the ACK; the ACK follows its echo.
  FRxMode = rxCommand;
  FCmdStringSerial = FCmdList.front();
  FCmdList.pop_front();
  FCMDEcho.clear();
  FCmdCharCount = 1;
  const uint8_t first = static_cast<uint8_t>(FCmdStringSerial[0]);
  LogAppendText(FLogId, "{Cs" + IntToHex(first, 2) + "}");
  if (!SerialSend(first))
    return SerialWriteFailed(FDbgTag + ".SerialGetReport Cmd[1] " + BytesToHex(FCmdStringSerial), report);
  return Zor_No_Err;
}

TZor_Result TZor_ReportDevice::ProcessCommandSerial(std::string &errorText) {
  if (FCmdStringSerial.empty()) {
    FRxMode = rxData;
    return Zor_No_Err;
  }
  for (;;) {
    std::string in;
    if (!FDevice->DeviceReadAnsi(1, in)) return CheckDeviceError(errorText);
    const uint8_t b = static_cast<uint8_t>(in[0]);
    if (b == FLastEOL) {
      Log("ProcessCommandSerial Ignore LastEOL [" + IntToHex(b, 2) + "]");
      continue;
    }
    FCMDEcho += static_cast<char>(b);
    LogAppendText(FLogId, "[" + IntToHex(b, 2) + "]");
    if (FCMDEcho.size() < FCmdStringSerial.size()) {
      const uint8_t next = static_cast<uint8_t>(FCmdStringSerial[FCmdCharCount]);
      ++FCmdCharCount;
      LogNewLineId(FLogId);
      LogAppendText(FLogId, "{cs" + IntToHex(next, 2) + "}");
      if (!SerialSend(next))
        return SerialWriteFailed(FDbgTag + "ProcessCommandSerial CharCount=" + std::to_string(FCmdCharCount) +
                                     " " + BytesToHex(FCmdStringSerial),
                                 errorText);
      continue;
    }
    if (FCMDEcho != FCmdStringSerial) {
      FCMDEcho.clear();
      FCmdCharCount = 1;
      LogError(" EchoErr->{" + BytesToHex(FCmdStringSerial) + "}");
      if (!SerialSend(static_cast<uint8_t>(FCmdStringSerial[0])))
        return SerialWriteFailed(FDbgTag + "ProcessCommandSerial CharCount=1 " + BytesToHex(FCmdStringSerial),
                                 errorText);
      continue;
    }
    FRxMode = rxData;
    const uint8_t first = static_cast<uint8_t>(FCmdStringSerial[0]);
    if ((first & 0x80) != 0 && first != ExtendedCmd) FSerialBufferCleared = true;
    FCmdStringSerial.clear();
    FCMDEcho.clear();
    FCmdCharCount = 1;
    LogAppendText(FLogId, "{la" + IntToHex(FLastAckn, 2) + "}");
    LogNewLineId(FLogId);
    if (!SerialSend(FLastAckn))
      return SerialWriteFailed(FDbgTag + "ProcessCommandSerial LastAckn=" + IntToHex(FLastAckn, 2), errorText);
    return Zor_No_Err;
  }
}

}  // namespace zor
