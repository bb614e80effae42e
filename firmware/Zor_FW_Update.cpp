// The firmware update as a whole: access check, open in tools mode, the
// ColdFire or ESP programming path, the wait for the restarted device, and
// the exit steps that reset an unfinished device and always close it.
#include <algorithm>
#include <cctype>

#include "device/Zor_ColdfireAddresses.h"
#include "device/Zor_ColdfireCommands.h"
#include "firmware/SRecord.h"
#include "firmware/Zor_FW_Class.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"

namespace zor {

namespace {

// ColdFire routine for firmware 60..62, whose timer interrupt disturbs the
// transfer: clears bits 0 and 3 of the 16-bit register at 0x40150000, returns.
const std::string cTimerPatch(
    "\x4E\x56\x00\x00\x41\xF9\x40\x15\x00\x00\x30\x10\x02\x80\x00\x00\xFF\xF6\x30\x80"
    "\x4E\x5E\x4E\x75",
    24);

bool NeedsTimerPatch(int firmwareVersion) { return firmwareVersion >= 60 && firmwareVersion <= 62; }

bool HasExtension(const std::string &name, const std::string &ext) {
  if (name.size() < ext.size()) return false;
  return std::equal(ext.rbegin(), ext.rend(), name.rbegin(),
                    [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

}  // namespace

int TZorFirmwareClass::DoUpdate(const std::string &filename, bool updateBootloader,
                                uint32_t resetSerialNumber) {
  TActionScope scope(*this);
  if (scope.Refused()) return RefuseBusy("DoUpdate");
  TZor_BaseDevice *device = FBaseDevice;
  if (!device) return fwr_InvalidParameter;
  Log("TZorFirmwareClass.DoUpdate filename=" + filename + " updateBootloader=" +
      (updateBootloader ? "True" : "False") + " resetSerialNumber=" + IntToHex(resetSerialNumber, 8));
  MessageStars();
  FZustandNachReset = false;
  FUpdateVerified = false;

  int result = CheckFirmwareFile(device, filename, updateBootloader);
  if (result != fwr_NoError) return result;
  result = FConnectedUserString.empty() ? CheckConnectedUser() : fwr_NoError;
  if (result == fwr_TooManyUser) {
    DoMessage("Firmware update denied: other users connected: \r\n" + FConnectedUserString, mtErr);
    LogStars();
    return result;
  }
  if (result != fwr_NoError) return result;

  bool resetOnExit = true;
  HandOverLogin(device);
  uint32_t deviceSerial = 0xFFFFFFFF;
  if (device->IsUSBDevice()) {
    deviceSerial = device->GetSerialNumberValue();
    if (resetSerialNumber == 0xFFFFFFFF) {
      resetSerialNumber = deviceSerial;
      Log("TZorFirmwareClass.DoUpdate set resetSerialNumber to =" + IntToHex(resetSerialNumber, 8));
    }
  }

  // From here on the device is reset (when unfinished) and closed however
  // the steps end, also when an exception passes.
  try {
    result = DoUpdateSteps(filename, updateBootloader, resetSerialNumber, deviceSerial, resetOnExit);
  } catch (const std::exception &e) {
    LogExcept(FLogId, "TZorFirmwareClass.DoUpdate failed", e);
    DoUpdateExit(fwr_WriteError, resetOnExit, resetSerialNumber);
    throw;
  } catch (...) {
    LogError("TZorFirmwareClass.DoUpdate failed");
    DoUpdateExit(fwr_WriteError, resetOnExit, resetSerialNumber);
    throw;
  }
  DoUpdateExit(result, resetOnExit, resetSerialNumber);
  return result;
}

int TZorFirmwareClass::CheckFirmwareFile(TZor_BaseDevice *device, const std::string &filename,
                                         bool updateBootloader) {
  TEspImage file;
  std::string error;
  if (!file.Open(filename, error)) {
    DoMessage(error, mtErr);
    return fwr_FileNotFound;
  }
  const std::string head = file.ReadHead(EspImageHeaderSize);
  const std::string name = FileNameWithoutDirectory(filename);
  // Devices whose controller is not known take the ColdFire path.
  if (!IsESP(device)) {
    if (IsSRecord(head)) return fwr_NoError;
    DoMessage(name + " is not an S-record file: a ColdFire device takes a .s19 file", mtErr);
    return updateBootloader ? fwr_NotBootloaderFile : fwr_NotFirmwareFile;
  }
  // An encrypted image is opened by the device alone; only its name can
  // tell that it is a ColdFire file.
  if (HasExtension(name, ".s19") || (!file.GetCrypted() && IsSRecord(head))) {
    DoMessage(name + " is an S-record file: an ESP device takes a .bin image", mtErr);
    return fwr_NotEspImage;
  }
  if (file.GetCrypted()) {
    Log("TZorFirmwareClass.CheckFirmwareFile encrypted image, its header is checked by the device");
    return fwr_NoError;
  }
  if (!head.empty() && static_cast<uint8_t>(head[0]) == EspImageMagic) return fwr_NoError;
  DoMessage(name + " is not an ESP image: " +
                (head.empty() ? std::string("the file is empty")
                              : "its first byte is 0x" + IntToHex(static_cast<uint8_t>(head[0]), 2)) +
                ", an ESP image starts with 0x" + IntToHex(EspImageMagic, 2),
            mtErr);
  return fwr_NotEspImage;
}

int TZorFirmwareClass::DoUpdateSteps(const std::string &filename, bool updateBootloader,
                                     uint32_t resetSerialNumber, uint32_t deviceSerial, bool &resetOnExit) {
  DoMessage("Update Firmware...", mtInfo);
  FCancelUpdate = false;
  TZor_BaseDevice *device = FBaseDevice;
  int result = OpenDevice(device, true, true);
  if (result != fwr_NoError) {
    resetOnExit = false;
    return result;
  }
  const bool wasBootloader = IsDeviceBootloader(device);
  ReadUntilEmpty();

  if (IsColdfire(device) && NeedsTimerPatch(FFirmwareVersion)) {
    result = DoUpdateTimerPatch(device);
    if (result != fwr_NoError) return result;
  }
  // Devices whose controller is not known take the ColdFire path.
  const bool esp = IsESP(device);
  result = esp ? DoUpdateESP(device, filename) : DoUpdateColdfire(device, filename, updateBootloader);
  if (result != fwr_NoError) return result;
  result = DoUpdateCompletion(wasBootloader, updateBootloader, resetSerialNumber, deviceSerial, resetOnExit);
  if (result != fwr_NoError || !FVerifyUpdate) return result;
  // An ESP device checks the whole image itself before it reports ready;
  // a ColdFire device is read back.
  if (!esp) result = VerifyFlash(filename, updateBootloader);
  FUpdateVerified = result == fwr_NoError;
  return result;
}

int TZorFirmwareClass::DoUpdateTimerPatch(TZor_BaseDevice *device) {
  DoMessage("Firmware " + std::to_string(FFirmwareVersion) + ": Disable Timer Interrupt", mtInfo);
  if (WriteCode(device, CF_SystemCodeStart, cTimerPatch, 0) != fwr_NoError) {
    DoMessage("Transmit canceled: " + WriteFailureText(device, fwr_WriteError), mtErr);
    return fwr_WriteError;
  }
  const int result = WriteDevice(device, CmdRun());
  if (result != fwr_NoError) {
    DoMessage("Programming canceled: " + WriteFailureText(device, result), mtErr);
    return result;
  }
  PauseProcessing(100);
  return fwr_NoError;
}

int TZorFirmwareClass::DoUpdateESP(TZor_BaseDevice *device, const std::string &filename) {
  int result = TransmitESPCode(device, filename);
  if (result != fwr_NoError) return result;
  LogStars();
  DoMessage("Start programming...", mtInfo);
  ClearESPReadyMark(device);
  result = WriteDevice(device, CmdStartProgramming(FCodeCount));
  if (result != fwr_NoError) {
    DoMessage("Programming canceled: " + WriteFailureText(device, result), mtErr);
    return result;
  }
  result = WaitESPReady(device);
  if (result != fwr_NoError) return result;
  Log("TZorFirmwareClass.DoUpdate; switch partition");
  result = WriteDevice(device, CmdRun());
  if (result != fwr_NoError) DoMessage("Switch Partition failed", mtErr);
  return result;
}

int TZorFirmwareClass::DoUpdateColdfire(TZor_BaseDevice *device, const std::string &filename,
                                        bool updateBootloader) {
  int result = fwr_NoError;
  if (!updateBootloader) result = ClearCheckSumRange();
  if (result == fwr_NoError) result = TransmitCode(device, filename, updateBootloader);
  if (result == fwr_NoError) result = TransmitSystemCode();
  if (result == fwr_NoError)
    result = InitSystemCode(device, IntToBigEndianText32(FminAdr | CF_StagingFlag),
                            IntToBigEndianText32(FmaxAdr | CF_StagingFlag), IntToBigEndianText32(FminAdr));
  if (result != fwr_NoError) return result;
  LogStars();
  DoMessage("Start programming...", mtInfo);
  result = WriteDevice(device, CmdStartProgramming());
  if (result != fwr_NoError) DoMessage("Programming canceled: " + WriteFailureText(device, result), mtErr);
  return result;
}

int TZorFirmwareClass::DoUpdateCompletion(bool wasBootloader, bool updateBootloader,
                                          uint32_t resetSerialNumber, uint32_t deviceSerial,
                                          bool &resetOnExit) {
  int result = fwr_NoError;
  if (!wasBootloader) result = WaitDeviceReady(resetSerialNumber, false);
  // A USB device that did not restart is looked for again by its serial
  // number and reset by command.
  if (result == fwr_NoReset && IsColdfire(FBaseDevice) && FBaseDevice->IsUSBDevice()) {
    DoMessage("No reset, send command", mtInfo);
    SetOwnedDevice(GetNewUsbItem(deviceSerial));
    // The device found again is a new object: the reset needs it opened.
    if (FBaseDevice && OpenDevice(FBaseDevice, true, false) == fwr_NoError) {
      result = DoReset(FBaseDevice, resetSerialNumber);
      if (result == fwr_NoError) resetOnExit = false;
    } else if (FBaseDevice) {
      Log("TZorFirmwareClass.DoUpdate reopen failed, no reset");
    }
  } else if (!wasBootloader && IsNetworkDevice(FBaseDevice)) {
    // The wait has ended the session: a reset in the exit steps would go out
    // on a closed session and wait for the device all over again.
    resetOnExit = false;
    if (result == fwr_NoReset) {
      DoMessage("No reset, send command", mtInfo);
      if (OpenDevice(FBaseDevice, true, false) == fwr_NoError)
        result = DoReset(FBaseDevice, resetSerialNumber);
      else
        Log("TZorFirmwareClass.DoUpdate reopen failed, no reset");
    }
  }
  if (result != fwr_NoError) {
    DoMessage("Programming failed: " + ErrorText(result), mtErr);
    return result;
  }
  DoMessage("Programming finished", mtInfo);
  resetOnExit = false;

  if (wasBootloader && updateBootloader) {
    Log("TZorFirmwareClass.DoUpdate Bootloader in Bootloader -> manual repower neded");
    return fwr_RePowerNeeded;
  }
  if (wasBootloader) {
    Log("TZorFirmwareClass.DoUpdate Sleep 2000");
    platform::SleepMs(2000);
    result = CheckProgrammingStatus(FBaseDevice);
    if (result != fwr_NoError && result != fwr_ReadError) {
      DoMessage("Disconnecting from Zor device...", mtInfo);
      return result;
    }
    DoMessage("Switch to Zor application...", mtInfo);
    result = DoReset(FBaseDevice, resetSerialNumber);
    if (result == fwr_NoError)
      DoMessage("Zor application ready", mtInfo);
    else if (result == fwr_NoReset)
      DoMessage("Device reset failed. Please re-power Zor device and then click ok.", mtErr);
    return result;
  }
  if (FBaseDevice && IsDeviceBootloader(FBaseDevice)) {
    if (updateBootloader) {
      DoMessage("Bootloader downloaded: Zor device is now in BOOT LOADER mode", mtInfo);
      FAppServices->Beep();
    } else {
      DoMessage("Firmware download failed: Zor device is in BOOT LOADER mode", mtErr);
      result = fwr_DownloadFailed;
    }
  }
  return result;
}

void TZorFirmwareClass::DoUpdateExit(int result, bool resetOnExit, uint32_t resetSerialNumber) {
  LogStars();
  // The reset ends the session itself: with the restart, or with DISCONN
  // when it never reached the device.
  // A device that is gone cannot be reset: the reset would fail, or go out on
  // a port on its way out, and its wait would run for a device that never
  // comes back. HID and virtual COM port devices both say so by the code.
  if (resetOnExit && FBaseDevice && FBaseDevice->GetErrorCode() == Zor_DeviceNotConnected) {
    Log("TZorFirmwareClass.DoUpdateExit device not connected -> no reset");
    resetOnExit = false;
  }
  if (resetOnExit && FBaseDevice) DoReset(FBaseDevice, resetSerialNumber);
  // Any session still held is ended with DISCONN (recorded for later when
  // the device cannot be reached): a forced close would leave the device
  // holding a user slot. Paths that end without a reset (boot loader left in
  // place, a failed wait) would otherwise leave the port open.
  if (FBaseDevice && (FBaseDevice->GetPortIsOpened() || (result != fwr_NoError && IsNetworkDevice(FBaseDevice))))
    CloseDevice(FBaseDevice, false);
  DoMessage("Disconnected from " + FanzeigeName, mtInfo);
  ClearVersionInfo();
}

}  // namespace zor
