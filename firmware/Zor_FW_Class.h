// The firmware update engine: one object per main window. It opens the
// selected device for each action (update, configuration read and write,
// partition switch, service functions), runs the steps, closes the device
// again and returns an integer result code (Uploader_Common.h). It reaches
// its front end only through the message and progress callbacks and the
// application-services object, so the window, the command line and the tests
// drive the same engine.
//
// The implementation is split by topic:
//   Zor_FW_Class.cpp     life cycle, device ownership, callbacks, services
//   Zor_FW_Session.cpp   open/close, write/read, version, access checks
//   Zor_FW_Coldfire.cpp  ColdFire programming and service functions
//   Zor_FW_ESP.cpp       ESP image transfer and partition switch
//   Zor_FW_Config.cpp    configuration read and write
//   Zor_FW_Reset.cpp     reset, re-enumeration and device-change handlers
//   Zor_FW_Update.cpp    the firmware update as a whole
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/Zor_BaseDevice.h"
#include "firmware/Uploader_Common.h"
#include "firmware/Zor_FlashVariables.h"
#include "platform/Zor_Sys.h"
#include "usb/Zor_LocalDevice.h"

namespace zor {

class TZor_ReportDevice;
class TZor_NetworkDevice;
class TSRecordImage;
struct TSRecord;

// What the engine needs from the application around it. Every call happens
// on the engine's thread, inside an action. The defaults do nothing and
// decline every question, so an engine without a front end never blocks.
class TZor_AppServices {
 public:
  virtual ~TZor_AppServices() = default;
  // Lets the front end handle what is pending (window messages, device-change
  // notifications, the Cancel button) during long waits.
  virtual void ProcessMessages() {}
  virtual void ShowSplash(const std::string & /*text*/) {}
  virtual void HideSplash() {}
  // Modal Yes/No question; true for Yes.
  virtual bool Confirm(const std::string & /*text*/) { return false; }
  // Modal notice that only needs an OK.
  virtual void Notify(const std::string & /*text*/) {}
  virtual void Beep() {}
  // Asks for a device password; false when the user cancelled.
  virtual bool AskLogin(std::string & /*password*/) { return false; }
};

// Runs a step when the scope ends, also when an exception passes.
template <class F>
class TZor_OnExit {
 public:
  explicit TZor_OnExit(F f) : FStep(std::move(f)) {}
  ~TZor_OnExit() { FStep(); }
  TZor_OnExit(const TZor_OnExit &) = delete;
  TZor_OnExit &operator=(const TZor_OnExit &) = delete;

 private:
  F FStep;
};

// Re-enumeration state of a reset USB device.
enum TZor_WaitState : uint8_t { waitNotSet = 0, waitDetachAttach, waitDetachedAttach, waitAttached };

// What the engine reads from a USB device object; empty for other devices.
struct TZor_UsbIdentity {
  bool Valid = false;  // the device is a USB device object
  uint16_t Vid = 0;
  uint16_t Pid = 0;
  std::string SerialNumber;      // USB serial number text
  std::string SerialNumberPart;  // boot-loader version part of it ("V1.0")
  std::string DevicePath;
  std::string PortDisplayName;
  bool IsBootLoader = false;
  bool UsbStateValid = true;
  bool HIDColdfireCleared = false;  // a read delivered only a null string
  bool HIDDoppelterString = false;  // a read delivered the previous answer again
};

// Enumerates the maker's USB devices; a non-empty error text is shown.
using TZor_UsbEnumerator = std::function<TZor_LocalDeviceList(int logId, std::string &errorText)>;

class TZorFirmwareClass {
 public:
  static constexpr int MaxLengthNickName = 40;

  explicit TZorFirmwareClass(int aLogId);
  virtual ~TZorFirmwareClass();
  TZorFirmwareClass(const TZorFirmwareClass &) = delete;
  TZorFirmwareClass &operator=(const TZorFirmwareClass &) = delete;

  // ---- front end ---------------------------------------------------------------
  void SetOnMessage(TNotifyMessage handler) { FOnMessage = std::move(handler); }
  void SetOnProgress(TNotifyProgress handler) { FOnProgress = std::move(handler); }
  // Not owned; nullptr restores the silent default.
  void SetAppServices(TZor_AppServices *services);
  TZor_AppServices &GetAppServices() const { return *FAppServices; }
  void DoMessage(const std::string &text, TMessageType mType);
  void DoProgress(TProgressType kind, int64_t value, const std::string &unitText = std::string());

  // ---- current device ------------------------------------------------------------
  TZor_BaseDevice *GetBaseDevice() const { return FBaseDevice; }
  // Not owned (the main window or the enumeration list holds it).
  void SetBaseDevice(TZor_BaseDevice *device);
  // The engine owns the device from now on (a network device the window
  // created, or a USB device found again after a reset).
  void SetOwnedDevice(std::unique_ptr<TZor_BaseDevice> device);
  static std::string DeviceDisplayName(TZor_BaseDevice *device);
  // Installs how USB devices are enumerated (the USB layer, a test).
  void SetUsbEnumerator(TZor_UsbEnumerator enumerator) { FUsbEnumerator = std::move(enumerator); }

  void ClearFlashVariables();
  void ClearVersionInfo();
  void ClearAll();
  void SetCryptPassword(const std::string &value) { FCryptPassword = value; }

  // ---- properties ------------------------------------------------------------------
  bool GetLowLevelLog() const { return FLowLevelLog; }
  void SetLowLevelLog(bool value) { FLowLevelLog = value; }
  bool GetCancelUpdate() const { return FCancelUpdate; }
  void SetCancelUpdate(bool value) { FCancelUpdate = value; }
  bool GetReportExcludedAddresses() const { return FReportExcludedAddresses; }
  void SetReportExcludedAddresses(bool value) { FReportExcludedAddresses = value; }
  bool GetZustandNachReset() const { return FZustandNachReset; }
  void SetZustandNachReset(bool value) { FZustandNachReset = value; }

  int GetFirmwareVersion() const { return FFirmwareVersion; }
  const std::string &GetFPGAVersion() const { return FFPGAVersion; }
  int GetFWMajor() const { return FFWMajor; }
  int GetFWMinor() const { return FFWMinor; }
  const std::string &GetFWVersionString() const { return FFWVersionString; }
  const std::string &GetVersionDate() const { return FVersionDate; }
  uint16_t GetVersionFeature() const { return FVersionFeature; }
  const std::string &GetVersionFeatureString() const { return FVersionFeatureString; }
  const std::string &GetVersionIPString() const { return FVersionIPString; }
  uint32_t GetVersionSerialNumber() const { return FVersionSerialNumber; }
  const std::string &GetVersionString() const { return FVersionString; }
  const TZor_FlashVariables &GetFlashVariables() const { return FFlashVariables; }
  const std::string &GetFlashNewIP() const { return FFlashNewIP; }
  const std::string &GetFlashNewHost() const { return FFlashNewHost; }
  const std::string &GetFlashOldIP() const { return FFlashOldIP; }
  TZor_WaitState GetWaitState() const { return FWaitState; }
  TZor_WaitState GetWaitStatePort() const { return FWaitStatePort; }
  const std::string &GetConnectedUserString() const { return FConnectedUserString; }
  const std::string &GetOpenErrorMsg() const { return FOpenErrorMsg; }
  int GetDeviceResult() const { return FDeviceResult; }
  int GetUsbDeviceCount();
  TZor_BaseDevice *GetUsbDevice(int index) const;

  // Whether DoUpdate reads a programmed ColdFire image back (default) and
  // whether the last DoUpdate found the image on the device.
  bool GetVerifyUpdate() const { return FVerifyUpdate; }
  void SetVerifyUpdate(bool value) { FVerifyUpdate = value; }
  bool GetUpdateVerified() const { return FUpdateVerified; }

  // ---- actions ---------------------------------------------------------------------
  int DoUpdate(const std::string &filename, bool updateBootloader, uint32_t resetSerialNumber);
  int ReadConfig();
  int SetFlashVariables(const TZor_FlashVariables &flashVariables, bool doReset);
  int GetDeviceFirmwareVersionAndFlash(bool forceReadFlash, std::string &err);
  int SwitchFactoryPartition();
  int DoCopyFlashToRAM();
  int TestFunction(int WhatToDo, const std::string &Option);

  // ---- questions about a device ----------------------------------------------------
  bool IsDeviceBootloader();
  bool IsDeviceBootloader(TZor_BaseDevice *item);
  bool IsDeviceOldBootloader(TZor_BaseDevice *item);
  bool IsUniqueSerialNumber(uint32_t serialNumber) const;
  // An action runs. The front end's message pump may run during its waits; an
  // action started from there is refused (fwr_CommandDenied).
  bool IsBusy() const { return FActionDepth > 0; }
  bool CheckLogin() const;
  int CheckRemoteAccess();

  // ---- USB enumeration and device-change notifications -------------------------------
  int EnumUsbDevices();
  void UsbAttached(const std::string &name);
  void UsbDetached(const std::string &name);
  void PortAttached(const std::string &name);
  void PortDetached(const std::string &name);

 protected:
  // ---- services and ownership (Zor_FW_Class.cpp) ------------------------------------
  void ProcessMessages() { FAppServices->ProcessMessages(); }
  // Waits `ms`, or until `event` is signalled, in short slices with the
  // front end's message processing between them, so a window stays
  // responsive during the device's pauses. True when the event came.
  bool PauseProcessing(uint32_t ms, platform::TZor_Event *event = nullptr);
  void Log(const std::string &text) const;
  void LogError(const std::string &text) const;
  void LogStars() const;  // 50 asterisks in the log
  void MessageStars();    // 61 asterisks as an mtInfo message
  // What the engine knows of a USB device object; overridden by tests.
  virtual TZor_UsbIdentity UsbIdentity(TZor_BaseDevice *device) const;
  static bool IsNetworkDevice(const TZor_BaseDevice *device);
  static TZor_NetworkDevice *AsNetworkDevice(TZor_BaseDevice *device);
  static bool IsESP(const TZor_BaseDevice *device);
  static bool IsColdfire(const TZor_BaseDevice *device);
  // Makes `device` current without changing the display name; ownership as
  // with SetOwnedDevice. A replaced engine-owned device stays alive until the
  // outermost action has ended, since callers may still hold it.
  void ReplaceCurrentDevice(std::unique_ptr<TZor_BaseDevice> device);
  void ReleaseRetiredDevices();
  // Counts nested actions; retired devices are freed when the last ends.
  // Public actions never call each other, so a scope opened while another
  // is open comes from the front end re-entering during a wait: the action
  // must return at once (`Refused`, then `RefuseBusy`).
  class TActionScope {
   public:
    explicit TActionScope(TZorFirmwareClass &engine);
    ~TActionScope();
    TActionScope(const TActionScope &) = delete;
    TActionScope &operator=(const TActionScope &) = delete;
    bool Refused() const { return FRefused; }

   private:
    TZorFirmwareClass &FEngine;
    bool FRefused;
  };
  // Reports the refused action; fwr_CommandDenied.
  int RefuseBusy(const char *action);

  // ---- device session (Zor_FW_Session.cpp) ------------------------------------------
  int OpenDevice(TZor_BaseDevice *device, bool ToolsMode, bool showMessages);
  void CloseDevice(TZor_BaseDevice *device, bool force);
  // Commands may go out on `device`: no command is sent outside a session.
  static bool HasSession(const TZor_BaseDevice *device);
  // Gives a network device the login (FCryptPassword) it sends when opened
  // for an action that needs it.
  void HandOverLogin(TZor_BaseDevice *device);
  int WriteDevice(TZor_BaseDevice *device, const std::string &command);
  // Why a write failed, for the user: the device's own words when it is gone
  // (the cable pulled), the result's text otherwise.
  static std::string WriteFailureText(const TZor_BaseDevice *device, int result);
  void ReadDevice(TZor_BaseDevice *device, uint32_t address, std::string &data, uint32_t length);
  void ReadStatus(TZor_BaseDevice *device, uint8_t sub, std::string &data, uint32_t length);
  int WaitCmdsSend(TZor_BaseDevice *device);
  void ClearDeviceOpen();
  void ReadUntilEmpty();
  TZor_Result NextReport(std::string &text);
  void FreeReportDevice();
  int GetDeviceFirmwareVersion_intern(TZor_BaseDevice *device, std::string &err);
  int CheckFirmwareVersionCF(TZor_BaseDevice *device, bool showMessages);
  int CheckConnectedUser();
  // Helpers of the two above.
  int ReadVersionReports(TZor_BaseDevice *device, std::string &err);
  void TakeVersion(TZor_BaseDevice *device, const std::string &report);
  // Reports a version report that could not be read; the read error code.
  int InvalidVersionReport();
  std::string ConnectedUserName(const std::string &slot, bool &isUser);

  // ---- ColdFire programming (Zor_FW_Coldfire.cpp) --------------------------------------
  int WriteCode(TZor_BaseDevice *device, uint32_t address, const std::string &data, uint32_t flag);
  int ClearCheckSumRange();
  // Writes one record to be sent to device address `target`; reports its own failure.
  using TRecordSender = std::function<int(const TSRecord &record, uint32_t target)>;
  // The record loop of both transmissions: cancel requests, malformed and
  // rejected records, progress; each record to be sent goes to `send`.
  int TransmitRecords(TSRecordImage &image, const TRecordSender &send);
  int TransmitCode(TZor_BaseDevice *device, const std::string &filename, bool bootloader);
  int TransmitSystemCode();
  // The three values are 4-byte big-endian texts.
  int InitSystemCode(TZor_BaseDevice *device, const std::string &sourceStart, const std::string &sourceEnd,
                     const std::string &destination);
  int CheckProgrammingStatus(TZor_BaseDevice *device);
  // Logs a 4-byte status word and shows the failure it names; true for one.
  bool ShowFailedStatus(const std::string &status);
  // After the update, on the restarted device: the programmer's status word
  // and the flash read back against the image, streamed again from the file.
  int VerifyFlash(const std::string &filename, bool bootloader);
  int CompareFlash(TZor_BaseDevice *device, const std::string &filename, bool bootloader);
  // ReadDevice, asked once more when the answer is missing or short.
  void ReadBack(TZor_BaseDevice *device, uint32_t address, std::string &data, uint32_t length);
  // Sends the system code, tells it to copy the staged flash range
  // first..last and starts it with `startCommand`.
  int ProgramFlash(TZor_BaseDevice *device, uint32_t first, uint32_t last, const std::string &startCommand);
  int WriteFlashCF(uint32_t length);
  // Branches of the test panel.
  int TestMemoryRead(const std::string &option, int times);
  int TestBootloader(uint32_t serialNumber);

  // ---- ESP transfer (Zor_FW_ESP.cpp) -----------------------------------------------------
  int TransmitESPCode(TZor_BaseDevice *device, const std::string &filename);
  // Drops a "buffer cleared" mark from before the start or decrypt command.
  void ClearESPReadyMark(TZor_BaseDevice *device);
  int WaitESPReady(TZor_BaseDevice *device);

  // ---- configuration (Zor_FW_Config.cpp) -------------------------------------------------
  // Reads the configuration the way the device's family and firmware need;
  // a ColdFire block is decoded into FFlashVariables.
  int ReadFlash(TZor_BaseDevice *device);
  int ReadFlashCF(TZor_BaseDevice *device);
  // Both ESP reads: the integer items as `readIntegers` reads them, then the strings.
  int ReadFlashESPItems(TZor_BaseDevice *device, const std::string &name,
                        const std::function<int(bool usb)> &readIntegers);
  int ReadFlashESP(TZor_BaseDevice *device);
  int ReadFlashESPAlt(TZor_BaseDevice *device);
  int WriteFlashESP(TZor_BaseDevice *device);
  int WriteFlashCFCmd();
  int NVSReadInteger(TZor_BaseDevice *device, uint8_t n, uint32_t &value);
  int NVSReadString(TZor_BaseDevice *device, uint8_t n, std::string &text);
  int NVSWriteInteger(TZor_BaseDevice *device, uint8_t n, uint32_t value);
  int NVSWriteString(TZor_BaseDevice *device, uint8_t n, const std::string &text);
  int NVSClear(TZor_BaseDevice *device);
  // Records where a network device is expected after the reset that makes
  // `newRecord` active (FFlashNewIP, FFlashNewHost); when the write failed
  // (`written` false) also its present address (FFlashOldIP).
  void RecordNewAddress(const TZor_FlashVariables &oldRecord, const TZor_FlashVariables &newRecord,
                        bool written);
  bool DecodeCFBlock();
  std::string BufferText() const;

  // ---- reset and reconnection (Zor_FW_Reset.cpp) ---------------------------------------------
  static bool IsZorUsbName(const std::string &name);
  // `name` (a device-change name) carries the identity of the opened device.
  bool NamesOpenedUsbDevice(const std::string &name) const;
  bool WaitEvent(int count);
  int WaitDeviceReady(uint32_t resetSerialNumber, bool resetFailed);
  // The two halves of the wait: pings for a network device, device-change
  // notifications and re-enumeration for a USB device.
  int WaitNetworkDeviceReady(TZor_NetworkDevice *net, bool resetFailed);
  // How a network device left after a reset: it fell silent, it was back at
  // once without its old session, or it kept answering.
  enum TDeviceDown : uint8_t { ddSilent, ddRestarted, ddStillUp };
  TDeviceDown WaitNetworkDeviceDown(TZor_NetworkDevice *net);
  // After the silence: 0 when it is back from a restart, -9 when it does not
  // answer at any address it may use, -16 when it never restarted.
  int WaitNetworkDeviceBack(TZor_NetworkDevice *net);
  // The address that answered first; empty when none did, with the
  // addresses in `tried`.
  std::string WaitForPingAnswer(TZor_NetworkDevice *net, std::string &tried);
  bool PingUntilAnswer(const std::string &ip, int tries);
  // Whether the device still holds the session it had before its reset.
  bool OldSessionAlive(TZor_NetworkDevice *net);
  int WaitUsbDeviceReady(TZor_BaseDevice *device, uint32_t resetSerialNumber);
  void ArmUsbWait();
  // May replace `device` (and the current device) when a USB device comes back.
  int DoReset(TZor_BaseDevice *&device, uint32_t resetSerialNumber);
  std::unique_ptr<TZor_BaseDevice> GetNewUsbItem(uint32_t serialNumber);

  // ---- update sequence (Zor_FW_Update.cpp) -----------------------------------------------
  // Refuses a file that does not suit the device's family, before the device is touched.
  int CheckFirmwareFile(TZor_BaseDevice *device, const std::string &filename, bool updateBootloader);
  int DoUpdateSteps(const std::string &filename, bool updateBootloader, uint32_t resetSerialNumber,
                    uint32_t deviceSerial, bool &resetOnExit);
  int DoUpdateTimerPatch(TZor_BaseDevice *device);
  int DoUpdateESP(TZor_BaseDevice *device, const std::string &filename);
  int DoUpdateColdfire(TZor_BaseDevice *device, const std::string &filename, bool updateBootloader);
  int DoUpdateCompletion(bool wasBootloader, bool updateBootloader, uint32_t resetSerialNumber,
                         uint32_t deviceSerial, bool &resetOnExit);
  void DoUpdateExit(int result, bool resetOnExit, uint32_t resetSerialNumber);

  // ---- fields ----------------------------------------------------------------------------
  int FLogId;
  bool FLowLevelLog = false;
  std::string FConnectedUserString;
  std::string FUsbName;
  std::string FDevicePath;
  platform::TZor_Event FWaitEvent{false};
  TZor_WaitState FWaitState = waitNotSet;
  TZor_WaitState FWaitStatePort = waitNotSet;
  // A removal of the opened device (interface, port) seen while no wait was
  // armed yet, e.g. while the reset command was still leaving; the wait then
  // starts from "it left" instead of missing the notification. OpenDevice
  // clears them.
  bool FUsbDetachSeen = false;
  bool FPortDetachSeen = false;
  TNotifyMessage FOnMessage;
  TNotifyProgress FOnProgress;
  uint32_t FCodeCount = 0;
  bool FCancelUpdate = false;
  uint32_t FminAdr = 0xFFFFFFFF;
  uint32_t FmaxAdr = 0;
  std::string FOpenErrorMsg;
  bool FReportExcludedAddresses = false;
  TZor_LocalDeviceList FEnumUsbList;
  bool FHaveUsbList = false;
  std::string FFlashVariablesBuffer;  // 80 bytes once created
  int FDeviceResult = 0;
  std::string FCryptPassword;
  std::string FanzeigeName;
  uint16_t FUseServerPort = 0;
  bool FZustandNachReset = false;
  bool FResetBoth = false;
  bool FVerifyUpdate = true;
  bool FUpdateVerified = false;
  int FFWMajor = -1;
  int FFWMinor = -1;
  std::string FFWVersionString;
  std::string FVersionFeatureString;
  int FFirmwareVersion = -1;
  std::string FFPGAVersion;
  std::string FVersionDate;
  uint16_t FVersionFeature = 0;
  std::string FVersionIPString;
  uint32_t FVersionSerialNumber = 0xFFFFFFFF;
  std::string FVersionString;
  TZor_BaseDevice *FBaseDevice = nullptr;
  TZor_FlashVariables FFlashVariables;
  std::string FFlashNewIP;
  std::string FFlashNewHost;
  // Where else to look for the device when it does not answer under
  // FFlashNewIP or FFlashNewHost: a failed configuration write may or may not
  // have changed its address. Empty when the outcome is known.
  std::string FFlashOldIP;
  std::unique_ptr<TZor_ReportDevice> FreportDevice;

 private:
  TZor_AppServices FDefaultServices;
  TZor_AppServices *FAppServices = &FDefaultServices;
  TZor_UsbEnumerator FUsbEnumerator;
  std::unique_ptr<TZor_BaseDevice> FOwnedDevice;  // the current device, when the engine owns it
  std::vector<std::unique_ptr<TZor_BaseDevice>> FRetiredDevices;
  int FActionDepth = 0;
};

}  // namespace zor
