// What both front ends do around the engine's actions: the preparation
// (version and configuration read, network check, login), the checks before a
// firmware update, the version read after it and following a network device
// that moved after a configuration change. It reports through the engine's
// message callback and asks through the engine's application services; it
// prints nothing of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "firmware/Zor_FW_Class.h"
#include "firmware/Zor_FlashVariables.h"

namespace zor::session {

inline constexpr const char *VersionReadFailedText = "Version read after the update failed";
inline constexpr const char *ConfigReadFailedText = "Configuration read failed";
inline constexpr uint16_t NoHardFeature = 0xFFFF;

// The hardware feature word a firmware file is built for, read from its name
// (without directory); NoHardFeature when the name tells none.
uint16_t GetHardFeatureFromFileName(const std::string &fileName, int logId);

class TZor_Session {
 public:
  TZor_Session(TZorFirmwareClass &engine, int logId);

  TZorFirmwareClass &Engine() const { return FEngine; }
  // What counts as the user's Cancel between the steps; by default the
  // engine's cancel flag, which the front end sets from its message pump.
  void SetCancelCheck(std::function<bool()> check) { FCancelCheck = std::move(check); }
  bool Canceled() const { return FCancelCheck ? FCancelCheck() : FEngine.GetCancelUpdate(); }

  // Before an action on the current device: version and configuration read,
  // the network check and the login. 0 or the engine's result code; a
  // reference clock error is reported by the read and does not stop.
  int PrepareAction(bool forceReadFlash = false);
  // "Action via network not supported" when the engine refuses remote access.
  int CheckNetworkAccess();
  // Asks for the device password when the device needs a login and none is
  // kept; the engine and a network device get it. 0 or fwr_InvalidParameter.
  int CheckLogin();
  // A login belongs to one device: forget it when another is selected.
  void ForgetLogin() { FLogin.clear(); }

  // "File ... not found" unless `fileName` is a file; fwr_FileNotFound.
  int CheckFileExists(const std::string &fileName);
  // Checks a firmware file before an update: it exists (fwr_FileNotFound),
  // and the feature word of its name fits the configuration `record`: both
  // unknown refuses (fwr_InvalidParameter), an unknown record takes the
  // file's word, a different word on a ColdFire device needs a Yes
  // (fwr_Canceled otherwise).
  int CheckFirmwareFile(const std::string &fileName, TZor_FlashVariables &record);
  // Whether an update may go on with the serial number of `record`.
  bool CheckSerialNumber(const TZor_FlashVariables &record, bool reinstallRam);

  // Reports an update's result with the texts users know; gives `result`.
  int ReportUpdateResult(int result);
  // After a successful update: what the device runs now. 0 (also for a
  // reference clock error) or the read's result, reported.
  int ReadVersionAfterUpdate(std::string &err);

  // After a configuration write that moved a network device to a new
  // address: waits for its control port there and makes the engine talk to
  // it. 0 when it did not move or is reachable there, else fwr_NoConnection
  // (fwr_Canceled on Cancel).
  int FollowMovedDevice();
  // Whether FollowMovedDevice replaced the device.
  bool DeviceMoved() const { return FMoved; }

 private:
  void Message(const std::string &text, TMessageType mType) { FEngine.DoMessage(text, mType); }
  bool IsEspDevice() const;
  void Log(const std::string &text) const;
  bool WaitForControlPort(const std::string &ip, uint16_t port);

  TZorFirmwareClass &FEngine;
  int FLogId;
  std::function<bool()> FCancelCheck;
  std::string FLogin;
  bool FMoved = false;
};

}  // namespace zor::session
