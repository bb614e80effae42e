// ESP firmware transfer: the binary image is streamed into the device's
// update partition (image-piece commands over USB, the block transfer over
// the network), the device checks it and reports that it is ready, and the
// partition switch back to the factory image.
#include <algorithm>
#include <vector>

#include "device/Zor_ColdfireCommands.h"
#include "device/Zor_Report.h"
#include "firmware/SRecord.h"
#include "firmware/Zor_FW_Class.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"

namespace zor {

namespace {

constexpr size_t cPieceUsb = 128;
constexpr size_t cPieceNet = 1440;
// Longest wait for the device's ready message, in seconds.
constexpr int cReadySeconds = 60;
// Firmware from this version on sends a ready report instead of restarting
// its data stream.
constexpr int cReadyReportFirmware = 114;
// Between reads of a device whose data arrives only when read.
constexpr uint32_t cOnDemandPollMs = 10;

}  // namespace

int TZorFirmwareClass::TransmitESPCode(TZor_BaseDevice *device, const std::string &filename) {
  Log("TZorFirmwareClass.TransmitESPCode file=" + filename);
  TEspImage image;
  std::string error;
  if (!image.Open(filename, error)) {
    LogError("TZorFirmwareClass.TransmitESPCode failed, file=" + filename + " " + error);
    DoMessage(error, mtErr);
    return fwr_FileNotFound;
  }
  const bool crypted = image.GetCrypted();
  Log("TZorFirmwareClass.TransmitESPCode file size=" + std::to_string(image.GetSize()) +
      " crypted=" + (crypted ? "True" : "False"));

  TZor_NetworkDevice *net = AsNetworkDevice(device);
  std::vector<char> piece(net ? cPieceNet : cPieceUsb);
  DoProgress(tpt_SetPosition, 0, "bytes");
  DoProgress(tpt_SetMax, image.GetSize(), "bytes");
  FCodeCount = 0;
  LogStars();
  DoMessage("Transmitting user code...", mtInfo);

  if (net && !net->BlockTransferStart(image.GetSize(), FCodeCount, crypted)) {
    LogError("TZorFirmwareClass.TransmitESPCode failed, block transfer denied: " + device->GetErrorMessage());
    DoMessage("Transmit user code failed at 0=(0x0): " + device->GetErrorMessage(), mtErr);
    return fwr_WriteError;
  }

  int result = fwr_NoError;
  while (FCodeCount < image.GetSize()) {
    ProcessMessages();
    if (FCancelUpdate) {
      DoMessage("Canceled by user", mtInfo);
      result = fwr_Canceled;
      break;
    }
    const size_t count = image.Read(piece.data(), piece.size());
    if (count == 0) {
      // The file became shorter than its size said, or a read failed.
      DoMessage("Error reading file: " + filename, mtErr);
      result = fwr_ReadError;
      break;
    }
    const std::string bytes(piece.data(), count);
    if (net) {
      if (!net->BlockTransferContinue(bytes)) {
        LogError("TZorFirmwareClass.TransmitESPCode failed offset=" + std::to_string(FCodeCount) +
                 ", data=" + BytesToHex(bytes));
        result = fwr_WriteError;
        break;
      }
    } else {
      result = WriteDevice(device, CmdStoreImagePiece(FCodeCount, bytes));
      if (result != fwr_NoError) {
        const std::string text = "Transmit canceled: " + device->GetErrorMessage();
        LogError("TZorFirmwareClass.TransmitESPCode " + text);
        DoMessage(text, mtErr);
        break;
      }
    }
    FCodeCount += static_cast<uint32_t>(count);
    DoProgress(tpt_StepBy, static_cast<int64_t>(count), "bytes");
  }
  DoProgress(tpt_SetPosition, 0, "bytes");
  LogStars();
  image.Close();

  // The block transfer is closed however the transfer ended. A device may
  // refuse to close a transfer that a cancel left incomplete; the update
  // stops either way, so the cancel stays the result.
  if (net && !net->BlockTransferStop()) {
    if (result == fwr_Canceled) {
      LogError("TZorFirmwareClass.TransmitESPCode block transfer stop after cancel: " +
               device->GetErrorMessage());
    } else {
      DoMessage("Transmit user code failed: " + device->GetErrorMessage(), mtErr);
      result = fwr_WriteError;
    }
  }
  // Over the network the device got the encryption flag with the start of
  // the block transfer and decrypts on its own.
  if (!net && crypted && result == fwr_NoError) {
    DoMessage("Decrypting user code...", mtInfo);
    Log("TZorFirmwareClass.TransmitESPCode Unblow");
    ClearESPReadyMark(device);
    result = WriteDevice(device, CmdDecryptImage(FCodeCount));
    if (result != fwr_NoError)
      DoMessage("Transmit user code failed: " + device->GetErrorMessage(), mtErr);
    else
      result = WaitESPReady(device);
  }
  if (result == fwr_NoError)
    DoMessage("Transmitting user code finished: 0x" + IntToHex(FCodeCount, 6) + " (" +
                  ByteCountToText(FCodeCount) + ")",
              mtInfo);
  return result;
}

void TZorFirmwareClass::ClearESPReadyMark(TZor_BaseDevice *device) {
  // Reading the mark resets it: a restart of the data stream from before the
  // command cannot be taken for the device's ready sign, while one that comes
  // at once after it is still seen by WaitESPReady.
  if (device->GetReceiveBufferCleared()) Log("WaitESPReady vorhandenes BufferCleared abgeräumt");
}

int TZorFirmwareClass::WaitESPReady(TZor_BaseDevice *device) {
  if (!device) return fwr_InvalidParameter;
  DoProgress(tpt_SetPosition, 0, "seconds");
  DoProgress(tpt_SetMax, cReadySeconds, "seconds");
  Log("WaitESPReady FW-Version=" + std::to_string(FFirmwareVersion));
  const bool readyReport = FFirmwareVersion >= cReadyReportFirmware;
  const bool readOnDemand = device->GetDevType() == Zor_CDC && device->GetContextTool();

  int result = fwr_ProgrammingFailed;
  const uint32_t start = platform::GetTicks();
  uint32_t shown = 0;  // seconds passed on the progress bar
  for (uint32_t elapsed = 0; elapsed < cReadySeconds * 1000u; elapsed = platform::TicksSince(start)) {
    if (elapsed / 1000 > shown) {
      DoProgress(tpt_StepBy, elapsed / 1000 - shown, "seconds");
      shown = elapsed / 1000;
    }
    ProcessMessages();
    if (FCancelUpdate) {
      DoMessage("Canceled by user", mtInfo);
      result = fwr_Canceled;
      break;
    }
    Log("WaitESPReady vor GetReport");
    // Armed before the read, so data arriving after it ends the wait below.
    device->GetReceiveEvent().Reset();
    std::string report;
    NextReport(report);
    // Reading the mark resets it, so it is read once per round.
    const bool cleared = device->GetReceiveBufferCleared();
    if (!readyReport && cleared) {
      Log("WaitESPReady: BufferCleared");
      result = fwr_NoError;
      break;
    }
    if (readyReport && BytesToHex(report) == "7EFE") {
      Log("WaitESPReady: ReadyMsg");
      result = fwr_NoError;
      break;
    }
    if (cleared) Log("WaitESPReady: BufferCleared");
    // Nothing came: wait for data until the current second is over (the
    // ready report follows the image check within moments). A virtual COM
    // port in tools mode is read only when asked (NextReport), so nothing
    // would signal the event meanwhile: it is asked again shortly instead.
    if (report.empty() && !cleared) {
      if (readOnDemand)
        PauseProcessing(std::min<uint32_t>(cOnDemandPollMs, 1000 - elapsed % 1000));
      else
        PauseProcessing(1000 - elapsed % 1000, &device->GetReceiveEvent());
    }
  }
  DoProgress(tpt_SetPosition, 0, "seconds");
  FreeReportDevice();
  if (result == fwr_ProgrammingFailed) DoMessage("Programming failed: No response", mtErr);
  return result;
}

int TZorFirmwareClass::SwitchFactoryPartition() {
  TActionScope scope(*this);
  if (scope.Refused()) return RefuseBusy("SwitchFactoryPartition");
  TZor_BaseDevice *device = FBaseDevice;
  if (!device || !IsESP(device)) return fwr_InvalidParameter;
  FZustandNachReset = false;
  Log("TZorFirmwareClass.SwitchFactoryPartition");
  DoMessage(std::string(61, '*'), mtInfo);

  if (FConnectedUserString.empty()) {
    const int r = CheckConnectedUser();
    if (r == fwr_TooManyUser) {
      DoMessage("Switch back to Factory Partition denied: other users connected: \r\n" + FConnectedUserString,
                mtErr);
      return r;
    }
    if (r != fwr_NoError) return r;
  }

  DoMessage("Switch back to factory partition...", mtInfo);
  HandOverLogin(device);
  int result = OpenDevice(device, true, true);
  if (result != fwr_NoError) return result;
  result = WriteDevice(device, CmdFactoryPartition());
  if (result != fwr_NoError)
    CloseDevice(device, false);
  else
    result = WaitDeviceReady(FFlashVariables.SerialNumber, false);

  if (result != fwr_NoError)
    DoMessage("Switch back to Factory Partition failed: " + ErrorText(result), mtErr);
  else
    DoMessage("Switched back to factory partition", mtInfo);
  return result;
}

}  // namespace zor
