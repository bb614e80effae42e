#include "sim/SimEsp.h"

#include <algorithm>

#include "platform/Zor_Sys.h"
#include "sim/SimFormats.h"

namespace zor {

namespace {

// Below this version the device answers NVS reads with tools records ('q'),
// from it on with NVS records ('x').
const int NvsRecordFirstVersion = 109;
// From this version on the ready report is status 253; before, the device
// signals readiness by clearing its transmit buffer.
const int ReadyReportFirstVersion = 114;
const size_t NvsTextMax = 190;  // 24 values of 8 bytes, less the length byte
const size_t NvsBlockSize = 128;

uint32_t SwapBytes(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24); }

bool Is7020Command(const std::string &cmd) {
  if (cmd.size() != 1) return false;
  const uint8_t c = static_cast<uint8_t>(cmd[0]) & 0x7F;
  return c == 0x0A || (c >= 0x20 && c <= 0x2F) || (c >= 0x40 && c <= 0x5F);
}

}  // namespace

TSimEsp::TSimEsp(const TSimConfig &config) : TSimDevice(config) {
  // NVS integers travel least significant byte first; an address is stored
  // so that its bytes in that order are the octets in text order.
  FState.NvsIntegers = {{0, config.SerialNumber},
                        {1, 0},
                        {2, SwapBytes(config.IpAddress)},
                        {3, SwapBytes(config.Subnetmask)},
                        {4, SwapBytes(config.Gateway)},
                        {5, config.HardFeature},
                        {6, 0xFFFFFFFF},
                        {7, 0xFFFFFFFF},
                        {8, 0},
                        {9, 1152},
                        {10, 0}};
  FState.NvsStrings = {{0, config.NickName.empty() ? std::string(1, '\0') : config.NickName},
                       {1, std::string(1, '\0')}};
  FState.FirmwareVersion = config.FirmwareVersion;
  PowerUp();
}

void TSimEsp::Crypt(std::string &image, size_t from) {
  for (size_t i = from; i < image.size(); ++i)
    image[i] = static_cast<char>(static_cast<uint8_t>(image[i]) ^ ((i * 0x1D + 0xA5) & 0xFF));
}

size_t TSimEsp::ReceivedImageSize() const {
  std::lock_guard lock(FLock);
  return FImage.size();
}

void TSimEsp::DoPowerUp() {
  FRunningUpdate = FState.UpdatePartitionActive;
  FImage.clear();
  FReadyPending = false;
  FBlockActive = false;
  FBufferPtr = 0;
  FPowerUpTicks = platform::GetTicks();
  FNextTimeStamp = FPowerUpTicks;
  FNextHeartbeat = FPowerUpTicks + FConfig.Timings.HeartbeatIntervalMs;
}

uint32_t TSimEsp::NvsInteger(uint8_t n, uint32_t fallback) const {
  const auto it = FState.NvsIntegers.find(n);
  return it == FState.NvsIntegers.end() ? fallback : it->second;
}

uint32_t TSimEsp::DoIpAddress() const { return SwapBytes(NvsInteger(2, SwapBytes(FConfig.IpAddress))); }
uint32_t TSimEsp::DoSerialNumber() const { return NvsInteger(0, 0xFFFFFFFF); }

int TSimEsp::DoFirmwareVersion() const {
  if (FRunningUpdate && FState.UpdateFirmwareVersion >= 0) return FState.UpdateFirmwareVersion;
  return FState.FirmwareVersion;
}

void TSimEsp::SendRecord(uint8_t type, uint16_t w, uint32_t d, const std::string &values, TSimOutputKind kind,
                         uint8_t user) {
  TSimRecordHead head;
  head.Type = type;
  head.W = w;
  head.D = d;
  head.BufferPtr = FBufferPtr;
  head.User = user == 0 ? 1 : user;
  std::string rec = SimRecord(head, values);
  if (rec.empty()) {
    Log("record too long, not sent");
    return;
  }
  FBufferPtr = (FBufferPtr + SimRecordWords(rec)) & 0x3FFFF;
  Emit(kind, std::move(rec), user);
}

void TSimEsp::SendVersion(uint8_t user) {
  TSimVersionInfo info;
  info.Version = DoFirmwareVersion();
  info.HardFeature = NvsInteger(5, 0);
  info.Date = FConfig.FirmwareDate;
  info.Fpga = FConfig.FpgaVersion;
  info.SerialNumber = DoSerialNumber();
  info.Ip = FActiveIp;
  info.FirmwareName = FConfig.FirmwareName;
  info.User = user == 0 ? 1 : user;
  SendRecord(simRecMessage, simRepVersion, 0, SimTextValues(SimEspVersionText(info)), TSimOutputKind::Report,
             user);
}

void TSimEsp::DoConnected(uint8_t user) { SendVersion(user); }

void TSimEsp::DoTick(uint32_t now) {
  if (FReadyPending && int32_t(now - FReadyAt) >= 0) {
    FReadyPending = false;
    const bool report = DoFirmwareVersion() >= ReadyReportFirstVersion;
    SendRecord(simRecStatus, report ? simStatusReady : simStatusBufferCleared, 0, {}, TSimOutputKind::Report,
               0);
    Log(report ? "image ready" : "image ready (buffer cleared)");
  }
  const uint32_t stampEvery = FConfig.Timings.TimeStampIntervalMs;
  if (stampEvery != 0 && int32_t(now - FNextTimeStamp) >= 0) {
    SendRecord(simRecTime, 0, 1 + (now - FPowerUpTicks) / 100, {}, TSimOutputKind::Report, 0);
    FNextTimeStamp =
        int32_t(now - (FNextTimeStamp + stampEvery)) >= 0 ? now + stampEvery : FNextTimeStamp + stampEvery;
  }
  const uint32_t beatEvery = FConfig.Timings.HeartbeatIntervalMs;
  if (beatEvery != 0 && int32_t(now - FNextHeartbeat) >= 0) {
    SendRecord(simRecHeartbeat, 0, 0, SimHeartbeatValues((now - FPowerUpTicks) / 1000, FBufferPtr),
               TSimOutputKind::Report, 0);
    FNextHeartbeat = now + beatEvery;
  }
}

TSimAnswer TSimEsp::DoClassic(const std::string &cmd, uint8_t user, std::string &note) {
  const auto b0 = static_cast<uint8_t>(cmd[0]);
  if (cmd.size() == 1 && (b0 & 0x7F) == 0x01) {
    SendVersion(user);
    note = "version report";
  } else if (Is7020Command(cmd)) {
    // Setting commands are acknowledged with a status record carrying the command.
    SendRecord(simRecStatus, b0 & 0x7F, 0, {}, TSimOutputKind::Report, user);
    note = "acknowledged";
  } else {
    note = "accepted";
  }
  return TSimAnswer::Ok;
}

TSimAnswer TSimEsp::DoExtended(const std::string &cmd, uint8_t user, std::string &note) {
  switch (static_cast<uint8_t>(cmd[1])) {
    case '&': return ImagePiece(cmd, note);
    case 0x27: return DecryptImage(cmd, note);
    case '0':
      if (cmd.size() != 6) {
        note = "start programming without size";
        return TSimAnswer::Refused;
      }
      return CheckImage(SimReadBE32(cmd, 2), note);
    case '1': return SwitchPartition(false, note);
    case '2': return SwitchPartition(true, note);
    case 'E': return NvsRead(cmd, user, note);
    case '%': return NvsWrite(cmd, note);
    case '$':
      FState.NvsIntegers.clear();
      FState.NvsStrings.clear();
      FState.NvsBlocks.clear();
      note = "storage cleared";
      return TSimAnswer::Ok;
    case 0x42:
      if (cmd.size() != 3 || cmd[2] != 0x01) {
        note = "unknown status request";
        return TSimAnswer::Refused;
      }
      SendRecord(simRecTools, 0, 0, SimTextValues(UserEntry(1) + UserEntry(2) + UserEntry(3) + UserEntry(4)),
                 TSimOutputKind::Tools, user);
      note = "connected users";
      return TSimAnswer::Ok;
    case 0x60: note = "output stopped"; return TSimAnswer::Ok;
    default: note = "unsupported extended command"; return TSimAnswer::Refused;
  }
}

TSimAnswer TSimEsp::ImagePiece(const std::string &cmd, std::string &note) {
  const size_t len = cmd.size() < 6 ? 0 : cmd.size() - 6;
  const uint32_t offset = SimReadBE32(cmd, 2);
  if (cmd.size() < 6 || len > 128) {
    note = "malformed image piece";
    return TSimAnswer::Refused;
  }
  if (offset == 0) FImage.clear();  // a new image starts
  if (offset > FImage.size() || offset + len > SimEspMaxImage) {
    note = "image piece at " + std::to_string(offset) + " does not follow " + std::to_string(FImage.size());
    return TSimAnswer::Refused;
  }
  FImage.resize(std::max<size_t>(FImage.size(), offset + len));
  FImage.replace(offset, len, cmd, 6, len);
  note = "image piece at " + std::to_string(offset);
  return TSimAnswer::Ok;
}

TSimAnswer TSimEsp::DecryptImage(const std::string &cmd, std::string &note) {
  const uint32_t size = SimReadBE32(cmd, 2);
  if (cmd.size() != 6 || size == 0 || size > FImage.size()) {
    note = "decrypt: size does not match the received image (" + std::to_string(FImage.size()) + " bytes)";
    return TSimAnswer::Refused;
  }
  FImage.resize(size);
  Crypt(FImage);
  return CheckImage(size, note);
}

TSimAnswer TSimEsp::CheckImage(uint32_t size, std::string &note) {
  FState.UpdateImageValid = false;
  if (size == 0 || size != FImage.size() || static_cast<uint8_t>(FImage[0]) != SimEspImageMagic) {
    // A wrong image gets no ready report; the tool runs into its timeout.
    note = "image check failed: size " + std::to_string(size) + ", received " + std::to_string(FImage.size());
    return TSimAnswer::Ok;
  }
  FState.UpdateImage = FImage;
  FState.UpdateImageValid = true;
  FState.UpdateFirmwareVersion = FConfig.UpdateFirmwareVersion;
  FReadyPending = !FFaults.NeverReady;
  FReadyAt = platform::GetTicks() + FConfig.Timings.EspCheckMs;
  note = FFaults.NeverReady ? "image ok, never ready (fault)" : "image ok";
  return TSimAnswer::Ok;
}

TSimAnswer TSimEsp::SwitchPartition(bool update, std::string &note) {
  if (update && !FState.UpdateImageValid) {
    note = "no checked image in the update partition";
    return TSimAnswer::Refused;
  }
  FState.UpdatePartitionActive = update;
  ScheduleRestart(update ? "switch to update partition" : "switch to factory partition");
  note = update ? "update partition" : "factory partition";
  return TSimAnswer::Ok;
}

TSimAnswer TSimEsp::NvsRead(const std::string &cmd, uint8_t user, std::string &note) {
  if (cmd.size() != 4) {
    note = "malformed storage read";
    return TSimAnswer::Refused;
  }
  const char kind = cmd[2];
  const auto n = static_cast<uint8_t>(cmd[3]);
  const uint16_t key = static_cast<uint16_t>(static_cast<uint8_t>(kind) | (n << 8));
  std::string text;
  if (kind == 'i') {
    text = SimLE32(NvsInteger(n, 0xFFFFFFFF));
  } else if (kind == 's') {
    const auto it = FState.NvsStrings.find(n);
    text = it == FState.NvsStrings.end() || it->second.empty() ? std::string(1, '\0') : it->second;
  } else if (kind == 'b') {
    const auto it = FState.NvsBlocks.find(n);
    text = it == FState.NvsBlocks.end() ? std::string(1, '\xFF') : it->second;  // 0xFF: no table
    SendRecord(simRecNvs, key, 0, SimTextValues(text), TSimOutputKind::Report, user);
    note = "storage block " + std::to_string(n);
    return TSimAnswer::Ok;
  } else {
    note = "unknown storage kind";
    return TSimAnswer::Refused;
  }
  if (DoFirmwareVersion() < NvsRecordFirstVersion)
    SendRecord(simRecTools, 0, 0, SimTextValues(text), TSimOutputKind::Tools, user);
  else
    SendRecord(simRecNvs, key, 0, SimTextValues(text), TSimOutputKind::Tools, user);
  note = std::string("storage read ") + kind + std::to_string(n);
  return TSimAnswer::Ok;
}

TSimAnswer TSimEsp::NvsWrite(const std::string &cmd, std::string &note) {
  const char kind = cmd.size() >= 4 ? cmd[2] : '\0';
  const auto n = cmd.size() >= 4 ? static_cast<uint8_t>(cmd[3]) : 0;
  const std::string data = cmd.size() >= 4 ? cmd.substr(4) : std::string();
  if (kind == 'i' && data.size() == 4) {
    FState.NvsIntegers[n] = SimReadLE32(data, 0);
  } else if (kind == 's' && !data.empty() && data.size() <= NvsTextMax) {
    FState.NvsStrings[n] = data;
  } else if (kind == 'b' && data.size() == NvsBlockSize) {
    FState.NvsBlocks[n] = data;
  } else {
    note = "malformed storage write";
    return TSimAnswer::Refused;
  }
  note = std::string("storage write ") + kind + std::to_string(n);
  return TSimAnswer::Ok;
}

TSimAnswer TSimEsp::DoBlockStart(uint32_t len, uint32_t addr, bool crypted, std::string &note) {
  if (addr == 0) FImage.clear();
  if (addr != FImage.size() || len > SimEspMaxImage - addr) {
    note = "block does not fit the image";
    return TSimAnswer::Refused;
  }
  FBlockActive = true;
  FBlockCrypted = crypted;
  FBlockStart = addr;
  FBlockEnd = addr + len;
  note = "block started";
  return TSimAnswer::Ok;
}

TSimAnswer TSimEsp::DoBlockData(const std::string &bytes, std::string &note) {
  if (!FBlockActive || bytes.size() > FBlockEnd - FImage.size()) {
    note = FBlockActive ? "more data than announced" : "no block transfer running";
    FBlockActive = false;
    return TSimAnswer::Refused;
  }
  FImage += bytes;
  return TSimAnswer::Ok;
}

TSimAnswer TSimEsp::DoBlockEnd(std::string &note) {
  if (!FBlockActive || FImage.size() != FBlockEnd) {
    note =
        "block incomplete: " + std::to_string(FImage.size()) + " of " + std::to_string(FBlockEnd) + " bytes";
    FBlockActive = false;
    return TSimAnswer::Refused;
  }
  FBlockActive = false;
  if (FBlockCrypted) Crypt(FImage, FBlockStart);
  note =
      "block complete (" + std::to_string(FImage.size()) + " bytes" + (FBlockCrypted ? ", decrypted)" : ")");
  return TSimAnswer::Ok;
}

void TSimEsp::CorruptOutput(TSimOutput &out) {
  if (out.Bytes.size() > 15) out.Bytes[15] = static_cast<char>(out.Bytes[15] ^ 0x01);  // check byte
}

}  // namespace zor
