// The report processor: the reader on top of one device object. Its owner
// calls GetReport again and again; each call delivers one report in the common
// form (report id first), or nothing while no complete report is there, or,
// when commands wait, sends the next one. On the way it follows the device's
// clock from time stamps, checks the continuity of the FPGA time of binary
// measurement records, notices a device that stops sending, and takes version
// reports apart so the device object learns its identity.
//
// Runs on the caller's thread only; the device's I/O thread fills the receive
// buffer it reads.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "device/Zor_Commands.h"
#include "device/Zor_Header.h"
#include "device/Zor_ProcessReport.h"

namespace zor {

class TZor_ReportDevice : public TZor_CommandQueue {
 public:
  using TGetReportFunc = TZor_Result (TZor_ReportDevice::*)(std::string &report);
  using TProcessCommandFunc = TZor_Result (TZor_ReportDevice::*)(std::string &errorText);

  // Chooses the report loop and command step by the device's kind (and peer).
  explicit TZor_ReportDevice(TZor_BaseDevice &device);

  // One step: a report (or an error text with the error result), nothing, or
  // the next waiting command sent.
  TZor_Result GetReport(std::string &report);

  void ReSync();
  void ResetLastFPGA();
  // "major.minor" for an ESP device, else the version number.
  std::string GetFWVersionNumberString() const;

  // The report loops; each may hand over to another one for good (demo data,
  // ESP detection, recorded-file detection).
  TZor_Result USBGetReport(std::string &report);
  TZor_Result GetESPReport(std::string &report);
  TZor_Result SerialGetReport(std::string &report);
  TZor_Result TCPGetReport(std::string &report);
  TZor_Result ArchiveGetReport(std::string &report);
  TZor_Result FileGetBinReport(std::string &report);
  TZor_Result FileGetTextReport(std::string &report);
  TZor_Result DemoGetReport(std::string &report);
  // Command steps besides BaseProcessCommand.
  TZor_Result ProcessCommandSerial(std::string &errorText);
  TZor_Result FileProcessCommand(std::string &errorText);
  TZor_Result DemoProcessCommand(std::string &errorText);

  // Device time from time stamps and measurement intervals.
  void CheckTimestamps(const std::string &report);

  TGetReportFunc GetDeviceGetReport() const { return FGetReport; }
  TProcessCommandFunc GetDeviceProcessCommand() const { return FProcessCommand; }
  // Read and clear: a clear-buffer command has been completed on the serial line.
  bool GetSerialBufferCleared();
  bool IsNorvaonly() const { return (FVersion.FHardFeature & 3) == 2; }
  const std::string &GetFWVersionString() const { return FVersion.FFWVersionString; }
  const std::string &GetVersionString() const { return FVersion.FVersionString; }
  int GetFirmwareVersion() const { return FVersion.FVersion; }
  int GetFWMajor() const { return FVersion.FMajor; }
  int GetFWMinor() const { return FVersion.FMinor; }
  const std::string &GetFirmwareDate() const { return FVersion.FFirmwareDate; }
  const std::string &GetFPGAVersion() const { return FVersion.FFPGAVersion; }
  const std::string &GetHardFeatureString() const { return FVersion.FHardFeatureString; }
  const std::string &GetVersionIP() const { return FVersion.FVersionIP; }
  uint32_t GetVersionSerialNumber() const { return FVersion.FVersionSerialNumber; }
  uint8_t GetVersionUser() const { return FVersion.FVersionUser; }
  int64_t GetDeviceMs() const { return FDeviceMs; }
  // A version report came that could not be taken apart.
  bool GetInvalidVersionSeen() const { return FInvalidVersionSeen; }

  // Log every decoded report.
  bool LogReport = false;

 private:
  // Measurement continuity and the alarm when a device stops sending.
  static constexpr uint32_t cFPGAWrap = 20000;
  static constexpr uint32_t cNoDataAlarmMs = 5000;
  // Longest frame the serial line accepts (length, 257 data bytes, check).
  static constexpr int cSerialMaxFrame = 260;

  void Log(const std::string &text) const;
  void LogError(const std::string &text) const;
  bool LowLevel() const;
  // "Nothing complete": the device's error, if any, logged and returned.
  TZor_Result NoReport(const char *loop, std::string &report);
  // A frame error: a device error wins, an expected one is swallowed once.
  TZor_Result FrameError(TZor_FrameStatus status, bool ignorable, std::string &report);
  // Learns the identity from a classic version report; false when the report
  // is a repeated version report that must not be delivered.
  bool TakeClassicVersion(const std::string &report, const char *loop, bool checkRepeat);
  void EndCommandPauseOn7901(const std::string &report, const char *loop);

  // Binary record loop pieces (Zor_Report_ESP.cpp).
  TZor_Result ReadRecordFromBuffer(TZor_Record &record, std::string &report, bool &got);
  void TimeStampRecord(const TZor_RecordHeader &h, std::string &report);
  void MeasurementRecord(const TZor_RecordHeader &h, std::string &report);
  void ServiceRecord(std::string &report);
  void HeartbeatRecord(std::string &report);
  bool TakeESPVersion(const std::string &versionReport, std::string &report);
  // Delivers the first of `reports` now and keeps the others in order.
  void Deliver(std::deque<std::string> &reports, std::string &report);

  // Serial line pieces (Zor_Report_Serial.cpp).
  bool SerialSend(uint8_t byte);
  TZor_Result SerialWriteFailed(const std::string &logText, std::string &report);
  void SerialResetCollection();
  TZor_Result SerialFrameEnd(uint8_t endByte, std::string &report);

  // Text lines of recorded files and demo data (Zor_Report_Other.cpp).
  TZor_Result TextLineReport(const char *loop, bool demo, std::string &report);
  bool TryLoop(TGetReportFunc loop, std::string &report, TZor_Result &result);

  bool FMissingKennung = false;
  TGetReportFunc FGetReport = nullptr;
  TProcessCommandFunc FProcessCommand = nullptr;
  bool FSerialNumberFromVersion = false;  // CAN devices
  bool FLUMMeasIntervalEnd = false;
  int32_t FLastFPGA = -1;
  uint8_t FLastMeasMode = 255;
  uint32_t FOffsetFPGA = 0;
  bool FRefClockError = false;
  bool FInvalidVersionSeen = false;
  std::deque<std::string> FSaveData;
  uint32_t FFirstReceiveTicks = 0;
  uint32_t FReceiveTicksTimestamp = 0;
  uint32_t FReceiveTicksMeasuremnt = 0;
  bool FPowerUpNoReference = false;
  bool FRefClockErrorSend = false;
  // Serial line state.
  uint8_t FCheckSum = 0;
  std::string FCmdStringSerial;
  std::string FCMDEcho;
  uint8_t FLastChar = 0x20;
  uint8_t FLastEOL = 0xFF;
  uint8_t FLastAckn = 0xFE;
  std::string FReceivedString;
  int FCmdCharCount = 1;
  int FOffset = 0;
  int FRecIndex = 0;
  uint32_t FRxDTime = 0;
  bool FSerialBufferCleared = false;
  bool FSerialBadByte = false;  // an illegal byte arrived inside the frame being collected
  // Device time.
  int64_t FDeviceMs = -1;
  int FDeviceMsCount = 0;
  uint32_t FDevice100ms = 0;
  // Text frame resynchronisation.
  bool FmissingBF = false;
  bool FignoreNextBF = false;
  TZor_VersionInfo FVersion;
};

}  // namespace zor
