// The device object of one of the maker's devices on a USB cable. Two
// transports share it, chosen by the device type:
// - Zor_HID: the object opens the HID node itself, frames commands into
//   output reports and takes received data out of input reports; in stream
//   mode a THIDThread reads continuously into the receive buffer.
// - Zor_CDC: a virtual COM port, read and written by a TZor_UsbThread that
//   up to four device objects of one physical device share (one per user
//   slot); the CDC operations connect the object to that thread, leave it and
//   supervise it (Zor_UsbDevice_CDC.cpp). RecoverFromUSBError brings a broken
//   stream back for both transports.
//
// The identity of a USB device is its serial number string; a nick name may
// follow the number after an underscore.
//
// Threads: the object is used from the caller's thread. In stream mode the
// HID thread calls HIDReadReport and HIDWriteReport on its own thread; the
// report buffers and counters they use are touched by nothing else while the
// thread runs, and the flags callers read are atomic. The USB I/O thread
// calls the setters marked "I/O thread" while it holds its own lock; the
// object never holds its state lock while it calls into the thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "device/Zor_BaseDevice.h"
#include "platform/Zor_Hid.h"
#include "platform/Zor_Serial.h"
#include "platform/Zor_Sys.h"

namespace zor {

class THIDThread;
class TZor_UsbThread;

// Registration state of a CDC device with the device firmware.
enum TLoginState : uint8_t { ls_waitBufferCleared = 0, ls_waitVersion, ls_registered };
std::string LoginStateToText(unsigned state);

class TZor_UsbDevice : public TZor_BaseDevice {
 public:
  // Milliseconds one read of the HID thread waits, so it sees termination
  // and new commands even when nothing cancels the read.
  static constexpr uint32_t HIDReadSliceMs = 100;
  // Longest a single output report may take to go out.
  static constexpr uint32_t HIDWriteTimeoutMs = 500;
  // Longest the tools-mode stop waits for queued commands to go out.
  static constexpr int StopDrainMs = 1000;

  TZor_UsbDevice(int aLogId, int aMultiId, platform::TZor_Event *aReceiveEvent, bool aDoResetEvent);
  TZor_UsbDevice(int aLogId, int aMultiId, platform::TZor_Event *aReceiveEvent, bool aDoResetEvent,
                 TZor_DeviceType aDevType, const std::string &aDevicePath, uint16_t aVid, uint16_t aPid,
                 const std::string &aSerialNumber, const std::string &aProduct = {},
                 const std::string &aManufacturer = {});
  TZor_UsbDevice(int aLogId, int aMultiId, platform::TZor_Event *aReceiveEvent, bool aDoResetEvent,
                 const TZor_UsbDevice &aClone);
  ~TZor_UsbDevice() override;

  // ---- overrides -------------------------------------------------------------
  uint32_t GetSerialNumberValue() override;
  bool CheckDeviceClosed() override;
  uint32_t GetPendingCmdsCount() override;
  void SetReadTimeoutMs(uint32_t value) override;
  void DeleteCommands() override;
  void QuitError() override;
  void ClosePort() override;
  bool OpenPort(std::string &errorText) override;
  bool DeviceRead(uint32_t count, std::string &text) override;
  bool DeviceWrite(const std::string &command) override;
  bool ToolsRead(uint32_t count, std::string &text) override;
  void ClearToolsAnswers() override;
  bool IsEqual(const TZor_BaseDevice *other) const override;
  std::string ToString() const override;
  // A CDC device sharing an I/O thread keeps one pause with all users of the
  // physical device: the thread owner's.
  uint32_t GetDelayNextCmdMs() override;
  void SetDelayNextCmdMs(uint32_t ms) override;
  bool ReadFHRData(TZor_CommandQueue *sender) override;
  bool PeekAnsi(uint32_t count, std::string &bytes) override;
  bool PeekChar(uint8_t &value) override;
  bool PeekData(uint32_t count, std::string &text) override;

  // ---- identity ----------------------------------------------------------------
  const std::string &GetSerialNumber() const { return FSerialNumber; }
  const std::string &GetNickName() const { return FNickName; }
  // The serial number up to its first "_" (the whole text when "_" is first).
  std::string GetSerialNumberPart() const;
  const std::string &GetProductString() const { return FProductString; }
  const std::string &GetManufacturerString() const { return FManufacturerString; }
  uint16_t GetVid() const { return FVid; }
  uint16_t GetPid() const { return FPid; }
  bool IsBootLoader() const;
  // The name shown to the user: nick name, else "USB: " + serial number
  // (or the device node); a boot loader adds its product string.
  std::string GetPortDisplayName() const;
  std::string ToUserString() const;
  // Enumerated with a serial number.
  bool IsValidUsbState() const { return !FSerialNumber.empty(); }

  // ---- state -------------------------------------------------------------------
  bool GetHIDColdfireCleared() const { return FDevType == Zor_HID && FHIDColdfireCleared; }
  bool GetHIDDoppelterString() const { return FDevType == Zor_HID && FHIDDoppelterString; }
  // Command bytes per output report (the report ID not counted); 0 while closed.
  uint32_t GetHIDOutputReportByteLength() const;
  // CDC: no I/O thread, or its port is closed.
  bool GetHandleClosed() const;
  TLoginState GetLoginState() const { return FLoginState; }
  void SetLoginState(TLoginState state);
  bool GetMultiUSB() const { return FMultiUSB; }
  void SetMultiUSB();
  bool GetTooManyUsers() const { return FTooManyUsers; }
  void SetTooManyUsers();
  void SetBufferOverflow();
  bool GetStopSent() const { return FStopSent; }
  void SetStopSent(bool value) { FStopSent = value; }
  bool GetRecoverNeeded() const { return FRecoverNeeded; }
  void SetCFBufferAmount(uint32_t value);  // I/O thread; confirms a resumed stream
  void SetPeerRepeatAddr(uint32_t value) { FPeerRepeatAddr = value; }
  void ReportHardFeature32(uint32_t value) { SetHardFeature32(value); }
  bool GetIsReconnected() const { return FisReconnected; }
  uint32_t GetReconnectTimeout() const { return FReconnectTimeout; }
  // Tests shorten the wait for the confirmation of a resumed stream.
  void SetReconnectTimeout(uint32_t ms) { FReconnectTimeout = ms; }

  // ---- CDC transport, called by the USB I/O thread ----------------------------------
  // Serial-line settings of the thread's port (queues, read and write timeouts).
  bool SetBufferSize(platform::TZor_SerialPort &port);
  bool SetTimeouts(platform::TZor_SerialPort &port);
  void SetDeviceResetted();                                         // I/O thread
  void SetReconnectFailed(bool deviceRestarted, bool bufferCleared);  // I/O thread
  // The I/O thread this object shares; nullptr when not connected.
  std::shared_ptr<TZor_UsbThread> GetUsbThread() const { return FUsbThread; }

  // ---- HID transport, called by the HID thread ------------------------------------
  // One message out of one or more input reports: a character with the
  // number of valid data bytes, then the data bytes (valid ones first).
  // ioTimeout/ioCancelled: nothing arrived; ioError: the read failed.
  platform::TZor_IoResult HIDReadReport(std::string &text);
  // The same, waiting up to `firstWaitMs` for the first report.
  platform::TZor_IoResult HIDReadReport(std::string &text, uint32_t firstWaitMs);
  // One output report: `chunk` holds the command bytes of one report.
  bool HIDWriteReport(const std::string &chunk);

 private:
  void Construct(TZor_DeviceType aDevType, const std::string &aDevicePath, uint16_t aVid, uint16_t aPid,
                 const std::string &aSerialNumber, const std::string &aProduct, const std::string &aManufacturer);
  bool OpenError(const std::string &message, std::string &errorText);
  bool SendStopCmd();
  void SetDeviceNotConnected();

  bool HIDOpen();
  void HIDClose();
  void HIDStartThread();
  // Closes the reader thread and the handle for a recovery.
  void HIDRecoverClose();
  void HIDCloseThread();
  platform::TZor_IoResult HIDReadOneReport(std::string &report, uint32_t timeoutMs);
  platform::TZor_IoResult HIDReadOneReportTraced(std::string &report, uint32_t timeoutMs);
  // A further report of a message that spans several.
  platform::TZor_IoResult HIDReadContinuation(std::string &report);
  bool HIDRead(uint32_t count, std::string &text);
  bool HIDWrite(const std::string &command);

  // CDC transport and recovery (Zor_UsbDevice_CDC.cpp).
  bool CDCOpen(bool clearBuffer);
  // The rest of OpenPort once the thread is there: the first commands.
  bool CDCOpenPortFinish(std::string &errorText);
  bool CDCClose(bool sendStop);
  bool CDCWrite(const std::string &command);
  bool CDCRead(uint32_t count, std::string &text);
  bool CDCCheckThreadEnd();
  bool CDCToolsRead(uint32_t count, std::string &text);
  // Frees the thread: out of the global list, this object's reference dropped.
  void CDCFreeThread();
  void SetUsbThread(std::shared_ptr<TZor_UsbThread> thread);
  // Leaves the thread: the thread forgets this object; a thread nobody else
  // uses is freed (after waiting for its end when it still runs).
  void CDCLeaveThread();
  // Waits (in 100 ms steps, at most `steps` + 1 of them) until the thread ended.
  void CDCWaitThreadEnd(int steps);
  // Steps of 100 ms the close waits: longer for ESP devices, which answer slower.
  int CDCCloseWaitSteps() const;
  // The thread's owner, when it is another object.
  TZor_UsbDevice *OtherOwner() const;
  // The registration command: for the assigned slot, else the requested one.
  std::string RegisterCommand() const;
  // The command that resumes the stream after a recovery; empty: none.
  std::string ResumeCommand(bool reconnectFailed);
  void LogTimeouts();
  // A peek that, in tools mode on a CDC device, reads once from the port when
  // nothing is there yet.
  template <class TPeek>
  bool PeekWithToolsRead(TPeek peek);
  void RecoverFromUSBError();
  bool IsDevicePresent();

  TLoginState FLoginState = ls_waitBufferCleared;
  std::unique_ptr<platform::TZor_HidPort> FDevHandle;
  std::string FNickName;
  std::string FSerialNumber;
  std::string FProductString;
  std::string FManufacturerString;
  uint16_t FPid = 0;
  uint16_t FVid = 0;
  std::atomic<bool> FBufferOverflow{false};
  std::atomic<bool> FTooManyUsers{false};
  std::atomic<bool> FMultiUSB{false};
  std::atomic<bool> FStopSent{false};
  std::atomic<bool> FHIDColdfireCleared{false};
  std::atomic<bool> FHIDDoppelterString{false};
  bool FHIDFullReport = false;
  bool FHIDCountersZero = false;  // both counters of the last report read are 0
  std::unique_ptr<THIDThread> FHIDThread;
  uint32_t FInputReportByteLength = 0;
  uint32_t FOutputReportByteLength = 0;
  uint16_t FSaveColdfireVariable2 = 0xFFFF;
  std::string FReadBufferHID;
  std::string FCommandBuffer;
  std::string FletzterDebugStr;
  // The system error of the last failed HID read (1167: the device is gone).
  std::atomic<uint32_t> FLastReadError{0};
  std::atomic<bool> FRecoverNeeded{false};
  std::atomic<bool> FSuppressErrorDisconnected{false};
  bool FSuppressErrorOpen = false;
  std::atomic<bool> FCloseRequested{false};
  bool FFirstCommand = false;

  // CDC and recovery.
  // Changed only through SetUsbThread, which keeps both in step.
  std::shared_ptr<TZor_UsbThread> FUsbThread;
  std::atomic<TZor_UsbThread *> FUsbThreadOfOwner{nullptr};
  uint32_t FNoAnswerCounter = 0;
  std::chrono::system_clock::time_point FNoAnswerTime{};  // epoch: none
  bool FRecoverSlave = false;
  std::atomic<bool> FDeviceResetted{false};
  bool FSuppressRecoverClose = false;
  bool FRecoverIsRunning = false;
  std::atomic<bool> FisReconnected{false};
  uint32_t FReconnectTimeout = 7000;
  std::atomic<uint32_t> FReconnectedTick{0};
};

}  // namespace zor
