// The abstract device object: one instance per opened connection to one
// measurement device. It owns the receive and tools ring buffers that the
// transport's I/O thread fills, the receive event, the identity learnt from the
// version report, the error state of the last operation and the command pacing.
// Transports (USB, network, test double) derive from it and implement opening,
// closing, writing and link supervision; the report processor and the firmware
// engine reach a device only through this class.
//
// Threads: I/O threads write the buffers and call the identity setters marked
// "I/O thread" below, SetCmdResponse, SetLastCommand, SetDelayNextCmdMs,
// SetError and SaveBinaryData; everything else runs on the caller's thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/Zor_CommonTypes.h"
#include "foundation/Zor_DllCommon.h"
#include "platform/Zor_Sys.h"

namespace zor {

class TCircularBuffer;
class TZor_CommandQueue;

// The number format of the user's locale, taken when an object is created.
struct TZor_FormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  static TZor_FormatSettings FromSystemLocale();
};

// Raw read and write handlers a transport may install (USB: HID reports).
using TZor_Read = std::function<bool(std::string &data)>;
using TZor_Write = std::function<bool(const std::string &data)>;

// One channel of the FHR table: A and B, the ratio R and the enable flag E.
struct TFHRChannel {
  double A = 0;
  double B = 0;
  long double R = 1;
  bool E = false;
};

constexpr int FHRChannelMax = 24;

// The FHR table of 24 channels. Its text and wire forms live with the stored
// data operations (Zor_BaseDevice_Flash.cpp).
struct TFHRSettings {
  std::string ErrorStr;
  std::array<TFHRChannel, FHRChannelMax> FHRChannels{};
  int FHRChannelCount = 0;
  TZor_FormatSettings FormatSettings;
  bool WriteNeeded = false;
};

// What a version report told about a device; collected in TZor_DeviceInfoList.
class TZor_DeviceInfo {
 public:
  static constexpr int ChannelCount = 24;

  uint32_t GetHardFeature() const { return FHardFeature; }
  void SetHardFeature(uint32_t value) { FHardFeature = value; }
  int GetIndex() const { return FIndex; }
  void SetIndex(int value) { FIndex = value; }
  const std::string &GetIPAddress() const { return FIPAddress; }
  void SetIPAddress(const std::string &value) { FIPAddress = value; }
  TZor_PeerType GetPeerType() const { return FPeerType; }
  void SetPeerType(TZor_PeerType value) { FPeerType = value; }
  uint32_t GetSerialNumber() const { return FSerialNumber; }
  void SetSerialNumber(uint32_t value) { FSerialNumber = value; }
  // Channels count from 1; others read 0 and are not written.
  double GetNominalFreq(int channel) const;
  void SetNominalFreq(int channel, double value);
  // The 24 values in the locale's format, each followed by ";".
  std::string GetNominalFreqString(const TZor_FormatSettings &format) const;

 private:
  uint32_t FHardFeature = 0;
  int FIndex = -1;
  std::string FIPAddress;
  std::array<double, ChannelCount> FNominalFreq{};
  TZor_PeerType FPeerType = ptUnknown;
  uint32_t FSerialNumber = 0xFFFFFFFF;
};

// Owning list of device infos, at most one per serial number seen.
class TZor_DeviceInfoList {
 public:
  // Takes `info` over and returns its index. An info for a serial number
  // already listed is not taken over: it is freed when `freeIfNotTaken`
  // (otherwise given back through `info`) and the existing index is returned.
  int AddInfo(std::unique_ptr<TZor_DeviceInfo> &info, bool freeIfNotTaken = true);
  // Linear search; refreshes the found item's index. Null when not listed.
  TZor_DeviceInfo *GetInfo(uint32_t serialNumber);
  int Count() const { return static_cast<int>(FItems.size()); }

 private:
  std::recursive_mutex FLock;
  std::vector<std::unique_ptr<TZor_DeviceInfo>> FItems;
};

// The process-wide list of devices seen; null until the measurement-source
// layer creates it, and while it is null nothing is collected.
TZor_DeviceInfoList *GlobalDeviceInfoList();
void SetGlobalDeviceInfoList(std::unique_ptr<TZor_DeviceInfoList> list);

// The item an ESP storage answer ('x' record) belongs to, as the record
// carries it: kind ('i' integer, 's' string) in the low byte, item number in
// the high byte.
constexpr uint16_t NVSAnswerKey(char kind, uint8_t number) {
  return static_cast<uint16_t>(static_cast<uint8_t>(kind) | (number << 8));
}

class TZor_BaseDevice {
 public:
  // `receiveEvent` (not owned) is used when given; otherwise the object makes
  // a private one.
  explicit TZor_BaseDevice(int logId, bool doResetEvent = true, platform::TZor_Event *receiveEvent = nullptr,
                           int multiId = 0);
  virtual ~TZor_BaseDevice();
  TZor_BaseDevice(const TZor_BaseDevice &) = delete;
  TZor_BaseDevice &operator=(const TZor_BaseDevice &) = delete;

  // ---- virtual operations (transports override these) --------------------
  virtual uint32_t GetBufferAmount();
  virtual uint32_t GetBufferHighAmount();
  virtual void SetDeviceStartState(TZor_DeviceStartState value);  // I/O thread
  virtual void SetReceivedSec(uint32_t value);                    // I/O thread
  virtual void SetReferenceClockError(bool value);
  virtual uint32_t GetSerialNumberValue();
  virtual void SetLowLevelLog(bool value);
  // True when the link is considered lost; then sets the error state.
  virtual bool CheckDeviceClosed() = 0;
  // Commands the transport still holds (USB I/O thread queue).
  virtual uint32_t GetPendingCmdsCount() { return 0; }
  // Takes effect only while the port is closed.
  virtual void SetBlockingIO(bool value);
  virtual void SetReadTimeoutMs(uint32_t value);
  // Remaining pause before the next command may go out; 0 = none.
  virtual uint32_t GetDelayNextCmdMs();
  // Starts a pause of `ms` milliseconds; 0 ends the pause.
  virtual void SetDelayNextCmdMs(uint32_t ms);
  virtual void DeleteCommands() {}
  virtual void ResetDevice() {}
  virtual void QuitError();
  // Asks for the next slice of the FHR table through `sender`'s queue.
  virtual bool ReadFHRData(TZor_CommandQueue *sender);
  virtual void ClosePort() = 0;
  virtual bool OpenPort(std::string &errorMessage) = 0;
  // Reads exactly (count AND 255) bytes or nothing; may block (BlockingIO).
  virtual bool DeviceRead(uint32_t count, std::string &text);
  virtual bool DeviceReadAnsi(uint32_t count, std::string &bytes);
  // Sends one command string; false leaves the reason in the error state.
  virtual bool DeviceWrite(const std::string &command) = 0;
  // From the tools buffer, (count AND 255) bytes or nothing, never blocks.
  virtual bool ToolsRead(uint32_t count, std::string &text);
  virtual bool ToolsReadAnsi(uint32_t count, std::string &bytes);
  virtual bool ConfirmPeekedData(uint32_t count);
  // Peeks (count as given) without consuming; may block like DeviceRead.
  virtual bool PeekAnsi(uint32_t count, std::string &bytes);
  virtual bool PeekChar(uint8_t &value);
  virtual bool PeekData(uint32_t count, std::string &text);
  virtual void GetBufferAmounts(uint32_t &amount, uint32_t &highAmount);
  virtual bool IsEqual(const TZor_BaseDevice *other) const { return other == this; }
  // Names the device in log lines (after " Device=").
  virtual std::string ToString() const;

  // ---- reading helpers ----------------------------------------------------
  // Everything the tools buffer holds, read in pieces of at most 255 bytes.
  std::string ToolsReadAll();
  std::string ToolsReadAllAnsi() { return ToolsReadAll(); }

  // ---- answers in tools mode --------------------------------------------------
  // Forgets every answer not read yet (tools buffer and storage answers), so
  // that what is read next answers a request sent after this.
  virtual void ClearToolsAnswers();
  // A storage answer with the key of the item it answers; transports hand
  // such answers over here instead of writing them into the tools buffer.
  void StoreNVSAnswer(uint16_t key, const std::string &value);  // I/O thread
  // The answer to the storage read of `key`, never blocks. Keyed answers for
  // other items (late or repeated ones) are dropped. Answers without a key
  // (older firmware) come from the tools buffer: `count` bytes, or all that
  // is there when `count` is 0. False when there is nothing.
  bool ReadNVSAnswer(uint16_t key, uint32_t count, std::string &value);
  // Waits up to ReadTimeoutMs for received data; true when signalled.
  bool WaitReceiveEvent();
  // Pauses `ms` milliseconds on the platform clock.
  void WaitSleep(uint32_t ms);

  // ---- identity ------------------------------------------------------------
  void SetSerialNumberValue(uint32_t value);
  void SetCFUserID(uint8_t value);  // I/O thread
  uint8_t GetCFUserID() const { return FCFuserID; }
  void SetHardFeature(uint16_t value);
  void SetHardFeature32(uint32_t value);  // I/O thread
  void SetFirmwareVersionNumber(int32_t value);
  void SetESPFirmwareVersion(int32_t major, int32_t minor);
  void GetESPFirmwareVersion(int32_t &major, int32_t &minor) const;
  // Only recorded-file devices take a peer type from outside.
  void SetPeerType(TZor_PeerType value);
  // FPGA version "YYMMDD.CC"; derives the FPGA vendor.
  void SetFFPGAVersion(const std::string &text);
  // The 16-byte answer about the users connected to a network device.
  void SetUserConnected(const std::string &bytes);  // I/O thread
  // Decides cold or warm start from the first time-stamp frame in `bytes`.
  void CheckTimeStampBytes(const std::string &bytes);  // I/O thread
  // Null while the serial number is unknown; the caller owns the result.
  std::unique_ptr<TZor_DeviceInfo> GetDeviceInfo() const;

  // ---- awaited responses and pacing (transports call these after writing) --
  // On an ESP device, sets CmdResponse to the answer `cmd` provokes (nothing
  // for other devices). `logHead` starts the log line of a refused scrambler command.
  void AwaitResponseTo(const std::string &cmd, const std::string &logHead);  // I/O thread
  // Starts the pause the device needs after `cmd`; `usbLink` adds the short
  // pauses of ESP devices on USB. `logHead` starts the log line.
  void PaceNextCommand(const std::string &cmd, bool usbLink, const std::string &logHead);  // I/O thread

  // ---- error state ----------------------------------------------------------
  TZor_Result GetErrorCode() const;
  std::string GetErrorMessage() const;
  uint32_t GetSystemLastError() const;
  void SetError(TZor_Result code, const std::string &message);  // I/O thread
  // ErrorMessage := header + ": (" + code + ")=" + content.
  void SetSystemError(uint32_t code, const std::string &header, const std::string &content);
  // With the calling thread's last system error and its text.
  void SetSystemError(const std::string &header);
  void SetSystemErrorText(const platform::TZor_SysError &error, const std::string &header);

  // ---- saving received data --------------------------------------------------
  bool StartSaveBinaryData(const std::string &fileName);
  void SaveBinaryData(const char *bytes, size_t count);  // I/O thread
  bool StopSaveBinaryData();
  bool GetBinSaveRawData() const { return FBinSaveRawData; }

  // ---- properties ----------------------------------------------------------
  int GetLogId() const { return FLogId; }
  uint8_t GetBlobNumber() const { return FBlobNumber; }
  TCmdResponseType GetCmdResponse() const { return FCmdResponse; }
  void SetCmdResponse(TCmdResponseType value);  // I/O thread
  std::string GetLastCommand() const;
  void SetLastCommand(const std::string &command);  // I/O thread
  uint16_t GetLUMReportHeader() const { return FLUMReportHeader; }
  void SetLUMReportHeader(uint16_t value);  // I/O thread
  int32_t GetCalibFactorFloatToInt() const { return FCalibFactorFloatToInt; }
  // Refuses values of 0 or less.
  void SetCalibFactorFloatToInt(int32_t value);
  uint32_t GetCFBufferAmount() const { return FCFBufferAmount; }
  uint32_t GetPeerRepeatAddr() const { return FPeerRepeatAddr; }
  std::string GetCOMName() const;
  bool GetContextTool() const { return FContextTool; }
  // Reopens the port (if it was open) in the new mode.
  void SetContextTool(bool value);
  const std::string &GetDevicePath() const { return FDevicePath; }
  TZor_DeviceStartState GetDeviceStartState() const { return FDeviceStartState; }
  TZor_DeviceType GetDevType() const { return FDevType; }
  bool GetDoResetEvent() const { return FDoResetEvent; }
  void SetDoResetEvent(bool value);
  int32_t GetFirmwareVersionNumber() const { return FFirmwareVersionNumber; }
  uint8_t GetFlagVersion() const { return FFlagVersion; }
  bool GetForcedClose() const { return FForcedClose; }
  void SetForcedClose(bool value) { FForcedClose = value; }
  TZor_FPGAType GetFPGAtype() const { return FFPGAtype; }
  std::string GetFPGAVersion() const { return FFPGAVersion; }
  uint16_t GetHardFeature() const { return FHardFeature; }
  uint32_t GetHardFeature32() const { return FHardFeature32; }
  int GetMultiId() const { return FMultiId; }
  bool GetOpt7019() const { return FOpt7019; }
  void SetOpt7019(bool value) { FOpt7019 = value; }
  TZor_PeerType GetPeerType() const { return FPeerType; }
  bool GetReferenceClockError() const { return FReferenceClockError; }
  std::string GetUserConnected() const;
  bool GetDemoData() const { return FDemoData; }
  // Switching between real and demo data clears the receive buffer.
  void SetDemoData(bool value);
  std::string GetFlashVariables() const { return FFlashVariables; }
  int32_t GetStatusReadFlash() const { return FStatusReadFlash; }
  const TZor_FormatSettings &GetFormatSettings() const { return FFormatSettings; }
  void SetFormatSettings(const TZor_FormatSettings &value) { FFormatSettings = value; }
  bool GetLowLevelLog() const { return FLowLevelLog; }
  // Open transport, or unread bytes remain.
  bool GetPortIsOpened();
  // The transport is open: there is a session for commands to go out on.
  bool IsSessionOpen() const { return FPortIsOpened; }
  bool GetBlockingIO() const { return FBlockingIO; }
  bool GetHasCommandList() const { return FHasCommandList; }
  uint32_t GetReadTimeoutMs() const { return FReadTimeoutMs; }
  TCircularBuffer &GetReceiveBuffer() { return *FReceiveBuffer; }
  TCircularBuffer &GetToolsBuffer() { return *FToolsBuffer; }
  platform::TZor_Event &GetReceiveEvent() { return *FReceiveEvent; }
  uint32_t GetReceivedSec() const { return FReceivedSec; }
  // Reads (and so resets) the receive buffer's cleared flag.
  bool GetReceiveBufferCleared();
  bool GetSerialNumberRead() const { return FSerialNumberRead; }
  uint8_t GetRegisterID() const { return FUserID; }
  uint8_t GetUserID() const { return FCFuserID; }
  // Slots 1 to 4; any other value means none (255).
  void SetUserID(uint8_t value);
  bool IsUSBDevice() const { return FDevType == Zor_HID || FDevType == Zor_CDC; }
  void IncReportCounter() { ++FReportCounter; }
  uint32_t GetReportCounter() const { return FReportCounter; }

  // ---- stored data (flash, calibration, FHR; Zor_BaseDevice_Flash.cpp) ------
  // One step of the polled configuration-block read.
  void ReadFlash();
  bool SetCalibrationDataString(const std::string &text);
  bool SetFHRDataString(const std::string &text);
  // Payload of a 0x7902 report: next FHR slice, or the finished result text.
  void Check7902Report(const std::string &bytes, std::string &text);

 protected:
  // Transports set the state below directly.
  std::atomic<uint32_t> FCFBufferAmount{0};
  std::atomic<uint8_t> FCFuserID{255};
  std::string FDevicePath;
  TZor_DeviceType FDevType = Zor_Serial;
  std::atomic<uint32_t> FPeerRepeatAddr{0};
  std::atomic<TZor_PeerType> FPeerType{ptUnknown};
  std::atomic<uint32_t> FReportCounter{0};
  uint32_t FSerialNumberValue = 0xFFFFFFFF;
  // The error state; written from other threads through SetError.
  TZor_Result FErrorCode = Zor_No_Err;
  std::string FErrorMessage;
  uint32_t FSystemLastError = 0;
  std::string FFlashVariables;
  std::atomic<bool> FPortIsOpened{false};
  bool FForcedClose = false;
  bool FBlockingIO = false;
  bool FHasCommandList = false;
  uint32_t FReadTimeoutMs = 200;
  TZor_Read FRead;
  TZor_Write FWrite;

  // Guards the error state and the texts written from I/O threads.
  mutable std::recursive_mutex FStateLock;

  std::string DeviceText() const { return " Device=" + ToString(); }

 private:
  void SetCalibrationData(const std::array<double, FHRChannelMax> &values);
  void SetFHRData(const TFHRSettings &table);
  // Reads from the receive buffer, waiting once for the receive event when
  // BlockingIO is set and nothing was there.
  template <class TPeek>
  bool ReadBlocking(TPeek peek);
  bool ReadReceive(uint32_t count, std::string &bytes);
  bool ReadTools(uint32_t count, std::string &bytes);

  int FLogId;
  int32_t FCalibFactorFloatToInt = 1;
  std::atomic<TCmdResponseType> FCmdResponse{crt_none};
  uint32_t FDelayNextCmdMs = 0;         // under FStateLock
  uint32_t FDelayNextCmdStartTime = 0;  // ticks, under FStateLock
  std::atomic<uint16_t> FLUMReportHeader{0xFFFF};
  std::string FLastCommand;  // under FStateLock
  std::atomic<uint8_t> FBlobNumber{255};
  bool FContextTool = false;
  std::atomic<TZor_DeviceStartState> FDeviceStartState{ds_unknown};
  bool FReferenceClockError = false;
  uint8_t FUserID = 255;
  int32_t FFirmwareVersionMajor = -1;
  int32_t FFirmwareVersionMinor = -1;
  int32_t FFirmwareVersionNumber = 0;
  uint8_t FFlagVersion = 0;
  int FMultiId;
  std::atomic<uint16_t> FHardFeature{0};
  std::atomic<uint32_t> FHardFeature32{0};
  bool FOpt7019 = false;
  std::string FUserConnected;  // under FStateLock
  bool FDemoData = false;
  bool FLowLevelLog = false;
  TZor_CommandQueue *FFHRSender = nullptr;
  int32_t FFHRReadCount = 0;
  int32_t FFHRReadCountLast = -1;
  TFHRSettings FFHRReadSettings;
  uint8_t FReadFlashBlockSize = 0;
  int32_t FStatusReadFlash = 0;
  uint32_t FTickReadFlash = 0;
  TZor_FormatSettings FFormatSettings;
  TZor_FPGAType FFPGAtype = ft_unknown;
  std::string FFPGAVersion;
  bool FDoResetEvent;
  std::unique_ptr<platform::TZor_Event> FOwnReceiveEvent;
  platform::TZor_Event *FReceiveEvent;
  std::atomic<uint32_t> FReceivedSec{0};
  std::unique_ptr<TCircularBuffer> FReceiveBuffer;
  bool FSerialNumberRead = false;
  std::unique_ptr<TCircularBuffer> FToolsBuffer;
  struct TNVSAnswer {
    uint16_t Key;
    std::string Value;
  };
  std::mutex FNVSAnswerLock;
  std::deque<TNVSAnswer> FNVSAnswers;  // oldest first, under FNVSAnswerLock
  std::mutex FBinLock;                 // the data stream is written by I/O threads
  std::ofstream FBinDataStream;
  bool FBinSaveRawData = false;
};

}  // namespace zor
