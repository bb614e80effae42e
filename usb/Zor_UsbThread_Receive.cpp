// The receive steps of the USB I/O thread: CDC blocks of ColdFire devices and
// the binary report stream of ESP devices, routed to the device object of the
// user slot each unit belongs to.
#include <algorithm>

#include "device/Zor_CDCBlockData.h"
#include "device/Zor_Commands.h"
#include "device/Zor_ProcessReport.h"
#include "foundation/CircularBuffer.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "usb/Zor_UsbDevice.h"
#include "usb/Zor_UsbThread.h"

namespace zor {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// The device's ring is addressed with the 18 bits of the report header.
constexpr uint32_t cRingModulus = 0x40000;
// Larger bodies cannot come from the device: the header is garbage.
constexpr uint32_t cMaxCDCBodySize = 1u << 16;
constexpr size_t cESPReadSize = 1024;

bool IsSlot(unsigned u) { return u >= 1 && u <= 4; }

std::string Str(uint64_t v) { return std::to_string(v); }

// Bytes to drop so that the data start at a report magic: up to the first
// magic, or all but a tail that may be the beginning of one.
size_t BytesBeforeMagic(const std::string &data) {
  size_t at = FindMagic(data);
  if (at != std::string::npos) return at;
  size_t keep = std::min<size_t>(3, data.size());
  while (keep > 0 && data.compare(data.size() - keep, keep, cRecordMagic, keep) != 0) --keep;
  return data.size() - keep;
}

// Where a new CDC header may start in bytes that did not form a valid one.
size_t NextCDCHeaderCandidate(const std::string &data) {
  for (size_t p = 1; p < data.size(); ++p) {
    size_t n = std::min<size_t>(4, data.size() - p);
    bool match = true;
    for (size_t i = 0; i < n && match; ++i) match = static_cast<uint8_t>(data[p + i]) == 0xBF;
    if (match) return p;
  }
  return data.size();
}

uint32_t LittleEndianWord(const std::string &bytes) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i) v |= uint32_t{static_cast<uint8_t>(bytes[i])} << (8 * i);
  return v;
}

bool ScramblerFits(uint16_t header, uint8_t c) {
  const unsigned bits = (header >> 4) & 3;
  return (c == 0x50 && bits == 0) || (c == 0x5E && bits == 1) || (c == 0x5F && bits == 2);
}

// Ends an awaited setting response when the measurement header shows it took effect.
void CheckSettingResponse(TZor_UsbDevice &target, uint16_t old, uint16_t header) {
  const std::string last = target.GetLastCommand();
  const uint8_t cmd = last.empty() ? 0 : static_cast<uint8_t>(last[0]);
  const uint8_t c = cmd & 0x0F;
  const std::string values = "old=" + IntToHex(old, 4) + ", new=" + IntToHex(header, 4);
  std::string why;
  switch (target.GetCmdResponse()) {
    case crt_interval:
      if ((old & 0x0F00) != (header & 0x0F00))
        why = "interval changed: " + values;
      else if (c == ((old >> 8) & 0x0F))
        why = "same interval: " + values;
      break;
    case crt_mode:
      if ((old & 0xF000) != (header & 0xF000))
        why = "mode changed: " + values;
      else if (c == ((old >> 12) & 0x0F))
        why = "same mode: " + values;
      break;
    case crt_scrambler:
      if (old == 0xFFFF) {
        if (ScramblerFits(header, cmd)) why = "scrambler ok: old=FFFF, new=" + IntToHex(header, 4);
      } else if ((old & 0x30) == (header & 0x30)) {
        if (ScramblerFits(header, cmd)) why = "same scrambler: " + values;
      } else {
        why = "scrambler changed: " + values;
      }
      break;
    case crt_channel: why = "for channel cmd"; break;
    case crt_phaseReset: why = "for phase reset"; break;
    default: return;
  }
  if (!why.empty()) {
    LogText(target.GetLogId(), "TZor_UsbThread.ReadESP LUMMeasurement, " + why);
    target.SetCmdResponse(crt_none);
  }
  LogText(target.GetLogId(), "TZor_UsbThread.ReadESP LUMMeasurement CmdResponse=" +
                                 CmdResponseTypeToText(target.GetCmdResponse()));
}

}  // namespace

// ---- port reads and the common failure rules ------------------------------------------------

TZor_UsbThread::TReadOutcome TZor_UsbThread::ReadPort(std::string &data, size_t count, bool exact) {
  data.clear();
  std::shared_ptr<platform::TZor_SerialPort> port;
  uint32_t timeout;
  uint32_t firstWait;
  {
    Guard g(FLockObj);
    if (FOwner) FReadTimeoutMs = std::max<uint32_t>(1, FOwner->GetReadTimeoutMs());
    timeout = FReadTimeoutMs;
    FShortWait = FSendWaitMs >= 0 && static_cast<uint32_t>(FSendWaitMs) < timeout;
    firstWait = FShortWait ? static_cast<uint32_t>(FSendWaitMs) : timeout;
    port = FDevHandle;
    if (exact && !FCDCPending.empty()) {
      data = FCDCPending.substr(0, count);
      FCDCPending.erase(0, data.size());
    }
  }
  if (!port) {
    // The port was closed on purpose (CloseUSB): nothing more to read.
    LogText(FLogId, "TZor_UsbThread: port closed -> terminate");
    Terminate();
    return TReadOutcome::cancelled;
  }
  {
    std::lock_guard<std::mutex> g(FWakeLock);
    if (FTerminated) return TReadOutcome::cancelled;
    FReadingPort = port;
  }
  struct TClear {
    TZor_UsbThread &T;
    ~TClear() {
      std::lock_guard<std::mutex> g(T.FWakeLock);
      T.FReadingPort.reset();
    }
  } clear{*this};
  uint32_t start = platform::GetTicks();
  uint32_t wait = data.empty() ? firstWait : timeout;
  while (data.size() < count) {
    std::string piece;
    platform::TZor_IoResult r = port->Read(piece, count - data.size(), wait);
    if (r == platform::TZor_IoResult::ioOk) {
      if (data.empty()) start = platform::GetTicks();  // the deadline runs from the first byte
      data += piece;
      if (!exact) break;
    } else if (r == platform::TZor_IoResult::ioTimeout) {
      break;
    } else if (r == platform::TZor_IoResult::ioCancelled) {
      // A cancel only hurries a read that has nothing yet (a new command, or the end).
      if (data.empty() || FTerminated) return data.empty() ? TReadOutcome::cancelled : TReadOutcome::ok;
    } else {
      FReadError = port->GetLastError();
      return TReadOutcome::failed;
    }
    const uint32_t elapsed = platform::TicksSince(start);
    if (elapsed >= timeout) break;
    wait = timeout - elapsed;
  }
  return data.empty() ? TReadOutcome::nothing : TReadOutcome::ok;
}

bool TZor_UsbThread::IsBehindReset() {
  if (!FOwner) return false;
  const std::string last = FOwner->GetLastCommand();
  return last.size() >= 2 && static_cast<uint8_t>(last[0]) == 0x85 && last[1] == 0x50;
}

void TZor_UsbThread::ReadFailed(const std::string &ignoreLine, const std::string &message) {
  bool behindReset;
  {
    Guard g(FLockObj);
    behindReset = IsBehindReset();
    if (behindReset) {
      LogErr(FLogId, ignoreLine);
    } else {
      std::string text =
          message + ": (" + Str(FReadError.Code) + ")=" + platform::SystemErrorText(FReadError);
      if (FOwner) {
        FOwner->SetSystemErrorText(FReadError, message);
        text = FOwner->GetErrorMessage();
      }
      LogErr(FLogId, "Zor_UsbThread: " + text);
      TerminateWithError(FReadError.Code, text);
      return;
    }
  }
  // The restarting device's port stays broken until it is gone: wait as a
  // read would have, so the timeout rule ends the thread instead of a spin.
  PauseMs(FReadTimeoutMs);
  Guard g(FLockObj);
  CountTimeout(FIsESP ? "TZor_UsbThread.ReadESPNoReceive timeout count (" + Str(FTimeoutCountLimit) +
                            ") expired: terminate Thread"
                      : "ReadCDCBlock: nothing received, terminate Thread",
               FIsESP ? "TZor_UsbThread.ReadESPNoReceive: timeout count =" : "ReadCDCBlock: timeout count =");
}

void TZor_UsbThread::CountTimeout(const std::string &limitMessage, const std::string &ignoreHead) {
  if (++FTimeoutCount > FTimeoutCountLimit) {
    LogErr(FLogId, "Zor_UsbThread: " + limitMessage);
    TerminateWithError(platform::ERR_TIMEOUT, limitMessage);
  } else {
    LogText(FLogId, ignoreHead + Str(FTimeoutCount) + " -> ignore");
  }
}

// Shared rules of a read that brought nothing; false when commands wait.
bool TZor_UsbThread::NothingReceived(const std::string &closeMessage, const std::string &refClockLine) {
  if (FTerminateOnTimeout) {
    if (FTimeoutExpected)
      LogText(FLogId, "Zor_UsbThread: " + closeMessage);
    else
      LogErr(FLogId, "Zor_UsbThread: " + closeMessage);
    TerminateWithError(platform::ERR_TIMEOUT, closeMessage);
    return true;
  }
  if (FOwner && FOwner->GetReferenceClockError()) {
    LogErr(FLogId, refClockLine);
    return true;
  }
  return false;
}

void TZor_UsbThread::WriteReceive(TZor_UsbDevice *target, const std::string &data, bool insert,
                                  const std::string &overflowLine) {
  TCircularBuffer &buffer = target->GetReceiveBuffer();
  auto put = [&] { return insert ? buffer.InsertAnsiString(data) : buffer.WriteAnsiString(data); };
  if (put()) return;
  target->SetBufferOverflow();
  LogErr(target->GetLogId(), overflowLine);
  buffer.Clear();
  put();
}

TZor_UsbDevice *TZor_UsbThread::FindWaiting(uint8_t u, bool newestFirst, bool espRule) {
  auto search = [&](auto pred) -> TZor_UsbDevice * {
    if (newestFirst) {
      for (auto it = FNewDevices.rbegin(); it != FNewDevices.rend(); ++it)
        if (pred(*it)) return *it;
    } else {
      for (TZor_UsbDevice *d : FNewDevices)
        if (pred(d)) return d;
    }
    return nullptr;
  };
  TZor_UsbDevice *d = search([&](TZor_UsbDevice *x) {
    return x->GetUserID() == u || (!IsSlot(x->GetUserID()) && x->GetRegisterID() == u);
  });
  if (d) return d;
  return search([&](TZor_UsbDevice *x) {
    return !IsSlot(x->GetRegisterID()) && (!espRule || !IsSlot(x->GetUserID()));
  });
}

void TZor_UsbThread::MoveToSlot(TZor_UsbDevice *d, uint8_t u, const char *tag) {
  std::erase(FNewDevices, d);
  FDevices[u] = d;
  LogText(FLogId, std::string("TZor_UsbThread.") + tag + " FDevices[" + Str(u) + "]=" + d->ToUserString());
}

TZor_UsbDevice *TZor_UsbThread::FirstWaitingAccepted() {
  for (TZor_UsbDevice *d : FNewDevices)
    if (!d->GetTooManyUsers()) return d;
  return nullptr;
}

// ---- ColdFire: CDC blocks -------------------------------------------------------------------

void TZor_UsbThread::ReadCDCBlock() {
  std::string head;
  TReadOutcome r = ReadPort(head, cCDCHeaderSize, true);
  if (r == TReadOutcome::cancelled) return;
  if (r == TReadOutcome::failed)
    return ReadFailed("ReadCDCBlock: ignore read error after reset cmd", "Reading from USB failed");
  if (r == TReadOutcome::nothing) {
    Guard g(FLockObj);
    // A read cut short for a command that is due is no timeout.
    if (FShortWait) return;
    if (!FCmdList.empty()) {
      LogErr(FLogId, "ReadCDCBlock: nothing received, but pending commands");
      return;
    }
    if (NothingReceived("ReadCDCBlock: nothing received, terminate Thread",
                        "ReadCDCBlock: timeout during reference clock error -> ignore"))
      return;
    CountTimeout("ReadCDCBlock: nothing received, terminate Thread", "ReadCDCBlock: timeout count =");
    return;
  }
  TCDCBlockHeader h;
  h.Read(head);
  auto formatError = [&](const std::string &message, const std::string &blockData,
                         const std::string &streamLine) {
    Guard g(FLockObj);
    FLastError = cBadFormat;
    FErrorMessage = message;
    LogErr(FLogId, "### " + message + ", BlockData=" + blockData + " ###");
    LogErr(FLogId + 1, streamLine);
  };
  if (head.size() < cCDCHeaderSize) {
    formatError(
        "ReadCDCBlock: not enough bytes! requested=" + Str(cCDCHeaderSize) + ", received=" + Str(head.size()),
        BytesToHex(head), "CDC block unswapped=" + BytesToHex(head));
    return;
  }
  if (!h.IsValid() || h.GetSize() > cMaxCDCBodySize) {
    formatError("ReadCDCBlock: CDC-Header-Block has bad format", h.WordsText(), "CDC block=" + h.WordsText());
    // Resynchronise at the next possible header instead of reading blocks out of step.
    Guard g(FLockObj);
    FCDCPending = head.substr(NextCDCHeaderCandidate(head)) + FCDCPending;
    return;
  }
  std::string body;
  r = h.GetSize() ? ReadPort(body, h.GetSize(), true) : TReadOutcome::ok;
  if (r == TReadOutcome::failed) {
    LogErr(FLogId + 1, "CDC block=" + h.WordsText());
    return ReadFailed("ReadCDCBlock: ignore read error after reset cmd",
                      "ReadCDCBlock: ReadFile CDC-Block failed");
  }
  if (body.size() < h.GetSize()) {
    formatError(
        "ReadCDCBlock: not enough bytes! requested=" + Str(h.GetSize()) + ", received=" + Str(body.size()),
        h.WordsText(), "too less " + h.Description() + "  " + BytesToHex(body));
    return;
  }
  Guard g(FLockObj);
  HandleCDCBlock(h, head, body);
}

void TZor_UsbThread::HandleCDCBlock(const TCDCBlockHeader &h, const std::string &head,
                                    const std::string &body) {
  FTimeoutCount = 0;
  const bool tools = h.HasFlag(cdc_ToolsData);
  uint8_t u = cCDCNoUser;
  TZor_UsbDevice *target = nullptr;
  bool ignore = false;
  if (tools) {
    LogText(FLogId, "TZor_UsbThread.ReadCDCBlock ToolsData");
    target = FToolsDataDevice ? FToolsDataDevice : FOwner;
    if (target) u = target->GetUserID();
    FToolsDataDevice = nullptr;
  } else {
    if (h.GetWritePtr() != 0 || h.GetReadPtr() != 0) {
      u = h.GetUser();
      if (IsSlot(u) && !FDevices[u]) {
        if (TZor_UsbDevice *d = FindWaiting(u, true, false)) MoveToSlot(d, u, "ReadCDCBlock");
      }
      if (!IsSlot(u) || !FDevices[u]) {
        LogErr(FLogId,
               "TZor_UsbThread.ReadCDCBlock FDevices[" + Str(u) + "]=nil, aber FNewDevices NICHT gefunden");
        LogDeviceLists();
        ignore = true;
      }
    } else {
      LogErr(FLogId, "TZor_UsbThread.ReadCDCBlock CDC-Header-Block: no user -> $FF ###");
    }
    if (!ignore && u == cCDCNoUser) {
      target = FirstWaitingAccepted();
      if (!target) {
        LogErr(FLogId, "TZor_UsbThread.ReadCDCBlock userid = $FF, aber in FNewDevices NICHT gefunden");
        LogDeviceLists();
      }
    } else if (!ignore) {
      target = FDevices[u];
    }
  }
  if (!target) ignore = true;
  if (FOwner && FOwner->GetLowLevelLog()) {
    LogText(FLogId, h.WordsText());
    LogText(FLogId, h.Description());
    LogText(FLogId, "### userid=" + Str(u) + " ###");
  }
  if (!ignore) AcceptCDCHeader(*target, u, h, head);

  const std::string payload(h.Payload(body));
  if (ignore) {
    LogErr(FLogId, "ReadCDCBlock: ignore invalid data " + BytesToHex(payload));
    LogText(FLogId + 1, "ignore " + h.Description() + "  " + BytesToHex(payload));
    return;
  }
  if (target->GetBinSaveRawData()) target->SaveBinaryData(body.data(), body.size());
  LogText(FLogId + 1, h.Description() + "  " + BytesToHex(payload));
  if (payload.empty()) return;
  if (!tools && FOwner && FOwner->GetDeviceStartState() == ds_unknown) FOwner->CheckTimeStampBytes(payload);
  if (tools) {
    const std::string line =
        "### ReadCDCBlock ToolsData Received(" + Str(payload.size()) + "): " + BytesToHex(payload);
    if (FOwner && FOwner->GetLowLevelLog()) LogText(FLogId, line);
    if (target->GetLowLevelLog() && target->GetLogId() != FLogId) LogText(target->GetLogId(), line);
    target->GetToolsBuffer().WriteAnsiString(payload);
    const int32_t flash = target->GetStatusReadFlash();
    if (flash > 0 && flash != 3) target->ReadFlash();
    return;
  }
  if (IsSlot(u) && FIgnoreDataUntilStreamInterrupted[u]) {
    LogText(FLogId, "### ReadCDCBlock.IgnoreDataUntilStreamInterrupted[" + Str(u) + "] (" +
                        Str(payload.size()) + "): " + BytesToHex(payload));
    target->GetReceiveBuffer().SetReceivedDataIgnored();
    return;
  }
  if (FOwner && FOwner->GetLowLevelLog())
    LogText(FLogId, "### ReadCDCBlock (" + Str(payload.size()) + "): " + BytesToHex(payload));
  std::string data = payload;
  if ((data.size() == 21 || data.size() == 37) && static_cast<uint8_t>(data[2]) == 0x7F &&
      static_cast<uint8_t>(data[3]) == 0xFA && data.find("Too Many") != std::string::npos) {
    target->SetTooManyUsers();
    LogText(FLogId, "ReadCDCBlock: Too Many Users (" + target->ToUserString() + ")");
    if (data.size() == 37) {
      const std::string users = data.substr(21, 16);
      LogText(FLogId, "ReadCDCBlock: Too Many Users connected=" + BytesToHex(users));
      target->SetUserConnected(users);
      data.resize(21);
    }
  }
  WriteReceive(target, data, false, "ReadCDCBlock Buffer overflow -> Buffer cleared");
  if (!target->GetBinSaveRawData()) target->SaveBinaryData(data.data(), data.size());
}

void TZor_UsbThread::AcceptCDCHeader(TZor_UsbDevice &target, uint8_t u, const TCDCBlockHeader &h,
                                     const std::string &head) {
  LogText(FLogId, "TZor_UsbThread.ReadCDCBlock target " + target.ToUserString());
  if (target.GetBinSaveRawData()) target.SaveBinaryData(head.data(), head.size());
  if (FLastError == cBadFormat) {
    const std::string frame =
        BuildTextFrame(MakeReport(rid_ErrorMessage, "Read error on USB. USB frames lost"));
    LogText(FLogId, "Lesen jetzt ok -> Fehlermeldung ERROR_BAD_FORMAT nachholen: " + BytesToHex(frame));
    FLastError = 0;
    FErrorMessage.clear();
    WriteReceive(&target, frame, true, "ReadCDCBlock: Receive buffer overflow, buffer cleared");
  }
  if (IsSlot(u)) {
    if (!IsSlot(target.GetUserID())) {
      target.SetCFUserID(u);
      LogText(FLogId, "### ReadCDCBlock: CF-UserID=" + Str(u));
    } else if (target.GetUserID() != u) {
      LogErr(FLogId,
             "ReadCDCBlock target.UserID stimmt nicht, soll=" + Str(u) + ", ist=" + Str(target.GetUserID()));
    }
  }
  if ((FisReconnected || target.GetIsReconnected()) && h.HasFlag(cdc_RepeatAddr)) {
    // Checked once per resumption: afterwards the stream runs on from here.
    FisReconnected = false;
    const uint32_t expected = h.GetByteCount() + target.GetPeerRepeatAddr();
    if (h.GetRepeatAddr() != expected) {
      LogErr(FLogId, "RepeatAddress failed: expected=" + IntToHex(target.GetPeerRepeatAddr(), 8) +
                         ", found=" + IntToHex(h.GetRepeatAddr(), 8));
      target.SetReconnectFailed(h.IsConsistent(), h.HasFlag(cdc_BufferCleared));
    }
  }
  target.SetCFBufferAmount(h.GetWaitingBytes());
  if (target.GetLowLevelLog())
    LogText(FLogId, "### ReadCDCBlock: CF-UserBuffer amount " + Str(h.GetWaitingBytes()));
  if (h.HasFlag(cdc_BufferCleared)) {
    target.GetReceiveBuffer().Clear();
    LogText(FLogId, "ReadCDCBlock: BufferCleared");
    if (IsSlot(u) && FIgnoreDataUntilStreamInterrupted[u]) {
      LogText(FLogId, "ReadCDCBlock: Reset IgnoreDataUntilStreamInterrupted[" + Str(u) + "]");
      FIgnoreDataUntilStreamInterrupted[u] = false;
    }
    target.GetReceiveBuffer().SetReceivedDataIgnored();
  }
  if (h.HasFlag(cdc_ChannelSelection)) {
    const uint32_t v = h.GetChannelSelection();
    const std::string frame =
        BuildTextFrame(MakeReport(rid_ChannelSelection, IntToBigEndianText32(v).substr(1)));
    WriteReceive(&target, frame, true, "ReadCDCBlock: Receive buffer overflow, buffer cleared");
    if (!target.GetBinSaveRawData()) target.SaveBinaryData(frame.data(), frame.size());
    LogText(FLogId, "### ReadCDCBlock ChannelSelectionData added: " + BytesToHex(frame));
  }
  if (h.HasFlag(cdc_MultiUser)) target.SetMultiUSB();
  if (h.HasFlag(cdc_RepeatAddr)) target.SetPeerRepeatAddr(h.GetRepeatAddr());
}

// ---- ESP: binary reports ------------------------------------------------------------------------

bool TZor_UsbThread::ResumptionUnconfirmed() {
  return FisReconnected || (FOwner && FOwner->GetIsReconnected());
}

void TZor_UsbThread::ReadESPNoReceive() {
  if (FShortWait) return;
  if (!FCmdList.empty()) {
    LogText(FLogId, "TZor_UsbThread.ReadESPNoReceive: pending commands");
    if (FOwner && FOwner->GetCmdResponse() == crt_login) {
      if (FLoginTicks == 0) {
        FLoginTicks = platform::GetTicks() | 1;
        LogText(FLogId, "TZor_UsbThread.ReadESPNoReceive: start login ticks");
      } else if (platform::TicksSince(FLoginTicks) > LoginTimeoutMs) {
        const std::string message = "TZor_UsbThread.ReadESPNoReceive wait login expired: terminate Thread";
        LogErr(FLogId, "Zor_UsbThread: " + message);
        TerminateWithError(platform::ERR_TIMEOUT, message);
      }
    } else {
      FLoginTicks = 0;
    }
    return;
  }
  if (NothingReceived("TZor_UsbThread.ReadESPNoReceive terminate on timeout: terminate Thread",
                      "TZor_UsbThread.ReadESPNoReceive: timeout during reference clock error -> ignore"))
    return;
  CountTimeout("TZor_UsbThread.ReadESPNoReceive timeout count (" + Str(FTimeoutCountLimit) +
                   ") expired: terminate Thread",
               "TZor_UsbThread.ReadESPNoReceive: timeout count =");
}

void TZor_UsbThread::QueueMissingDisconnects() {
  if (!FNewDevices.empty() || FMissingDisconnects.empty()) return;
  LogText(FLogId, "TZor_UsbThread.ReadESP: MissingDisconnects.Count=" + Str(FMissingDisconnects.size()) +
                      " -> disconnect orphaned users");
  for (size_t i = FMissingDisconnects.size(); i-- > 0;) {
    const std::string entry = FMissingDisconnects[i];
    bool queued = std::any_of(FCmdList.begin(), FCmdList.end(),
                              [&](const TCmdEntry &e) { return !e.Device && e.Data == entry; });
    if (queued) {
      LogText(FLogId, "TZor_UsbThread.ReadESP: ignore disconnect=" + entry);
    } else {
      LogText(FLogId, "TZor_UsbThread.ReadESP: disconnect=" + entry);
      AddCommand(entry, nullptr);
    }
  }
  FMissingDisconnects.clear();
}

bool TZor_UsbThread::ReadESP() {
  std::string in;
  TReadOutcome r = ReadPort(in, cESPReadSize, false);
  if (r == TReadOutcome::cancelled) return true;
  if (r == TReadOutcome::failed) {
    {
      Guard g(FLockObj);
      LogErr(FLogId, "TZor_UsbThread.ReadESP Buffer (" + Str(FReadError.Code) +
                         ")=" + platform::SystemErrorText(FReadError) + " ###");
    }
    ReadFailed("ReadESP: ignore read error after reset cmd", "Reading from USB failed");
    return true;
  }
  Guard g(FLockObj);
  if (r == TReadOutcome::nothing) {
    ReadESPNoReceive();
    ++FemptyCount;
    FmaxReport = std::max(FmaxReport, FReportCount);
    FReportCount = 0;
    return true;
  }
  FTimeoutCount = 0;
  ++FReadCalls;
  FmaxBytesRead = std::max<uint32_t>(FmaxBytesRead, static_cast<uint32_t>(in.size()));
  FTotalBytesRead += in.size();
  const bool lowLevel = FOwner && FOwner->GetLowLevelLog();
  if (lowLevel) LogText(FLogId, "TZor_UsbThread.ReadESP Buffer BytesRead=" + Str(in.size()));
  FremainingData += in;
  bool result = false;
  while (!FTerminated) {
    std::string &rest = FremainingData;
    if (rest.size() < cRecordHeaderSize) {
      if (!rest.empty())
        LogText(FLogId, "TZor_UsbThread.ReadESP: Too less bytes expected=16 read=" + Str(rest.size()));
      break;
    }
    if (rest.compare(0, 4, cRecordMagic, 4) != 0) {
      const size_t n = BytesBeforeMagic(rest);
      const std::string dropped = rest.substr(0, n);
      const bool noMagic = n + 4 > rest.size();
      const std::string hex = lowLevel ? std::string() : "=" + BytesToHex(dropped);
      if (FfirstReceive) {
        LogText(FLogId, noMagic ? "TZor_UsbThread.ReadESP first receive: ignore bytes" + hex
                                : "TZor_UsbThread.ReadESP first receive: skip " + Str(n) +
                                      " bytes before magic -> " + BytesToHex(dropped));
        LogText(FLogId + 1, BytesToHex(dropped));
      } else if (ResumptionUnconfirmed()) {
        LogText(FLogId, "TZor_UsbThread.ReadESP: ignore Magic error after reconnect" + hex);
        LogText(FLogId + 1, BytesToHex(dropped));
      } else {
        FLastError = cBadFormat;
        FErrorMessage = "Input data format error: Magic error in " + BytesToHex(dropped);
        LogErr(FLogId, noMagic ? "TZor_UsbThread.ReadESP: magic error -> ignore bytes" + hex
                               : "TZor_UsbThread.ReadESP: skip " + Str(n) + " bytes before magic -> " +
                                     BytesToHex(dropped));
        LogErr(FLogId + 1, BytesToHex(dropped));
      }
      rest.erase(0, n);
      continue;
    }
    TZor_RecordHeader header;
    if (ReadRecordHeader(rest, header) == rs_BadCount) {
      const std::string bad = rest.substr(0, cRecordHeaderSize);
      FLastError = cBadFormat;
      FErrorMessage = "Input data format error in " + BytesToHex(bad);
      LogErr(FLogId, "TZor_UsbThread.ReadESP: invalid data=" + BytesToHex(bad));
      rest.erase(0, 1 + BytesBeforeMagic(rest.substr(1)));
      continue;
    }
    if (HasMagicAtOffset8(rest)) {
      const std::string cut = rest.substr(0, 8);
      if (ResumptionUnconfirmed()) {
        LogText(FLogId,
                "TZor_UsbThread.ReadESP reconnected second magic: skip 8 bytes -> " + BytesToHex(cut));
      } else {
        FLastError = cBadFormat;
        FErrorMessage = "Input data format error: second magic" + BytesToHex(cut);
        LogErr(FLogId, "TZor_UsbThread.ReadESP second magic: skip 8 bytes -> " + BytesToHex(cut));
      }
      rest.erase(0, 8);
      continue;
    }
    const size_t length = header.Size();
    if (int s = FindMagicInValues(std::string_view(rest).substr(0, length)); s > 0) {
      const size_t n = cRecordHeaderSize + cRecordValueSize * static_cast<size_t>(s - 1);
      if (ResumptionUnconfirmed()) {
        LogText(FLogId, "TZor_UsbThread.ReadESP: reconnected header in values[" + Str(s) + "] -> skip " +
                            Str(n) + " bytes");
      } else {
        FLastError = cBadFormat;
        FErrorMessage = "Input data format error: Magic error in Values";
        LogErr(FLogId,
               "TZor_UsbThread.ReadESP: found header in values[" + Str(s) + "] -> skip " + Str(n) + " bytes");
        LogErr(FLogId + 1, "skipped " + Str(n) + " bytes: " + BytesToHex(rest.substr(0, n)));
      }
      rest.erase(0, n);
      continue;
    }
    if (rest.size() < length) {
      LogText(FLogId,
              "TZor_UsbThread.ReadESP: Too less bytes expected=" + Str(length) + " read=" + Str(rest.size()));
      break;
    }
    ++FReportCount;
    ++FTotalReports;
    FmaxEmpty = std::max(FmaxEmpty, FemptyCount);
    FemptyCount = 0;
    const std::string raw = rest.substr(0, length);
    rest.erase(0, length);
    if (HandleESPReport(raw)) result = true;
  }
  if (lowLevel) LogText(FLogId, "TZor_UsbThread.ReadESP while END BytesRead=(" + Str(in.size()) + ")");
  QueueMissingDisconnects();
  return result;
}

bool TZor_UsbThread::HandleESPReport(const std::string &raw) {
  TZor_Record record;
  if (ReadRecord(raw, record) != rs_Ok) return false;
  const TZor_RecordHeader &h = record.Header;
  const uint32_t next = h.NextBufferPtr(cRingModulus);
  const bool noUser = h.Type == rt_Status && h.Word == cStatusTooManyUsers;
  const bool bufferCleared = h.Type == rt_Status && h.Word == cStatusBufferCleared;
  unsigned u = noUser ? cCDCNoUser : h.UserIdMinus1() + 1u;
  auto skipReport = [&] {
    if (FOwner) FOwner->SetPeerRepeatAddr(next);
  };
  const std::string text = DescribeRecord(record);
  if (u != cCDCNoUser && !IsSlot(u)) {
    FLastError = cBadFormat;
    FErrorMessage = "Invalid user ID " + Str(u);
    LogErr(FLogId, "TZor_UsbThread.ReadESP: " + FErrorMessage + " -> ignore report " + text);
    skipReport();
    return false;
  }
  LogText(FLogId, "TZor_UsbThread.ReadESP: " + text);
  LogText(FLogId + 1, RecordStreamLogLine(record));

  if (IsSlot(u) && !FDevices[u]) {
    TZor_UsbDevice *d = FindWaiting(static_cast<uint8_t>(u), false, true);
    if (d) {
      if (d->GetLoginState() == ls_waitBufferCleared && bufferCleared)
        d->SetLoginState(ls_waitVersion);
      else if (d->GetLoginState() == ls_waitVersion && h.Type == rt_Message && h.Word == rid_Version)
        d->SetLoginState(ls_registered);
      if (d->GetLoginState() != ls_registered) {
        LogText(FLogId, "TZor_UsbThread.ReadESP: target not registered");
        d = nullptr;
      }
    }
    const std::string entry = "UserID=" + Str(u);
    const bool missing =
        std::find(FMissingDisconnects.begin(), FMissingDisconnects.end(), entry) != FMissingDisconnects.end();
    if (d) {
      MoveToSlot(d, static_cast<uint8_t>(u), "ReadESP");
      FLastCmdDevice = d;
      if (d != FOwner && FOwner) d->SetPeerRepeatAddr(FOwner->GetPeerRepeatAddr());
      if (missing) LogText(FLogId, "TZor_UsbThread.ReadESP delete MissingDisconnect=" + entry);
      std::erase(FMissingDisconnects, entry);
      FClosedDevices &= static_cast<uint8_t>(~(1u << (u - 1)));
      if (d != FOwner && FOwner) d->ReportHardFeature32(FOwner->GetHardFeature32());
    } else {
      if (h.Type == rt_NVSData) {
        for (unsigned k = 1; k <= 4 && !d; ++k) {
          if (!FDevices[k]) continue;
          d = FDevices[k];
          LogText(FLogId, "TZor_UsbThread.ReadESP NVS userId(" + Str(u) + ") umbiegen auf FDevices[" +
                              Str(k) + "]=" + d->ToUserString());
          u = k;
        }
      }
      if (!d) {
        if (missing)
          LogText(FLogId, "TZor_UsbThread.ReadESP orphaned userId=" + Str(u));
        else
          LogErr(FLogId,
                 "TZor_UsbThread.ReadESP FDevices[" + Str(u) + "]=nil, aber FNewDevices NICHT gefunden");
        LogText(FLogId, "TZor_UsbThread.ReadESP: -> ignore report");
        skipReport();
        FTimeoutCount = 0;
        if (!missing) {
          const uint8_t bit = static_cast<uint8_t>(1u << (u - 1));
          if (FClosedDevices & bit) {
            LogText(FLogId, "TZor_UsbThread.ReadESP no MissingDisconnect: userId=" + Str(u) +
                                " FClosedDevices=" + IntToHex(FClosedDevices, 2));
            FClosedDevices &= static_cast<uint8_t>(~bit);
          } else {
            FMissingDisconnects.push_back(entry);
            LogErr(FLogId, "TZor_UsbThread.ReadESP MissingDisconnect=" + entry);
          }
        }
        return false;
      }
    }
  }

  TZor_UsbDevice *target;
  if (u == cCDCNoUser) {
    target = FirstWaitingAccepted();
    if (!target) {
      LogErr(FLogId, "TZor_UsbThread.ReadESP userid = $FF, aber in FNewDevices NICHT gefunden -> ignore");
      LogDeviceLists();
      skipReport();
      return false;
    }
    target->SetTooManyUsers();
    LogText(FLogId, "TZor_UsbThread.ReadESP userid = $FF, target=" + target->ToUserString());
  } else {
    target = FDevices[u];
    if (!IsSlot(target->GetUserID())) target->SetCFUserID(static_cast<uint8_t>(u));
  }
  if (target->GetLogId() != FLogId) LogText(target->GetLogId(), "TZor_UsbThread.ReadESP: " + text);

  // Continuity of the device's ring: a resumed stream must go on where it broke off.
  TZor_UsbDevice *owner = FOwner ? FOwner : target;
  const uint32_t expected = owner->GetPeerRepeatAddr();
  if (expected != 0 && expected != h.BufferPtr()) {
    LogErr(target->GetLogId(), "TZor_UsbThread.ReadESP BufferPtr[" + Str(u) + "]: expected=0x" +
                                   IntToHex(expected, 5) + " found=0x" + IntToHex(h.BufferPtr(), 5));
    if (ResumptionUnconfirmed()) {
      if (!FReconnectFailReported && platform::TicksSince(FRepeatAddrTicks) > 1000) {
        FReconnectFailReported = true;
        owner->SetReconnectFailed(false, bufferCleared);
        if (target != owner) target->SetReconnectFailed(false, bufferCleared);
      }
      LogErr(FLogId, "TZor_UsbThread.ReadESP BufferPtr[" + Str(u) + "]: ignore report during reconnect");
      return false;
    }
  } else {
    if (FisReconnected) {
      FisReconnected = false;
      LogText(FLogId, "TZor_UsbThread.ReadESP reset IsReconnected");
    }
    if (owner->GetIsReconnected()) owner->SetCFBufferAmount(0);
  }
  owner->SetPeerRepeatAddr(next);
  FTimeoutCount = 0;
  FfirstReceive = false;
  if (target->GetCmdResponse() == crt_login && target->GetLoginState() == ls_registered) {
    LogText(FLogId, "TZor_UsbThread.ReadESP Login ok: -> reset wait CmdResponse crt_login");
    target->SetCmdResponse(crt_none);
  }
  if (FLastError == cBadFormat) {
    const std::string message = BuildMessageRecord(FErrorMessage);
    LogText(FLogId, "Lesen jetzt ok -> Fehlermeldung ERROR_BAD_FORMAT nachholen: " + FErrorMessage);
    WriteReceive(target, message, false, "TZor_UsbThread.ReadESP Buffer overflow -> Buffer cleared");
    FLastError = 0;
    FErrorMessage.clear();
  }
  if (bufferCleared && IsSlot(u)) FIgnoreDataUntilStreamInterrupted[u] = false;
  DeliverESPReport(*target, static_cast<uint8_t>(u), record, raw);
  return true;
}

void TZor_UsbThread::TakeHardFeature(const TZor_Record &record) {
  const uint32_t word = LittleEndianWord(RecordValuesText(record));
  LogText(FLogId, "TZor_UsbThread.ReadESP HardFeature Received 0x" + IntToHex(word, 8));
  for (int k = 1; k <= 4; ++k)
    if (FDevices[k]) FDevices[k]->ReportHardFeature32(word);
  FReadHardFeatureRequested = false;
}

void TZor_UsbThread::DeliverESPReport(TZor_UsbDevice &target, uint8_t u, const TZor_Record &record,
                                      const std::string &raw) {
  const TZor_RecordHeader &h = record.Header;
  const bool item5 = h.Type == rt_NVSData && h.NVSKind() == 'i' && h.NVSNumber() == 5;
  const bool blob = h.Type == rt_NVSData && h.NVSKind() == 'b';
  bool tools = false, featureAnswer = false;
  if (h.Type == rt_ToolsData || h.Type == 'v') {
    tools = true;
    if (h.Type == rt_ToolsData && FReadHardFeatureRequested && target.GetFirmwareVersionNumber() < 109) {
      // The old firmware answers the hardware-feature read with tools data.
      LogText(FLogId, "response to readHardFeature");
      TakeHardFeature(record);
      tools = false;
      featureAnswer = true;
    }
  } else if (h.Type == rt_NVSData && !blob && !(item5 && FReadHardFeatureRequested)) {
    tools = true;
  }
  if (h.Type == rt_Status && h.Word < cStatusAckLimit) {
    const TCmdResponseType awaited = target.GetCmdResponse();
    LogText(FLogId, "TZor_UsbThread.ReadESP TransmitReport Is7020 old: CmdResponse=" +
                        CmdResponseTypeToText(awaited));
    if (awaited != crt_channel) target.SetCmdResponse(crt_none);
    LogText(FLogId, "TZor_UsbThread.ReadESP TransmitReport Is7020 new: CmdResponse=" +
                        CmdResponseTypeToText(target.GetCmdResponse()));
  }
  if (h.Type == rt_NVSData && target.GetCmdResponse() == crt_ReadNVS) {
    target.SetCmdResponse(crt_none);
    LogText(FLogId,
            "TZor_UsbThread.ReadESP TransmitReport IsNVS -> CmdResponse=" + CmdResponseTypeToText(crt_none));
  }
  if (tools) {
    const std::string payload = RecordValuesText(record);
    if (target.GetLowLevelLog())
      LogText(FLogId, "TZor_UsbThread.ReadESP ToolsData Received(" + Str(record.Values.size()) + "->" +
                          Str(payload.size()) + "): " + BytesToHex(payload));
    // A storage answer is kept under its item, so a late one is never taken for another.
    if (h.Type == rt_NVSData)
      target.StoreNVSAnswer(h.Word, payload);
    else
      target.GetToolsBuffer().WriteAnsiString(payload);
    return;
  }
  if (h.Type == rt_Debug) {
    if (target.GetLowLevelLog()) LogText(target.GetLogId(), "Debug" + RecordValuesText(record));
    LogText(FLogId + 2, DescribeRecord(record));
    return;
  }
  if (h.Type == rt_Status && h.Word == cStatusBufferCleared) {
    target.GetReceiveBuffer().Clear();
    LogText(FLogId, "TZor_UsbThread.ReadESP TransmitReport BufferCleared ###");
    target.GetReceiveBuffer().SetReceivedDataIgnored();
    return;
  }
  if (item5) {
    if (!target.GetLowLevelLog())
      LogText(FLogId, "TZor_UsbThread.ReadESP Received(" + Str(raw.size()) + "): " + BytesToHex(raw));
    TakeHardFeature(record);
    featureAnswer = true;
  }
  if (featureAnswer && !target.GetOpt7019()) return;
  const std::string overflow = "TZor_UsbThread.ReadESP Buffer overflow -> Buffer cleared";
  WriteReceive(&target, raw, false, overflow);
  if (blob) {
    LogText(FLogId, "TZor_UsbThread.ReadESP blob an alle FDevices weitergeben");
    for (int k = 1; k <= 4; ++k) {
      if (!FDevices[k] || FDevices[k] == &target) continue;
      LogText(FDevices[k]->GetLogId(),
              "TZor_UsbThread.ReadESP blob von user " + Str(u) + " übernehmen: " + DescribeRecord(record));
      WriteReceive(FDevices[k], raw, false, overflow);
    }
  }
  target.SaveBinaryData(raw.data(), raw.size());
  if (h.IsMeasurement()) {
    const uint16_t old = target.GetLUMReportHeader();
    const uint16_t header = RecordReportHeader(h, target.GetFlagVersion());
    target.SetLUMReportHeader(header);
    CheckSettingResponse(target, old, header);
  }
}

}  // namespace zor
