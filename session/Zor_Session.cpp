#include "session/Zor_Session.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include "firmware/Zor_ConfigChecks.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"
#include "platform/Zor_Sys.h"
#include "platform/Zor_Tcp.h"

namespace zor::session {

namespace {

bool Contains(const std::string &text, const char *part) { return text.find(part) != std::string::npos; }

// Bits 2 (S) and 1 (U) of a name; the first rule that matches wins.
uint16_t ClockBits(const std::string &name) {
  static const std::pair<const char *, uint16_t> rules[] = {{"su6", 0}, {"Su6", 4},       {"sU6", 2},
                                                            {"SU6", 6}, {"SWC_UARTC", 6}, {"UARTC_SWC", 6},
                                                            {"SWC", 4}, {"UARTC", 2}};
  for (const auto &[part, bits] : rules)
    if (Contains(name, part)) return bits;
  return 0;
}

// A device answers pings a moment before its control port is open again.
constexpr uint32_t ControlPortWaitMs = 15000;
constexpr uint32_t ControlPortRetryMs = 200;
constexpr uint32_t ControlPortConnectMs = 1000;
// Slices of the pause between two tries, so the front end stays responsive.
constexpr uint32_t PumpSliceMs = 50;

}  // namespace

uint16_t GetHardFeatureFromFileName(const std::string &fileName, int logId) {
  const std::string name = std::filesystem::path(fileName).filename().string();
  const std::string prefix = "TZor_Session.GetHardFeatureFromFileName";
  LogText(logId, prefix + " " + name);
  static const std::string force = "ForceHard_";
  if (name.rfind(force, 0) == 0) {
    const size_t end = name.find('_', force.size());
    const std::string text = name.substr(force.size(), end == std::string::npos ? end : end - force.size());
    // More than four digits would not fit the word: no feature rather than a cut one.
    std::optional<uint32_t> value = ParseHex32(text);
    if (!value || *value > 0xFFFF) {
      LogErr(logId, prefix + " failed " + text);
      return NoHardFeature;
    }
    LogText(logId, prefix + "=" + IntToHex(*value, 4));
    return static_cast<uint16_t>(*value);
  }
  uint16_t word = Contains(name, "LUM") ? 0x0001 : Contains(name, "Pelq") ? 0x0008 : 0;
  word |= ClockBits(name);
  return word == 0 ? NoHardFeature : word;
}

TZor_Session::TZor_Session(TZorFirmwareClass &engine, int logId) : FEngine(engine), FLogId(logId) {}

void TZor_Session::Log(const std::string &text) const { LogText(FLogId, "TZor_Session." + text); }

int TZor_Session::PrepareAction(bool forceReadFlash) {
  // A Cancel of the previous action must not stop this one.
  FEngine.SetCancelUpdate(false);
  std::string err;
  const int result = FEngine.GetDeviceFirmwareVersionAndFlash(forceReadFlash, err);
  if (Canceled()) return fwr_Canceled;
  if (result != 0 && result != fwr_ReferenceClockError) return result;
  if (const int access = CheckNetworkAccess()) return access;
  if (const int login = CheckLogin()) return login;
  return Canceled() ? fwr_Canceled : 0;
}

int TZor_Session::CheckNetworkAccess() {
  const int result = FEngine.CheckRemoteAccess();
  if (result != 0) Message("Action via network not supported", mtErr);
  return result;
}

int TZor_Session::CheckLogin() {
  if (FEngine.CheckLogin()) {
    Log("CheckLogin: LoginNeeded");
    if (FLogin.empty() && !FEngine.GetAppServices().AskLogin(FLogin)) FLogin.clear();
    if (FLogin.empty()) {
      Message("Password missing", mtErr);
      return fwr_InvalidParameter;
    }
  } else {
    FLogin.clear();
  }
  FEngine.SetCryptPassword(FLogin);
  // The device logs in with it when it is opened for the action; the engine
  // hands it over itself only for updates and configuration writes.
  if (auto *net = dynamic_cast<TZor_NetworkDevice *>(FEngine.GetBaseDevice())) net->SetCryptPassword(FLogin);
  return 0;
}

int TZor_Session::CheckFileExists(const std::string &fileName) {
  std::error_code ec;
  if (std::filesystem::is_regular_file(fileName, ec)) return 0;
  Message("File " + fileName + " not found", mtErr);
  return fwr_FileNotFound;
}

int TZor_Session::CheckFirmwareFile(const std::string &fileName, TZor_FlashVariables &record) {
  if (const int missing = CheckFileExists(fileName)) return missing;
  Log("CheckFirmwareFile Filename=" + fileName);
  const uint16_t file = GetHardFeatureFromFileName(fileName, FLogId);
  Log("CheckFirmwareFile Hardfeature: File=" + IntToHex(file, 4) +
      ", config=" + IntToHex(record.HardFeature, 4));
  if (file == NoHardFeature && record.HardFeature == NoHardFeature) {
    Message("Device Feature missing!\r\nDevice Version String: " + FEngine.GetVersionString() +
                "\r\nPlease contact Zor",
            mtErr);
    return fwr_InvalidParameter;
  }
  if (record.HardFeature == NoHardFeature) {
    Log("CheckFirmwareFile Set HardFeature from filename " + IntToHex(file, 4));
    record.SetHardFeature(file);
    return 0;
  }
  const std::string name = std::filesystem::path(fileName).filename().string();
  // An ESP image carries its own check; LUM11 images run on every feature.
  if (file == NoHardFeature || file == record.HardFeature || IsEspDevice() || name.rfind("LUM11", 0) == 0)
    return 0;
  const std::string text =
      "Selected firmware may not fit device features " + record.GetHardFeatureString() + "!";
  LogErr(FLogId, "TZor_Session.CheckFirmwareFile " + text + " Filename=" + fileName);
  return FEngine.GetAppServices().Confirm(text + "\r\nContinue?") ? 0 : fwr_Canceled;
}

bool TZor_Session::IsEspDevice() const {
  const TZor_BaseDevice *device = FEngine.GetBaseDevice();
  return device != nullptr && device->GetPeerType() == ptESP;
}

bool TZor_Session::CheckSerialNumber(const TZor_FlashVariables &record, bool reinstallRam) {
  const std::string recordText = IntToHex(record.SerialNumber, 8);
  Log("CheckSerialNumber: " + recordText);
  if (FEngine.IsUniqueSerialNumber(record.SerialNumber)) {
    Log("CheckSerialNumber: ok");
    return true;
  }
  if (reinstallRam) {
    Log("CheckSerialNumber: nicht nötig bei Reinstall int. RAM");
    return true;
  }
  const uint32_t device = FEngine.GetVersionSerialNumber();
  if (!FEngine.IsUniqueSerialNumber(device) || (record.ChangedFlags & fch_SerialNumber) != 0) {
    Message("Can't continue without unique serial number (" + recordText + ").", mtErr);
    return false;
  }
  LogErr(FLogId, "TZor_Session.CheckSerialNumber: Device " + IntToHex(device, 8) +
                     " ist eindeutig konfiguriert " + recordText + " wird ignoriert");
  return true;
}

int TZor_Session::ReportUpdateResult(int result) {
  if (result == fwr_NoError) {
    Message(FEngine.GetUpdateVerified() ? "Firmware update was successful"
                                        : "Firmware update was successful, not verified",
            mtOk);
  } else if (result == fwr_RePowerNeeded) {
    FEngine.GetAppServices().Notify("Bootloader updated!\r\nPlease first repower device and then click ok.");
  } else {
    Message("Error during firmware update: " + ErrorText(result), mtErrInfo);
  }
  return result;
}

int TZor_Session::ReadVersionAfterUpdate(std::string &err) {
  const int read = FEngine.GetDeviceFirmwareVersionAndFlash(true, err);
  if (read == fwr_NoError || read == fwr_ReferenceClockError) return 0;
  Message(std::string(VersionReadFailedText) + ": " + ErrorText(read), mtErr);
  return read;
}

bool TZor_Session::WaitForControlPort(const std::string &ip, uint16_t port) {
  const uint32_t start = platform::GetTicks();
  do {
    platform::TZor_TcpClient probe(ip, port);
    probe.SetConnectTimeout(ControlPortConnectMs);
    if (probe.Connect()) {
      probe.Disconnect();
      return true;
    }
    for (uint32_t slept = 0; slept < ControlPortRetryMs && !Canceled(); slept += PumpSliceMs) {
      platform::SleepMs(PumpSliceMs);
      FEngine.GetAppServices().ProcessMessages();
    }
  } while (platform::TicksSince(start) < ControlPortWaitMs && !Canceled());
  return false;
}

int TZor_Session::FollowMovedDevice() {
  FMoved = false;
  const std::string ip = FEngine.GetFlashNewIP(), host = FEngine.GetFlashNewHost();
  auto *old = dynamic_cast<TZor_NetworkDevice *>(FEngine.GetBaseDevice());
  if (old == nullptr || ip.empty() || ip == old->GetDeviceIP()) return 0;
  Log("FollowMovedDevice " + old->GetDeviceIP() + " -> " + ip);
  const uint16_t port = old->GetDeviceManagementPort();
  if (!WaitForControlPort(ip, port)) {
    if (Canceled()) return fwr_Canceled;
    Message("Device not reachable under " + ip, mtErr);
    return fwr_NoConnection;
  }
  auto moved = std::make_unique<TZor_NetworkDevice>(old->GetLogId(), 0, nullptr, true, ip, host);
  moved->SetDeviceManagementPort(port);
  FEngine.SetOwnedDevice(std::move(moved));
  FMoved = true;
  return 0;
}

}  // namespace zor::session
