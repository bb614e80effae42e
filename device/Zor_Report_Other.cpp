// Report loops of the device kinds the measurement data services use: reports
// relayed by a TCP data server, archived reports, recorded binary and text
// files, and demo data.
#include <algorithm>
#include <charconv>

#include "device/Zor_BaseDevice.h"
#include "device/Zor_Report.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

constexpr char cTCPStart = 0x01;  // 0x01, length in decimal, 0x02, report bytes
constexpr char cTCPData = 0x02;
constexpr size_t cTCPHeadMax = 12;  // 0x01, up to 10 digits, 0x02
constexpr uint32_t cTCPMaxReport = 0xFFFF - cTCPHeadMax;
constexpr size_t cMaxTextLine = 4096;  // longer "lines" are garbage

bool ParseNumber(std::string_view text, uint32_t &value) {
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size();
}

// Everything the receive buffer holds, at most `limit` bytes, without consuming it.
std::string PeekAvailable(TZor_BaseDevice &device, uint32_t limit) {
  std::string bytes;
  const uint32_t amount = std::min(device.GetBufferAmount(), limit);
  if (amount > 0) device.PeekAnsi(amount, bytes);
  return bytes;
}

}  // namespace

TZor_Result TZor_ReportDevice::TCPGetReport(std::string &report) {
  const std::string head = PeekAvailable(*FDevice, cTCPHeadMax);
  if (head.empty()) return NoReport("TCPGetReport", report);
  if (head[0] != cTCPStart) {
    // Skip to the next start of a relayed report.
    const std::string window = PeekAvailable(*FDevice, 0xFFFF);
    const size_t skip = std::min(window.find(cTCPStart), window.size());
    FDevice->ConfirmPeekedData(static_cast<uint32_t>(skip));
    report = "GetReport: Format error, no TCP string: " + BytesToHex(window.substr(0, skip));
    return Zor_Err_BadFormat;
  }
  const size_t dataPos = head.find(cTCPData);
  if (dataPos == std::string::npos && head.size() < cTCPHeadMax) return NoReport("TCPGetReport", report);
  uint32_t length = 0;
  if (dataPos == std::string::npos || !ParseNumber(std::string_view(head).substr(1, dataPos - 1), length) ||
      length > cTCPMaxReport) {
    // A start byte without a readable length: drop it and resynchronise.
    FDevice->ConfirmPeekedData(1);
    report = "GetReport: Format error, no TCP string: " + BytesToHex(head);
    return Zor_Err_BadFormat;
  }
  if (length < 2) {
    FDevice->ConfirmPeekedData(static_cast<uint32_t>(dataPos + 1));
    report = "GetReport: Format error, not enough bytes: " + std::to_string(length);
    return Zor_Err_BadFormat;
  }
  std::string bytes;
  if (!FDevice->PeekAnsi(static_cast<uint32_t>(dataPos + 1 + length), bytes))
    return NoReport("TCPGetReport", report);
  FDevice->ConfirmPeekedData(static_cast<uint32_t>(bytes.size()));
  report = bytes.substr(dataPos + 1);
  CheckTimestamps(report);
  return Zor_No_Err;
}

TZor_Result TZor_ReportDevice::ArchiveGetReport(std::string &report) {
  // Archived reports: 2-byte big-endian length, then the report.
  std::string head;
  if (!FDevice->PeekAnsi(2, head)) return NoReport("ArchiveGetReport", report);
  const uint16_t length = *BigEndianTextToInt16(head);
  if (length < 2) {
    FDevice->ConfirmPeekedData(2 + length);
    report = "GetReport: Format error, not enough bytes. Expected: 2, found: " + std::to_string(length);
    return Zor_Err_BadFormat;
  }
  std::string bytes;
  if (!FDevice->PeekAnsi(2u + length, bytes)) return NoReport("ArchiveGetReport", report);
  FDevice->ConfirmPeekedData(2u + length);
  report = bytes.substr(2);
  CheckTimestamps(report);
  return Zor_No_Err;
}

bool TZor_ReportDevice::TryLoop(TGetReportFunc loop, std::string &report, TZor_Result &result) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    report.clear();
    result = (this->*loop)(report);
    if (result == Zor_No_Err && !report.empty()) return true;
  }
  report.clear();
  return false;
}

TZor_Result TZor_ReportDevice::FileGetBinReport(std::string &report) {
  TZor_Result result = Zor_No_Err;
  if (TryLoop(&TZor_ReportDevice::GetESPReport, report, result)) {
    Log(".FileGetBinReport: Umschalten auf ESP-Binärdaten");
    FGetReport = &TZor_ReportDevice::GetESPReport;
    FDevice->SetPeerType(ptESP);
    return result;
  }
  FDevice->ResetDevice();
  FSaveData.clear();
  FDevice->SetPeerType(ptColdfire);
  if (TryLoop(&TZor_ReportDevice::USBGetReport, report, result)) {
    Log(".FileGetBinReport: Umschalten auf USB-Binärdaten");
    FGetReport = &TZor_ReportDevice::USBGetReport;
    return result;
  }
  FDevice->ResetDevice();
  FmissingBF = false;
  FignoreNextBF = false;
  Log(".FileGetBinReport: Umschalten auf serielle Binärdaten");
  FGetReport = &TZor_ReportDevice::SerialGetReport;
  return SerialGetReport(report);
}

TZor_Result TZor_ReportDevice::FileGetTextReport(std::string &report) {
  return TextLineReport("FileGetTextReport", false, report);
}

TZor_Result TZor_ReportDevice::DemoGetReport(std::string &report) {
  return TextLineReport("DemoGetReport", true, report);
}

// One text line: four hexadecimal digits of the report id, then (after an
// optional blank) the payload; time stamps carry their count in decimal.
TZor_Result TZor_ReportDevice::TextLineReport(const char *loop, bool demo, std::string &report) {
  const std::string window = PeekAvailable(*FDevice, cMaxTextLine);
  const size_t eol = window.find('\n');
  if (eol == std::string::npos) {
    if (window.size() < cMaxTextLine) return NoReport(loop, report);
    FDevice->ConfirmPeekedData(static_cast<uint32_t>(window.size()));
    report = "GetReport: Format error, line too long";
    return Zor_Err_BadFormat;
  }
  FDevice->ConfirmPeekedData(static_cast<uint32_t>(eol + 1));
  std::string line = window.substr(0, eol);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) return Zor_No_Err;
  const std::string idText = line.substr(0, 4);
  const std::string idBytes = idText.size() == 4 ? HexToBytes(idText) : std::string();
  if (idBytes.size() != 2) {
    if (demo) {
      FMissingKennung = true;
      Log(std::string(".") + loop + " Kennung fehlt: " + line);
      return Zor_No_Err;
    }
    report = "GetReport: Format error, no report id: " + line;
    return Zor_Err_BadFormat;
  }
  const uint16_t id = *BigEndianTextToInt16(idBytes);
  std::string payload = line.substr(4);
  if (id == rid_Version) {
    if (ExtractFirmwareVersionDateTextReport(line, FVersion, TZor_LogTag{FLogId, FDbgTag})) {
      FDevice->SetHardFeature(FVersion.FHardFeature);
      FDevice->SetFirmwareVersionNumber(FVersion.FVersion);
    }
    report = MakeReport(id, payload);
    return Zor_No_Err;
  }
  if (!payload.empty() && payload[0] == ' ') payload.erase(0, 1);
  uint32_t count = 0;
  if ((id & 0x7FFF) == rid_TimeStamp100ms || (id & 0x7FFF) == rid_TimeStampSec) {
    if (ParseNumber(TrimText(payload), count)) payload = IntToBigEndianText32(count);
  }
  report = MakeReport(id, payload);
  CheckTimestamps(report);
  return Zor_No_Err;
}

TZor_Result TZor_ReportDevice::FileProcessCommand(std::string &errorText) {
  errorText.clear();
  if (!FCmdList.empty()) {
    Log(".FileProcessCommand: ignore " + BytesToHex(FCmdList.front()));
    FCmdList.pop_front();
  }
  FRxMode = rxData;
  return Zor_No_Err;
}

TZor_Result TZor_ReportDevice::DemoProcessCommand(std::string &errorText) {
  if (FDevice->GetDevType() == Zor_Simul) return BaseProcessCommand(errorText);
  // Demo data take no commands; the refused one is dropped so it is not refused forever.
  if (!FCmdList.empty()) FCmdList.pop_front();
  FRxMode = rxData;
  errorText = "Commands not supported";
  return Zor_DLL_internalError;
}

}  // namespace zor
