// The report processor: creation, the common step, the text frame loop of
// ColdFire devices (USB and network), version reports and the device clock.
#include "device/Zor_Report.h"

#include <stdexcept>

#include "device/Zor_BaseDevice.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"

namespace zor {

TZor_ReportDevice::TZor_ReportDevice(TZor_BaseDevice &device) : TZor_CommandQueue(device) {
  switch (device.GetDevType()) {
    case Zor_Serial:
      FGetReport = &TZor_ReportDevice::SerialGetReport;
      FProcessCommand = &TZor_ReportDevice::ProcessCommandSerial;
      break;
    case Zor_HID:
    case Zor_CDC:
    case Zor_Remote:
      FGetReport =
          device.GetPeerType() == ptESP ? &TZor_ReportDevice::GetESPReport : &TZor_ReportDevice::USBGetReport;
      FProcessCommand = &TZor_ReportDevice::BaseProcessCommand;
      // A fresh reader usually starts in the middle of the device's stream.
      FIgnoreNextFormatError = true;
      break;
    case Zor_BinFile:
      FGetReport = &TZor_ReportDevice::FileGetBinReport;
      FProcessCommand = &TZor_ReportDevice::FileProcessCommand;
      break;
    case Zor_TxtFile:
      FGetReport = &TZor_ReportDevice::FileGetTextReport;
      FProcessCommand = &TZor_ReportDevice::FileProcessCommand;
      break;
    case Zor_CAN_Dev:
      FGetReport = &TZor_ReportDevice::USBGetReport;
      FProcessCommand = &TZor_ReportDevice::BaseProcessCommand;
      FSerialNumberFromVersion = true;
      break;
    case Zor_TCP_Device:
      FGetReport = &TZor_ReportDevice::TCPGetReport;
      FProcessCommand = &TZor_ReportDevice::BaseProcessCommand;
      break;
    case Zor_TCP_Archive:
      FGetReport = &TZor_ReportDevice::ArchiveGetReport;
      FProcessCommand = &TZor_ReportDevice::BaseProcessCommand;
      break;
    case Zor_Simul:
      FGetReport = &TZor_ReportDevice::DemoGetReport;
      FProcessCommand = &TZor_ReportDevice::DemoProcessCommand;
      break;
    default: break;
  }
}

TZor_Result TZor_ReportDevice::GetReport(std::string &report) {
  report.clear();
  if (!FGetReport) {
    report = "GetReport: no report loop for device type " + DeviceTypeToText(FDevice->GetDevType());
    return Zor_DLL_internalError;
  }
  TZor_Result result;
  if (FRxMode == rxCommand && FProcessCommand) {
    result = (this->*FProcessCommand)(report);
  } else {
    result = (this->*FGetReport)(report);
    // The serial line sends a waiting command in place of an acknowledgement
    // and switches modes itself.
    if (FGetReport != &TZor_ReportDevice::SerialGetReport) ScheduleCommandStep();
  }
  if (result == Zor_Err_BadFormatIgnore) {
    report.clear();
    result = Zor_No_Err;
  }
  return result;
}

void TZor_ReportDevice::ReSync() {
  Log(".ReSync");
  FDeviceMs = 0;
}

void TZor_ReportDevice::ResetLastFPGA() {
  Log(".ResetLastFPGA " + std::to_string(FLastFPGA) + " -> -1");
  FLastFPGA = -1;
}

std::string TZor_ReportDevice::GetFWVersionNumberString() const {
  if (FDevice->GetPeerType() == ptESP)
    return std::to_string(FVersion.FMajor) + "." + std::to_string(FVersion.FMinor);
  return std::to_string(FVersion.FVersion);
}

bool TZor_ReportDevice::GetSerialBufferCleared() {
  const bool was = FSerialBufferCleared;
  FSerialBufferCleared = false;
  return was;
}

// ---- common pieces ------------------------------------------------------------------

void TZor_ReportDevice::Log(const std::string &text) const { LogText(FLogId, FDbgTag + text); }

void TZor_ReportDevice::LogError(const std::string &text) const { LogErr(FLogId, FDbgTag + text); }

bool TZor_ReportDevice::LowLevel() const { return FDevice->GetLowLevelLog(); }

TZor_Result TZor_ReportDevice::NoReport(const char *loop, std::string &report) {
  std::string text;
  const TZor_Result result = CheckDeviceError(text);
  if (result != Zor_No_Err) {
    const std::string line = std::string(".") + loop + ".DeviceError(" + ResultToText(result) + ")=" + text;
    // The end of a recorded file is expected, not a failure.
    if (result == Zor_Err_EndOfFile)
      Log(line);
    else
      LogError(line);
    report = text;
  }
  return result;
}

TZor_Result TZor_ReportDevice::FrameError(TZor_FrameStatus status, bool ignorable, std::string &report) {
  std::string text;
  const TZor_Result result = CheckDeviceError(text);
  if (result != Zor_No_Err) {
    report = text;
    return result;
  }
  if (ignorable && FIgnoreNextFormatError) {
    Log(".USBGetReport.IgnoreNextFormatError");
    FIgnoreNextFormatError = false;
    return Zor_Err_BadFormatIgnore;
  }
  report = FrameErrorText(status);
  return Zor_Err_BadFormat;
}

bool TZor_ReportDevice::TakeClassicVersion(const std::string &report, const char *loop, bool checkRepeat) {
  if (ReportId(report) != rid_Version) return true;
  const std::string head = std::string(".") + loop;
  const TZor_LogTag tag{FLogId, FDbgTag};
  uint8_t user = 255;
  if (ExtractUserID(report, user, tag)) FDevice->SetCFUserID(user);
  if (checkRepeat && FVersionReceived) {
    // Looks like a version report; only a real one is dropped as a repetition.
    TZor_VersionInfo probe;
    if (!ExtractFirmware(report, probe, TZor_LogTag{})) return true;
    Log(head + " Ignore multiple version string: " + report);
    return false;
  }
  if (!ExtractFirmware(report, FVersion, tag)) {
    FInvalidVersionSeen = true;
    return true;
  }
  FDevice->SetHardFeature(FVersion.FHardFeature);
  FDevice->SetFirmwareVersionNumber(FVersion.FVersion);
  FDevice->SetFFPGAVersion(FVersion.FFPGAVersion);
  uint32_t serial = FVersion.FVersionSerialNumber;
  if (FSerialNumberFromVersion) ExtractSerialNumber(report, serial);
  if (serial != 0x0FFFFFFF && serial != 0xFFFFFFFF) FDevice->SetSerialNumberValue(serial);
  Log(head + " FirmwareVersion=" + std::to_string(FVersion.FVersion) +
      ", Feature=" + IntToHex(FVersion.FHardFeature & 0xFFFF, 4) + ", Date=" + FVersion.FFirmwareDate +
      ", FPGAVersion=" + FVersion.FFPGAVersion);
  FVersionReceived = true;
  return true;
}

void TZor_ReportDevice::EndCommandPauseOn7901(const std::string &report, const char *loop) {
  if (ReportId(report) != rid_NVSBlock0) return;
  Log(std::string(".") + loop + " 7901 -> reset cmd delay");
  FDevice->SetDelayNextCmdMs(0);
}

void TZor_ReportDevice::CheckTimestamps(const std::string &report) {
  const uint16_t id = ReportId(report) & 0x7FFF;
  if (id == rid_TimeStamp100ms || id == rid_TimeStampSec) {
    const auto count = BigEndianTextToInt32(report, 2);
    if (!count) return;
    const bool tenths = id == rid_TimeStamp100ms;
    FDevice100ms = tenths ? *count : *count * 10;
    FDeviceMs = static_cast<int64_t>(*count) * (tenths ? 100 : 1000);
    FDeviceMsCount = 0;
  } else if (IsMeasurementId(id) && FDeviceMs >= 0) {
    const size_t rate = (id >> 8) & 0x0F;
    if (FDeviceMsCount > 0 && rate < IntervalTableMs.size()) FDeviceMs += IntervalTableMs[rate];
    ++FDeviceMsCount;
  } else {
    return;
  }
  if (LowLevel()) Log(".CheckTimestamps FDeviceMs=" + Int64ToSeparatedText(FDeviceMs));
}

// ---- text frames (USB, network, CAN) ------------------------------------------------

TZor_Result TZor_ReportDevice::USBGetReport(std::string &report) {
  if (FDevice->GetDemoData()) {
    Log(".USBGetReport umschalten auf Demodaten");
    FGetReport = &TZor_ReportDevice::DemoGetReport;
    return DemoGetReport(report);
  }
  if (FDevice->GetPeerType() == ptESP) {
    Log(".USBGetReport umschalten auf ESP");
    FGetReport = &TZor_ReportDevice::GetESPReport;
    return GetESPReport(report);
  }
  const char *step = "ignoreNextBF";
  try {
    uint8_t b = 0;
    if (FignoreNextBF) {
      if (!FDevice->PeekChar(b)) return NoReport("USBGetReport", report);
      FignoreNextBF = false;
      if (IsFrameEnd(b))
        FDevice->ConfirmPeekedData(1);
      else if (LogReport)
        Log(".USBGetReport.ignoreNextBF: NICHT überlesen=" +
            BytesToHex(std::string(1, static_cast<char>(b))));
    }

    step = "missingBF";
    if (FmissingBF) {
      std::string bytes;
      const uint32_t amount = std::min<uint32_t>(FDevice->GetBufferAmount(), 0xFFFF);
      if (amount == 0 || !FDevice->PeekAnsi(amount, bytes)) return NoReport("USBGetReport", report);
      const size_t end = FindFrameEnd(bytes);
      if (end == std::string::npos) {
        // No end byte yet: everything so far belongs to the broken frame.
        FDevice->ConfirmPeekedData(amount);
        return NoReport("USBGetReport", report);
      }
      FDevice->ConfirmPeekedData(static_cast<uint32_t>(end + 1));
      FmissingBF = false;
      LogError(".USBGetReport.missingBF überlesen (" + std::to_string(end) +
               "): " + BytesToHex(bytes.substr(0, end)));
    }

    step = "ESC and Len";
    std::string head;
    if (!FDevice->PeekAnsi(2, head)) return NoReport("USBGetReport", report);
    size_t size = TextFrameSize(head);
    if (size == 0) {
      if (!FDevice->PeekAnsi(3, head)) return NoReport("USBGetReport", report);
      size = TextFrameSize(head);
    }

    step = "ReadReport";
    std::string frame;
    TZor_FrameResult res;
    for (;;) {
      if (!FDevice->PeekAnsi(static_cast<uint32_t>(size), frame)) return NoReport("USBGetReport", report);
      if (frame.compare(0, 2, head, 0, 2) != 0) {
        Log(".USBGetReport.escLenStr(" + BytesToHex(head.substr(0, 2)) +
            ") stimmt nicht mehr. Wurde Puffer gelöscht? s=" + BytesToHex(frame));
        return Zor_No_Err;
      }
      res = DecodeTextFrame(frame);
      // The escape count only estimates the size; the length byte decides.
      if (res.Status != fs_Incomplete || res.Needed <= size) break;
      size = res.Needed;
    }

    step = "checkReport";
    TZor_Result result = Zor_No_Err;
    switch (res.Status) {
      case fs_Ok:
        report = std::move(res.Report);
        FIgnoreNextFormatError = false;
        CheckTimestamps(report);
        break;
      case fs_UnexpectedEnd:
        Log(".USBGetReport.USB unerwartetes $BF, $BD empfangen ! ###############");
        Log(".USBGetReport.bisher verarbeitet($BF/$BD): " + BytesToHex(res.Report));
        result = FrameError(res.Status, true, report);
        break;
      case fs_IllegalBE:
        Log(".USBGetReport.unerlaubtes $BE empfangen ! ####");
        Log(".USBGetReport.bisher verarbeitet($BE): " + BytesToHex(res.Report));
        result = FrameError(res.Status, false, report);
        FmissingBF = true;
        break;
      case fs_CheckSum:
        Log(".USBGetReport.CHK error: Len=" + std::to_string(res.Length) +
            " ChkFound=" + std::to_string(res.Sum) + " ChkClaimed=" + std::to_string(res.CheckByte));
        Log(".USBGetReport.bisher verarbeitet(CheckSum): " + BytesToHex(res.Report));
        result = FrameError(res.Status, true, report);
        FmissingBF = true;
        break;
      case fs_Incomplete: return NoReport("USBGetReport", report);
    }
    FDevice->ConfirmPeekedData(static_cast<uint32_t>(res.Consumed));
    if (result != Zor_No_Err) return result;

    step = "finishReport";
    if (!FDevice->PeekChar(b)) {
      FignoreNextBF = true;
      Log(".USBGetReport.ignoreNextBF");
    } else if (IsFrameEnd(b)) {
      FDevice->ConfirmPeekedData(1);
    } else {
      Log(".USBGetReport nächstes Zeichen kein BF: " + BytesToHex(std::string(1, static_cast<char>(b))));
    }
    if (!TakeClassicVersion(report, "USBGetReport", true)) {
      report.clear();
      return Zor_No_Err;
    }
    EndCommandPauseOn7901(report, "USBGetReport");
    if (LogReport) Log(std::string(15, ' ') + BytesToHex(frame.substr(0, res.Consumed)));
    return Zor_No_Err;
  } catch (const std::exception &e) {
    LogExcept(FLogId, FDbgTag + ".USBGetReport." + step, e);
    throw;
  }
}

}  // namespace zor
