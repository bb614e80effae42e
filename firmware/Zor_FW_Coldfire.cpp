// ColdFire programming: the image and the system code are written into device
// RAM with memory-write commands, the system code is told which staged range
// to copy to which flash address, and the device programs its flash itself.
// Also the two service functions that reuse this path: the RAM restore and
// the test panel.
#include <algorithm>
#include <optional>

#include "device/Zor_ColdfireAddresses.h"
#include "device/Zor_ColdfireCommands.h"
#include "firmware/SRecord.h"
#include "firmware/Zor_FW_Class.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

// A whole write command must stay below this length.
constexpr size_t cMaxCommandLength = 128;

// Status words the system code leaves behind on a failed programming run.
struct TProgrammingStatus {
  uint32_t Value;
  const char *Text;
};
constexpr TProgrammingStatus cStatusTexts[] = {
    {0x02, "Erase Block0 failed as flash is protected"},
    {0x03, "Erase Block0 failed due to a bad erase sequence"},
    {0x12, "Erase All Blocks failed as flash is protected"},
    {0x13, "Erase All Blocks failed due to a bad erase sequence"},
    {0x22, "Write All Blocks failed as flash is protected"},
    {0x23, "Write All Blocks failed due to a bad erase sequence"},
    {0x30, "Verify failed"},
    {0x40, "Checksum write failed"},
};

// ColdFire routine of the RAM restore: mask interrupts, copy 0xFE00 bytes of
// long words from the flash image at 0x50000 to 0x20000000, loop in place.
const std::string cCopyRamRoutine(
    "\x46\xFC\x27\x00\x20\x7C\x20\x00\x00\x00\x22\x7C\x00\x05\x00\x00\x20\x3C\x00\x00\xFE\x00"
    "\x20\xD9\x59\x80\x66\xFA\x60\xFE",
    30);
// Jump to the routine above, placed where the run command enters.
const std::string cJumpToCopyRoutine("\x4E\xF9\x20\x00\xFE\x00", 6);

// Text of a status word that tells a failed programming run; nullptr for success.
const char *FailedStatusText(uint32_t value) {
  for (const TProgrammingStatus &s : cStatusTexts)
    if (s.Value == value) return s.Text;
  return nullptr;
}

// Longest memory read: its length is one byte.
constexpr uint32_t cMaxReadLength = 255;

std::string Stars61() { return std::string(61, '*'); }

std::string TransferredText(const char *what, uint32_t count) {
  return std::string("Transmitting ") + what + " finished: 0x" + IntToHex(count, 6) + " (" +
         std::to_string(count) + ") Bytes";
}

// A decimal number, or a hexadecimal one after "$"; the error names the text
// the way the test panel shows it.
std::optional<uint32_t> ParseNumber(const std::string &text, std::string &error) {
  try {
    if (!text.empty() && text[0] == '$') return HexToInt(std::string_view(text).substr(1));
    size_t used = 0;
    const unsigned long long v = std::stoull(text, &used, 10);
    if (used == text.size() && v <= 0xFFFFFFFFull && text[0] != '-' && text[0] != '+')
      return static_cast<uint32_t>(v);
  } catch (const std::exception &) {
  }
  error = "'" + text + "' is not a valid integer value";
  return std::nullopt;
}

}  // namespace

int TZorFirmwareClass::WriteCode(TZor_BaseDevice *device, uint32_t address, const std::string &data,
                                 uint32_t flag) {
  const std::string command = CmdWriteMemory(address | flag, data);
  if (command.size() >= cMaxCommandLength) return FDeviceResult = fwr_InvalidParameter;
  const int result = WriteDevice(device, command);
  if (result == fwr_NoError) FCodeCount += static_cast<uint32_t>(data.size());
  return result;
}

int TZorFirmwareClass::ClearCheckSumRange() {
  Log("TZorFirmwareClass.ClearCheckSumRange");
  DoProgress(tpt_SetMax, CF_CheckSumAreaCount);
  LogStars();
  DoMessage("Clearing RAM...", mtInfo);
  const std::string erased(CF_CheckSumAreaSize, '\xFF');
  for (uint32_t k = 0; k < CF_CheckSumAreaCount; ++k) {
    const int result =
        WriteCode(FBaseDevice, CF_CheckSumAreaStart + CF_CheckSumAreaStride * k, erased, CF_StagingFlag);
    if (result != fwr_NoError) {
      DoMessage("Transmit canceled: " + WriteFailureText(FBaseDevice, result), mtErr);
      LogStars();
      return result;
    }
    DoProgress(tpt_StepBy, 1);
  }
  DoProgress(tpt_SetPosition, 0);
  DoMessage("Clearing RAM finished", mtInfo);
  LogStars();
  return fwr_NoError;
}

int TZorFirmwareClass::TransmitRecords(TSRecordImage &image, const TRecordSender &send) {
  TSRecord record;
  TRecordClass cls;
  while (image.Next(record, cls)) {
    ProcessMessages();
    if (FCancelUpdate) {
      DoMessage("Canceled by user", mtInfo);
      return fwr_Canceled;
    }
    if (!record.Error.empty()) {
      DoMessage(record.Error, mtErr);
      return fwr_FormatError;
    }
    if (cls.Action == ra_Reject) {
      DoMessage(cls.Message, mtInfo);
      DoMessage("Transmit canceled: " + ErrorText(cls.Result), mtErr);
      return cls.Result;
    }
    if (cls.Action == ra_Skip && FReportExcludedAddresses && !cls.Message.empty())
      DoMessage(cls.Message, mtInfo);
    if (cls.Action == ra_Send) {
      const int result = send(record, cls.Target);
      if (result != fwr_NoError) return result;
    }
    DoProgress(tpt_StepBy, 1);
  }
  return fwr_NoError;
}

int TZorFirmwareClass::TransmitCode(TZor_BaseDevice *device, const std::string &filename, bool bootloader) {
  FminAdr = 0xFFFFFFFF;
  FmaxAdr = 0;
  const TImageKind kind = bootloader ? ik_Bootloader : ik_UserCode;
  TSRecordImage image;
  std::string error;
  if (!image.OpenFile(filename, kind, error)) {
    DoMessage(error, mtErr);
    return fwr_FileNotFound;
  }

  DoProgress(tpt_SetMax, image.GetLineCount());
  FCodeCount = 0;
  const std::string what = ImageKindToText(kind);
  DoMessage("Transmitting " + what + "...", mtInfo);

  TTransmitRange range;
  int result = TransmitRecords(image, [&](const TSRecord &record, uint32_t target) -> int {
    const int written = WriteCode(device, target, record.Data, CF_StagingFlag);
    if (written != fwr_NoError) {
      DoMessage("Transmit canceled: " + device->GetErrorMessage(), mtErr);
      return written;
    }
    range.Include(record.Address, record.Data.size());
    FminAdr = range.FminAdr;
    FmaxAdr = range.FmaxAdr;
    return fwr_NoError;
  });
  if (result != fwr_NoError) return result;
  if (image.GetReadError()) {
    DoMessage("Error reading file: " + filename, mtErr);
    return fwr_FormatError;
  }
  DoProgress(tpt_SetPosition, 0);
  // Without any flash data the system code would be told to copy an empty
  // (inverted) range.
  if (range.IsEmpty()) {
    result = bootloader ? fwr_NotBootloaderFile : fwr_NotFirmwareFile;
    DoMessage("No " + what + " data", mtInfo);
    DoMessage("Transmit canceled: " + ErrorText(result), mtErr);
    return result;
  }
  DoMessage(TransferredText(what.c_str(), FCodeCount), mtInfo);
  return fwr_NoError;
}

int TZorFirmwareClass::TransmitSystemCode() {
  TSRecordImage image;
  image.OpenText(LoadResourceText("SystemCode"), ik_SystemCode);
  DoProgress(tpt_SetMax, image.GetLineCount());
  FCodeCount = 0;
  LogStars();
  DoMessage("Transmitting system code...", mtInfo);

  const int result = TransmitRecords(image, [&](const TSRecord &record, uint32_t target) -> int {
    if (WriteCode(FBaseDevice, target, record.Data, 0) == fwr_NoError) return fwr_NoError;
    DoMessage("Transmit canceled: " + WriteFailureText(FBaseDevice, fwr_WriteError), mtErr);
    return fwr_WriteError;
  });
  if (result != fwr_NoError) return result;
  DoProgress(tpt_SetPosition, 0);
  DoMessage(TransferredText("system code", FCodeCount), mtInfo);
  LogStars();
  return fwr_NoError;
}

int TZorFirmwareClass::InitSystemCode(TZor_BaseDevice *device, const std::string &sourceStart,
                                      const std::string &sourceEnd, const std::string &destination) {
  LogStars();
  DoMessage("Initializing system code...", mtInfo);
  int result = WriteCode(device, CF_ParamSourceStart, sourceStart, 0);
  if (result == fwr_NoError) result = WriteCode(device, CF_ParamSourceEnd, sourceEnd, 0);
  if (result == fwr_NoError) result = WriteCode(device, CF_ParamDestination, destination, 0);
  if (result != fwr_NoError)
    DoMessage("Initializing system code: " + ErrorText(result), mtErr);
  else
    DoMessage("Initializing finished", mtInfo);
  LogStars();
  ProcessMessages();
  return result;
}

bool TZorFirmwareClass::ShowFailedStatus(const std::string &status) {
  const uint32_t value = *BigEndianTextToInt32(status);
  Log("ProgrammingStatus=" + IntToHex(value, 8));
  const char *failed = FailedStatusText(value);
  if (failed) DoMessage(failed, mtErr);
  return failed != nullptr;
}

int TZorFirmwareClass::CheckProgrammingStatus(TZor_BaseDevice *device) {
  LogStars();
  DoMessage("Check programming status...", mtInfo);
  std::string data;
  ReadDevice(device, CF_ProgrammingStatus, data, 4);
  if (data.size() == 4) {
    if (ShowFailedStatus(data)) {
      ProcessMessages();
      return fwr_ProgrammingFailed;
    }
    DoMessage("Programming successful", mtInfo);
    ProcessMessages();
    return fwr_NoError;
  }
  std::string text = "Error reading programming status: ";
  if (FDeviceResult != fwr_ReadError)
    text += ErrorText(FDeviceResult);
  else if (!data.empty())
    text += ErrorText(fwr_ReadError) + " read=" + BytesToHex(data);
  else
    text += "nothing received";
  DoMessage(text, mtErr);
  return FDeviceResult;
}

void TZorFirmwareClass::ReadBack(TZor_BaseDevice *device, uint32_t address, std::string &data,
                                 uint32_t length) {
  // The first answers after a restart may be lost; the same request asked
  // again has the same answer, so even a late one counts.
  ReadDevice(device, address, data, length);
  if (data.size() == length) return;
  Log("TZorFirmwareClass.ReadBack repeat read at 0x" + IntToHex(address, 8));
  FDeviceResult = fwr_NoError;
  ReadDevice(device, address, data, length);
}

int TZorFirmwareClass::VerifyFlash(const std::string &filename, bool bootloader) {
  TZor_BaseDevice *device = FBaseDevice;
  if (!device) return fwr_DeviceMissing;
  LogStars();
  DoMessage("Verifying flash...", mtInfo);
  int result = OpenDevice(device, true, false);
  if (result != fwr_NoError) {
    DoMessage("Verify failed: " + FOpenErrorMsg, mtErr);
    return result;
  }
  TZor_OnExit close([&] { CloseDevice(device, false); });
  ReadUntilEmpty();

  // The programmer's status word, where the restarted device still holds it.
  std::string status;
  ReadBack(device, CF_ProgrammingStatus, status, 4);
  if (status.size() == 4 && ShowFailedStatus(status)) return fwr_ProgrammingFailed;
  result = CompareFlash(device, filename, bootloader);
  if (result == fwr_NoError)
    DoMessage("Verify finished: 0x" + IntToHex(FCodeCount, 6) + " (" + std::to_string(FCodeCount) +
                  ") Bytes as in the file",
              mtInfo);
  return result;
}

int TZorFirmwareClass::CompareFlash(TZor_BaseDevice *device, const std::string &filename, bool bootloader) {
  // The image is read again record by record; the device's flash in reads
  // of up to 255 bytes, each serving the records that follow.
  TSRecordImage image;
  std::string error;
  if (!image.OpenFile(filename, bootloader ? ik_Bootloader : ik_UserCode, error)) {
    DoMessage("Verify failed: " + error, mtErr);
    return fwr_FileNotFound;
  }
  DoProgress(tpt_SetPosition, 0);
  DoProgress(tpt_SetMax, image.GetLineCount());
  FCodeCount = 0;
  std::string flash;
  uint32_t flashStart = 0;
  const int result = TransmitRecords(image, [&](const TSRecord &record, uint32_t) -> int {
    for (size_t i = 0; i < record.Data.size(); ++i) {
      const uint32_t address = record.Address + static_cast<uint32_t>(i);
      if (address < flashStart || address - flashStart >= flash.size()) {
        const uint32_t length = address <= FmaxAdr ? std::min(cMaxReadLength, FmaxAdr - address + 1) : 1;
        ReadBack(device, address, flash, length);
        if (flash.size() != length) {
          const int failed = FDeviceResult != fwr_NoError ? FDeviceResult : fwr_ReadError;
          DoMessage("Verify failed: reading 0x" + IntToHex(address, 8) + ": " + ErrorText(failed), mtErr);
          return failed;
        }
        flashStart = address;
      }
      const char held = flash[address - flashStart];
      if (held != record.Data[i]) {
        DoMessage("Verify failed at 0x" + IntToHex(address, 8) + ": device 0x" +
                      IntToHex(static_cast<uint8_t>(held), 2) + ", file 0x" +
                      IntToHex(static_cast<uint8_t>(record.Data[i]), 2),
                  mtErr);
        return fwr_VerifyFailed;
      }
      ++FCodeCount;
    }
    return fwr_NoError;
  });
  if (result != fwr_NoError) return result;
  DoProgress(tpt_SetPosition, 0);
  if (image.GetReadError()) {
    DoMessage("Verify failed: error reading file: " + filename, mtErr);
    return fwr_ReadError;
  }
  return fwr_NoError;
}

int TZorFirmwareClass::ProgramFlash(TZor_BaseDevice *device, uint32_t first, uint32_t last,
                                    const std::string &startCommand) {
  int result = TransmitSystemCode();
  if (result == fwr_NoError)
    result = InitSystemCode(device, IntToBigEndianText32(first | CF_StagingFlag),
                            IntToBigEndianText32(last | CF_StagingFlag), IntToBigEndianText32(first));
  if (result != fwr_NoError) return result;
  LogStars();
  DoMessage("Start programming...", mtInfo);
  result = WriteDevice(device, startCommand);
  if (result != fwr_NoError) DoMessage("Programming canceled: " + WriteFailureText(device, result), mtErr);
  return result;
}

int TZorFirmwareClass::WriteFlashCF(uint32_t length) {
  FminAdr = CF_ConfigBlockAddress;
  FmaxAdr = CF_ConfigBlockAddress + length - 1;
  int result = WriteCode(FBaseDevice, CF_ConfigBlockAddress, BufferText(), CF_StagingFlag);
  if (result != fwr_NoError) {
    DoMessage("Transmit canceled: " + WriteFailureText(FBaseDevice, result), mtErr);
    LogStars();
    return result;
  }
  // The old boot loader knows only the start command; everything newer runs
  // the loaded system code.
  result = ProgramFlash(FBaseDevice, FminAdr, FmaxAdr,
                        IsDeviceOldBootloader(FBaseDevice) ? CmdStartProgramming() : CmdRun());
  if (result != fwr_NoError) return result;
  ProcessMessages();
  Log("Sleep 2000");
  platform::SleepMs(2000);
  result = CheckProgrammingStatus(FBaseDevice);
  if (result != fwr_NoError) DoMessage("Disconnecting from Zor device...", mtInfo);
  return result;
}

// ---- service functions -----------------------------------------------------------------------

int TZorFirmwareClass::DoCopyFlashToRAM() {
  TActionScope scope(*this);
  if (scope.Refused()) return RefuseBusy("DoCopyFlashToRAM");
  TZor_BaseDevice *device = FBaseDevice;
  if (!device) return fwr_InvalidParameter;
  DoMessage(Stars61(), mtInfo);
  DoMessage("Reinstall internal RAM content...", mtInfo);

  int result = fwr_NoError;
  // The device is closed and given up however the steps end.
  TZor_OnExit finish([&] {
    DoMessage("Close port...", mtInfo);
    CloseDevice(device, false);
    ReplaceCurrentDevice(nullptr);
    DoMessage("... finished", mtInfo);
  });

  result = OpenDevice(device, true, true);
  if (result != fwr_NoError) return result;
  ReadUntilEmpty();

  DoMessage("...writing Address $2000FE00...", mtInfo);
  result = WriteCode(device, CF_RamRestoreScratch, cCopyRamRoutine, 0);
  if (result != fwr_NoError) {
    DoMessage("DoCopyFlashToRAM: Error writing on device (Address $2000FE00)", mtErr);
    return result;
  }
  DoMessage("...writing Address $2000F700...", mtInfo);
  result = WriteCode(device, CF_SystemCodeStart, cJumpToCopyRoutine, 0);
  if (result != fwr_NoError) {
    DoMessage("DoCopyFlashToRAM: Error writing on device (Address $2000F700)", mtErr);
    return result;
  }
  DoMessage("...start copy program...", mtInfo);
  result = WriteDevice(device, CmdRun());
  if (result != fwr_NoError) {
    DoMessage("DoCopyFlashToRAM: Error writing on device (function call)", mtErr);
    return result;
  }
  DoMessage("... finished", mtInfo);
  return fwr_NoError;
}

namespace {

// The memory-read option of the test panel: address and length.
struct TTestRead {
  uint32_t Address = 0;
  uint32_t Length = 0;
};

// Address and length of `option` ("$0007F000 $42"); false with the message to
// show when either is not a number or the length is too long.
bool ParseTestRead(const std::string &option, TTestRead &read, std::string &message) {
  const size_t blank = option.find(' ');
  const std::string addressText = option.substr(0, blank);
  const std::string lengthText =
      blank == std::string::npos ? std::string() : TrimText(option.substr(blank + 1));
  std::string error;
  const std::optional<uint32_t> address = ParseNumber(addressText, error);
  if (!address) {
    message = "Fehler bei TestReadAdresse: " + error;
    return false;
  }
  const std::optional<uint32_t> length = ParseNumber(lengthText, error);
  if (!length) {
    message = "Fehler bei TestReadLänge: " + error;
    return false;
  }
  // The read command carries the length in one byte.
  read.Length = *length & 0xFF;
  if (read.Length > 128) {
    message = "Fehler bei TestReadLänge: zu lang " + std::to_string(read.Length);
    return false;
  }
  read.Address = *address;
  return true;
}

}  // namespace

int TZorFirmwareClass::TestMemoryRead(const std::string &option, int times) {
  TTestRead read;
  std::string message;
  if (!ParseTestRead(option, read, message)) {
    DoMessage(message, mtErr);
    return fwr_InvalidParameter;
  }
  if (read.Address == CF_ConfigBlockAddress && read.Length > CF_ConfigBlockNetSize - 1) {
    const int result = ReadFlashCF(FBaseDevice);
    if (result == fwr_NoError) DoMessage("Gelesen: " + BytesToHex(BufferText()), mtInfo);
    return result;
  }
  for (int i = 0; i < times; ++i) {
    std::string data;
    ReadDevice(FBaseDevice, read.Address, data, read.Length);
    if (data.size() == read.Length && !data.empty()) {
      DoMessage("Gelesen: " + BytesToHex(data), mtInfo);
      continue;
    }
    if (FDeviceResult == fwr_WriteError)
      DoMessage("Error reading test data: USB Write Error", mtErr);
    else
      DoMessage("Error reading test data from USB, requested=" + std::to_string(read.Length) +
                    ", received=" + std::to_string(data.size()),
                mtErr);
    return FDeviceResult != fwr_NoError ? FDeviceResult : fwr_ReadError;
  }
  return fwr_NoError;
}

// Programs flash 0x4004..0x4FFF from the staging area whose checksum range was
// just cleared, so the device restarts in its boot loader.
int TZorFirmwareClass::TestBootloader(uint32_t serialNumber) {
  if (IsDeviceBootloader(FBaseDevice)) {
    DoMessage("Device is already in Bootloader mode", mtInfo);
    return fwr_NoError;
  }
  DoMessage("Teste Bootloader-Modus", mtInfo);
  int result = ClearCheckSumRange();
  if (result == fwr_NoError) result = ProgramFlash(FBaseDevice, 0x4004, 0x4FFF, CmdStartProgramming());
  if (result != fwr_NoError) return result;
  result = WaitDeviceReady(serialNumber, false);
  if (result == fwr_NoReset) {
    DoMessage("No reset, send command", mtInfo);
    result = DoReset(FBaseDevice, serialNumber);
  }
  if (result != fwr_NoError) {
    DoMessage("Programming failed: " + ErrorText(result), mtErr);
    return result;
  }
  DoMessage("Programming finished", mtInfo);
  // The device found again by its serial number is already current; else the
  // first enumerated device is the one to look at.
  if (!FBaseDevice && GetUsbDevice(0)) SetBaseDevice(GetUsbDevice(0));
  if (!FBaseDevice) return fwr_DeviceMissing;
  if (IsDeviceBootloader(FBaseDevice))
    DoMessage("Device reset to Bootloader", mtInfo);
  else
    DoMessage("Device reset to Bootloader failed", mtErr);
  return fwr_NoError;
}

int TZorFirmwareClass::TestFunction(int WhatToDo, const std::string &Option) {
  TActionScope scope(*this);
  if (scope.Refused()) return RefuseBusy("TestFunction");
  if (!FBaseDevice) return fwr_InvalidParameter;
  DoMessage(Stars61(), mtInfo);

  int result = fwr_NoError;
  TZor_OnExit finish([&] {
    if (FBaseDevice) CloseDevice(FBaseDevice, false);
    DoMessage("Disconnected from " + FanzeigeName, mtInfo);
  });

  if (WhatToDo == 5 && IsNetworkDevice(FBaseDevice)) {
    DoMessage("Test Bootloader denied: USB connection needed", mtErr);
    return fwr_NoError;
  }
  const uint32_t serial = IsNetworkDevice(FBaseDevice) ? 0xFFFFFFFF : FBaseDevice->GetSerialNumberValue();
  result = OpenDevice(FBaseDevice, true, true);
  if (result != fwr_NoError) return result;
  ReadUntilEmpty();

  switch (WhatToDo) {
    case 1:
      DoMessage("Teste Read connected user", mtInfo);
      result = CheckConnectedUser();
      if (result == fwr_TooManyUser) result = fwr_NoError;
      break;
    case 2:
      DoMessage("Teste Reset-Befehl", mtInfo);
      result = DoReset(FBaseDevice, serial);
      break;
    case 3:
      DoMessage("Teste Stop-Kommando", mtInfo);
      result = WriteDevice(FBaseDevice, CmdStop());
      if (result != fwr_NoError)
        DoMessage("Error writing on device: Stop-Kommando", mtErr);
      else
        DoMessage("Stop-Kommando ok", mtInfo);
      break;
    case 4:
      DoMessage("Teste Read-Befehl", mtInfo);
      result = TestMemoryRead(Option, 1);
      break;
    case 5: result = TestBootloader(serial); break;
    case 6:
      DoMessage("Teste Read-Befehl 3-fach", mtInfo);
      result = TestMemoryRead(Option, 3);
      break;
    default: break;
  }
  return result;
}

}  // namespace zor
