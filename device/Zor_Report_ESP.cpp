// The binary record loop of ESP-based devices: time stamps, the FPGA time
// continuity of measurement records, message and version records, and the
// alarm when a device sends heartbeats but no measurement data.
#include <cstdio>

#include "device/Zor_BaseDevice.h"
#include "device/Zor_ColdfireCommands.h"
#include "device/Zor_Report.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

// Tick count for "received at"; 0 is reserved for "never".
uint32_t StampTicks() {
  const uint32_t t = platform::GetTicks();
  return t ? t : 1;
}

bool OlderThan(uint32_t ticks, uint32_t ms) { return ticks == 0 || platform::TicksSince(ticks) > ms; }

}  // namespace

TZor_Result TZor_ReportDevice::GetESPReport(std::string &report) {
  if (FDevice->GetDemoData()) {
    Log(".GetESPReport umschalten auf Demodaten");
    FGetReport = &TZor_ReportDevice::DemoGetReport;
    return DemoGetReport(report);
  }
  if (!FSaveData.empty()) {
    report = std::move(FSaveData.front());
    FSaveData.pop_front();
    if (LowLevel()) Log(".GetESPReport saved data=" + BytesToHex(report));
    return Zor_No_Err;
  }
  TZor_Record record;
  bool got = false;
  TZor_Result result = ReadRecordFromBuffer(record, report, got);
  if (!got) return result;
  try {
    const TZor_RecordHeader &h = record.Header;
    if (LowLevel()) Log(".GetESPReport " + DescribeRecord(record, FDevice->GetFlagVersion()));
    if (FDevice->GetDevType() == Zor_BinFile) LogText(FLogId + 1, RecordStreamLogLine(record));
    if (FFirstReceiveTicks == 0) FFirstReceiveTicks = StampTicks();

    report = TranslateRecord(record, FDevice->GetFlagVersion(), FDevice->GetBlobNumber());
    if (h.Type == rt_TimeStamp)
      TimeStampRecord(h, report);
    else if (h.IsMeasurement())
      MeasurementRecord(h, report);
    else if (h.Type == rt_Message || h.Type == rt_Status)
      ServiceRecord(report);
    else if (h.Type == rt_Heartbeat)
      HeartbeatRecord(report);

    if (FDevice->GetErrorCode() == Zor_No_Err_Recovered) {
      // The stream was resumed: tell the caller first, the report follows.
      if (!report.empty()) FSaveData.push_front(std::move(report));
      report.clear();
      return CheckDeviceError(report);
    }
    return Zor_No_Err;
  } catch (const std::exception &e) {
    LogExcept(FLogId, FDbgTag + "GetESPReport.finishReport", e);
    throw;
  }
}

TZor_Result TZor_ReportDevice::ReadRecordFromBuffer(TZor_Record &record, std::string &report, bool &got) {
  got = false;
  std::string bytes;
  try {
    if (!FDevice->PeekAnsi(cRecordHeaderSize, bytes)) return NoReport("GetESPReport", report);
  } catch (const std::exception &e) {
    LogExcept(FLogId, FDbgTag + ".GetESPReport.Read tReport-Header failed", e);
    throw;
  }
  const TZor_RecordStatus status = ReadRecord(bytes, record, true);
  if (status == rs_BadMagic || status == rs_BadCount) {
    // The transports hand over whole records; anything else is dropped up to
    // the next record start so that the loop cannot stall on it.
    std::string window;
    const uint32_t amount = std::min<uint32_t>(FDevice->GetBufferAmount(), 0xFFFF);
    FDevice->PeekAnsi(amount, window);
    size_t skip = FindNextMagic(window);
    if (skip == std::string::npos) skip = window.size() >= 3 ? window.size() - 3 : window.size();
    if (skip == 0) skip = 1;
    FDevice->ConfirmPeekedData(static_cast<uint32_t>(skip));
    report = "GetReport: Format error, no report header: " + BytesToHex(window.substr(0, skip));
    LogError(".GetESPReport " + report);
    return Zor_Err_BadFormat;
  }
  const size_t size = record.Header.Size();
  try {
    if (!FDevice->PeekAnsi(static_cast<uint32_t>(size), bytes)) {
      const TZor_Result result = NoReport("GetESPReport", report);
      LogError(".GetESPReport Header=" + DescribeRecord(record, FDevice->GetFlagVersion()));
      return result;
    }
  } catch (const std::exception &e) {
    LogExcept(FLogId, FDbgTag + ".GetESPReport.Read TransmitReport failed", e);
    throw;
  }
  ReadRecord(bytes, record);
  FDevice->ConfirmPeekedData(static_cast<uint32_t>(size));
  got = true;
  return Zor_No_Err;
}

void TZor_ReportDevice::TimeStampRecord(const TZor_RecordHeader &h, std::string &report) {
  const uint32_t w = h.Word;
  FDevice100ms = h.D;
  FDeviceMs = static_cast<int64_t>(w % 100) + static_cast<int64_t>(h.D) * 100;
  FOffsetFPGA = w - w % 100;
  if (w % 100 != 0) {
    // The first time stamp after a start is not aligned to the 100 ms grid.
    if (LowLevel())
      Log(".GetESPReport ersten timestamp ignorieren: FPGAtime=" + std::to_string(w) +
          " 100msCount=" + std::to_string(h.D) + " FDeviceMs=" + std::to_string(FDeviceMs));
    FLastFPGA = -1;
    report.clear();
    return;
  }
  if (LowLevel())
    Log(".GetESPReport timestamp: FPGAoffset=" + std::to_string(FOffsetFPGA) +
        " 100msCount=" + std::to_string(h.D) + " FDeviceMs=" + std::to_string(FDeviceMs));
  if (FReceiveTicksTimestamp != 0 || h.D != 0) {
    FReceiveTicksTimestamp = StampTicks();
    FRefClockErrorSend = false;
  } else {
    FPowerUpNoReference = true;
  }
}

void TZor_ReportDevice::MeasurementRecord(const TZor_RecordHeader &h, std::string &report) {
  const bool binFile = FDevice->GetDevType() == Zor_BinFile;
  if (!binFile && FVersion.FVersionString.empty()) {
    Log(".GetESPReport no version string -> ignore measurement");
    report.clear();
    return;
  }
  FReceiveTicksMeasuremnt = StampTicks();
  FRefClockErrorSend = false;
  if (h.Type != FLastMeasMode && FLastMeasMode != 255) {
    Log(".GetESPReport ModeRate changed old=" + IntToHex(FLastMeasMode, 2) + " new=" + IntToHex(h.Type, 2));
    FLastFPGA = -1;
  }
  FLastMeasMode = h.Type;
  const size_t rate = h.Type & 0x0F;
  // Rates 14 and 15 have no interval: nothing to check the FPGA time against.
  if (rate >= IntervalTableMs.size()) return;
  const uint32_t c = IntervalTableMs[rate];
  if (FLUMMeasIntervalEnd && FVersion.FVersion < 114) FDevice100ms = h.D;
  uint32_t w = h.Word;
  if (h.Type == 0x60) w = w == 0 ? cFPGAWrap - 1 : w - 1;
  if (binFile && FVersion.FVersion < 0) {
    if ((w + 1) % c == 0) {
      FLUMMeasIntervalEnd = true;
      FVersion.FVersion = 114;
    } else if (w % c != 0) {
      FLUMMeasIntervalEnd = false;
      FVersion.FVersion = 110;
    }
    Log(".GetESPReport FileData FVersion=" + std::to_string(FVersion.FVersion) +
        " FLUMMeasIntervalEnd=" + (FLUMMeasIntervalEnd ? "True" : "False"));
  }

  std::deque<std::string> out;
  const uint32_t aligned = FLUMMeasIntervalEnd ? w + 1 : w;
  if (FLastFPGA == -1 && aligned % c != 0) {
    const std::string text =
        "FPGA time Error, expected=" + std::to_string(w - w % c) + " found=" + std::to_string(w);
    LogError(".GetESPReport falscher Startwert: " + text + " ms=" + std::to_string(c) +
             " aInt=" + std::to_string(w % c));
    out.push_back(MakeReport(rid_FPGATimeError, text));
  } else if (FLastFPGA != -1) {
    const uint32_t expected = (static_cast<uint32_t>(FLastFPGA) + c) % cFPGAWrap;
    if (w != expected) {
      const std::string text =
          "FPGA time Error, expected=" + std::to_string(expected) + " found=" + std::to_string(w);
      LogError(".GetESPReport: " + text);
      out.push_back(MakeReport(rid_FPGATimeError, text));
    }
  }
  FLastFPGA = static_cast<int32_t>(w);

  std::string stampAfter;
  if (FVersion.FVersion < 114 && c <= 100) {
    std::string stamp;
    if (!FLUMMeasIntervalEnd) {
      const uint32_t diff = w >= FOffsetFPGA ? w - FOffsetFPGA : w + cFPGAWrap - FOffsetFPGA;
      FDevice100ms += diff / 100;
      FOffsetFPGA = w - w % 100;
      if (w % 100 == 0) out.push_back(stamp = MakeTimeStampReport(FDevice100ms));
    } else if ((w + 1) % 100 == 0) {
      stamp = stampAfter = MakeTimeStampReport(FDevice100ms + 1);
    }
    if (!stamp.empty() && LowLevel()) Log(".GetESPReport create ZortimestampReport=" + BytesToHex(stamp));
  }
  if (FDeviceMs >= 0) FDeviceMs = static_cast<int64_t>(w % 100) + static_cast<int64_t>(FDevice100ms) * 100;

  out.push_back(std::move(report));
  if (!stampAfter.empty()) out.push_back(std::move(stampAfter));
  Deliver(out, report);
}

void TZor_ReportDevice::Deliver(std::deque<std::string> &reports, std::string &report) {
  report = std::move(reports.front());
  reports.pop_front();
  for (auto it = reports.rbegin(); it != reports.rend(); ++it) FSaveData.push_front(std::move(*it));
}

void TZor_ReportDevice::ServiceRecord(std::string &report) {
  // Status records arrive as the same service reports (0x7020, 0x7022).
  switch (ReportId(report)) {
    case rid_Version: {
      std::string versionReport = std::move(report);
      report.clear();
      TakeESPVersion(versionReport, report);
      break;
    }
    case rid_RefClockOk:
      FRefClockError = false;
      FLastFPGA = -1;
      break;
    case rid_RefClockError:
      FRefClockError = true;
      FLastFPGA = -1;
      break;
    case rid_CmdAck:
    case rid_BufferCleared:
    case rid_ReSync:
    case rid_InputOverrun: FLastFPGA = -1; break;
    default: break;
  }
}

bool TZor_ReportDevice::TakeESPVersion(const std::string &versionReport, std::string &report) {
  if (!FCmdList.empty() && IsVersionCmd(FCmdList.front())) {
    Log(".GetESPReport version received -> delete version cmd");
    FCmdList.pop_front();
  }
  if (FVersionReceived) {
    if (LowLevel()) Log(".GetESPReport Ignore multiple version string: " + BytesToHex(versionReport));
    return false;
  }
  if (!ESPExtractFirmware(versionReport, FDevice->GetHardFeature(), FVersion, TZor_LogTag{FLogId, FDbgTag})) {
    LogError(".GetESPReport invalid version string -> send cmd");
    FInvalidVersionSeen = true;
    SendCommand(CmdVersion());
    return false;
  }
  const TZor_VersionInfo &v = FVersion;
  if (v.FVersionUser != 255) FDevice->SetCFUserID(v.FVersionUser);
  FDevice->SetESPFirmwareVersion(v.FMajor, v.FMinor);
  FDevice->SetFirmwareVersionNumber(v.FVersion);
  Log(".GetESPReport version string -> FlagVersion=" + std::to_string(FDevice->GetFlagVersion()));
  FLUMMeasIntervalEnd = v.FVersion > 110;
  if (FLUMMeasIntervalEnd) Log(".GetESPReport version string -> FLUMMeasIntervalEnd");
  if (!v.FFPGAVersion.empty()) FDevice->SetFFPGAVersion(v.FFPGAVersion);
  if (v.FVersionSerialNumber != 0xFFFFFFFF) {
    FDevice->SetSerialNumberValue(v.FVersionSerialNumber);
    if (TZor_DeviceInfoList *list = GlobalDeviceInfoList()) {
      Log(".GetESPReport add DeviceInfo");
      std::unique_ptr<TZor_DeviceInfo> info = FDevice->GetDeviceInfo();
      if (info) list->AddInfo(info);
    }
  }
  Log(".GetESPReport FirmwareVersion=" + std::to_string(v.FMajor) + "." + std::to_string(v.FMinor) + " -> " +
      std::to_string(v.FVersion) + " Date=" + v.FFirmwareDate + " Feature=" + IntToHex(v.FHardFeature, 4) +
      " FPGAVersion=" + v.FFPGAVersion + " SerialNumber=0x" + IntToHex(v.FVersionSerialNumber, 8) +
      " IP=" + v.FVersionIP + " User-ID=" + std::to_string(v.FVersionUser));
  FVersionReceived = true;
  report = BuildESPVersionReport(v);
  return true;
}

void TZor_ReportDevice::HeartbeatRecord(std::string &report) {
  if (FRefClockErrorSend || FRefClockError) return;
  const bool everData = FReceiveTicksTimestamp != 0 || FReceiveTicksMeasuremnt != 0;
  const bool alarm =
      everData ? OlderThan(FReceiveTicksTimestamp, cNoDataAlarmMs) &&
                     OlderThan(FReceiveTicksMeasuremnt, cNoDataAlarmMs)
               : FFirstReceiveTicks != 0 && platform::TicksSince(FFirstReceiveTicks) > cNoDataAlarmMs;
  if (!alarm) return;
  LogError(".GetESPReport.Heartbeat: no measurement/timestamp received -> 7FF7");
  FSaveData.push_front(std::move(report));
  report =
      MakeReport(rid_NoMeasurementData,
                 FPowerUpNoReference
                     ? "Device does not send measurement data: Please check reference clock and re-power!"
                     : "Device does not send measurement data: Please check reference!");
  FRefClockErrorSend = true;
  FFirstReceiveTicks = 0;
  FReceiveTicksTimestamp = 0;
  FReceiveTicksMeasuremnt = 0;
}

}  // namespace zor
