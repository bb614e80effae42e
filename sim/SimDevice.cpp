#include "sim/SimDevice.h"

#include <cstdio>

#include "foundation/LogUnit.h"
#include "platform/Zor_Sys.h"
#include "sim/SimColdfire.h"
#include "sim/SimEsp.h"
#include "sim/SimFormats.h"

namespace zor {

namespace {

std::string HexBytes(const std::string &bytes, size_t max = 40) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(bytes[i]));
    out += buf;
  }
  if (bytes.size() > max) out += "...";
  return out;
}

}  // namespace

TSimDevice::TSimDevice(const TSimConfig &config) : FConfig(config) {}

void TSimDevice::SetSink(TSimSink sink) {
  std::lock_guard lock(FLock);
  FSink = std::move(sink);
}

void TSimDevice::SetEventHandler(TSimEventHandler handler) {
  std::lock_guard lock(FLock);
  FEventHandler = std::move(handler);
}

TSimAnswer TSimDevice::HandleCommand(const std::string &cmdBytes, uint8_t user) {
  std::lock_guard lock(FLock);
  RunTimers(platform::GetTicks());
  if (FSilent) {
    Record(cmdBytes, user, false, "silent (restarting)");
    return TSimAnswer::Silent;
  }
  std::string note;
  TSimAnswer answer = TSimAnswer::Refused;
  if (cmdBytes.empty())
    note = "empty command";
  else
    answer = Dispatch(cmdBytes, user, note);
  Record(cmdBytes, user, answer == TSimAnswer::Ok, note);
  return answer;
}

TSimAnswer TSimDevice::BlockStart(uint32_t len, uint32_t addr, bool crypted, uint8_t user) {
  std::lock_guard lock(FLock);
  RunTimers(platform::GetTicks());
  const std::string what = "block start len=" + std::to_string(len) + " addr=" + std::to_string(addr) +
                           (crypted ? " crypted" : " plain");
  if (FSilent) {
    Record({}, user, false, what + ": silent (restarting)");
    return TSimAnswer::Silent;
  }
  std::string note;
  const TSimAnswer answer = DoBlockStart(len, addr, crypted, note);
  Record({}, user, answer == TSimAnswer::Ok, what + ": " + note);
  return answer;
}

TSimAnswer TSimDevice::BlockData(const std::string &bytes) {
  std::lock_guard lock(FLock);
  if (FSilent) return TSimAnswer::Silent;
  std::string note;
  const TSimAnswer answer = DoBlockData(bytes, note);
  if (answer != TSimAnswer::Ok) Log("block data refused: " + note);
  return answer;
}

TSimAnswer TSimDevice::BlockEnd() {
  std::lock_guard lock(FLock);
  if (FSilent) return TSimAnswer::Silent;
  std::string note;
  const TSimAnswer answer = DoBlockEnd(note);
  Record({}, 0, answer == TSimAnswer::Ok, "block end: " + note);
  return answer;
}

TSimAnswer TSimDevice::DoBlockStart(uint32_t, uint32_t, bool, std::string &note) {
  note = "this device takes no block transfer";
  return TSimAnswer::Refused;
}

TSimAnswer TSimDevice::DoBlockData(const std::string &, std::string &note) {
  note = "no block transfer running";
  return TSimAnswer::Refused;
}

TSimAnswer TSimDevice::DoBlockEnd(std::string &note) {
  note = "no block transfer running";
  return TSimAnswer::Refused;
}

void TSimDevice::OnConnected(uint8_t user) {
  std::lock_guard lock(FLock);
  RunTimers(platform::GetTicks());
  if (!FSilent) DoConnected(user);
}

void TSimDevice::SetUser(int slot, TSimUserKind kind, uint32_t ipv4) {
  if (slot < 1 || slot > 4) return;
  std::lock_guard lock(FLock);
  FUserKinds[slot - 1] = kind;
  FUserIps[slot - 1] = ipv4;
}

std::string TSimDevice::UserEntry(int slot) const {
  const TSimUserKind kind = FUserKinds[slot - 1];
  uint32_t code = 0;
  switch (kind) {
    case TSimUserKind::None: return std::string(4, '\0');
    case TSimUserKind::Ip: return SimBE32(FUserIps[slot - 1]);  // octets in text order
    case TSimUserKind::Usb: code = 2; break;
    case TSimUserKind::Can: code = 3; break;
    case TSimUserKind::Serial: code = 4; break;
  }
  // The ColdFire writes its codes big-endian, the ESP little-endian.
  return FConfig.Family == TSimFamily::Coldfire ? SimBE32(code) : SimLE32(code);
}

void TSimDevice::Tick() {
  std::lock_guard lock(FLock);
  const uint32_t now = platform::GetTicks();
  RunTimers(now);
  if (!FSilent) DoTick(now);
}

void TSimDevice::RunTimers(uint32_t now) {
  if (FRestartPending && int32_t(now - FRestartAt) >= 0) {
    FRestartPending = false;
    BeginRestart("scheduled reset", now);
  }
  // Signed: a silence that began after `now` was taken has not yet elapsed.
  if (FSilent && int64_t(int32_t(now - FSilentSince)) >= int64_t(FConfig.Timings.RestartSilentMs)) {
    FSilent = false;
    PowerUp();
    Log("powered up, address " + SimIpText(FActiveIp));
    if (FEventHandler) FEventHandler({TSimEventKind::RestartEnd, 0});
  }
}

void TSimDevice::Restart() {
  std::lock_guard lock(FLock);
  BeginRestart("power cycle", platform::GetTicks());
}

void TSimDevice::ScheduleRestart(const std::string &why) {
  if (FFaults.NoRestart) {
    Log(why + ": no restart (fault)");
    return;
  }
  Log(why + ": restart in " + std::to_string(FConfig.Timings.ResetDelayMs) + " ms");
  FRestartPending = true;
  FRestartAt = platform::GetTicks() + FConfig.Timings.ResetDelayMs;
}

void TSimDevice::BeginRestart(const std::string &why, uint32_t now) {
  Log(why + ": silent for " + std::to_string(FConfig.Timings.RestartSilentMs) + " ms");
  FRestartPending = false;
  FSilent = true;
  FSilentSince = now;
  if (FEventHandler) FEventHandler({TSimEventKind::RestartBegin, FConfig.Timings.RestartSilentMs});
}

void TSimDevice::PowerUp() {
  DoPowerUp();
  FActiveIp = DoIpAddress();
}

bool TSimDevice::IsSilent() const {
  std::lock_guard lock(FLock);
  return FSilent;
}

bool TSimDevice::IsBootLoader() const {
  std::lock_guard lock(FLock);
  return FConfig.Family == TSimFamily::Coldfire && FState.BootLoaderMode;
}

TSimConfig TSimDevice::GetConfig() const {
  std::lock_guard lock(FLock);
  return FConfig;
}

uint32_t TSimDevice::GetIpAddress() const {
  std::lock_guard lock(FLock);
  return FActiveIp;
}

uint32_t TSimDevice::GetConfiguredIpAddress() const {
  std::lock_guard lock(FLock);
  return DoIpAddress();
}

int TSimDevice::GetFirmwareVersion() const {
  std::lock_guard lock(FLock);
  return DoFirmwareVersion();
}

uint32_t TSimDevice::GetSerialNumber() const {
  std::lock_guard lock(FLock);
  return DoSerialNumber();
}

TSimFaults TSimDevice::GetFaults() const {
  std::lock_guard lock(FLock);
  return FFaults;
}

void TSimDevice::SetFaults(const TSimFaults &faults) {
  std::lock_guard lock(FLock);
  FFaults = faults;
}

TSimPersistent TSimDevice::GetPersistent() const {
  std::lock_guard lock(FLock);
  return FState;
}

void TSimDevice::SetPersistent(const TSimPersistent &state) {
  std::lock_guard lock(FLock);
  FState = state;
}

std::vector<TSimCommandRecord> TSimDevice::CommandLog() const {
  std::lock_guard lock(FLogLock);
  return {FCommandLog.begin(), FCommandLog.end()};
}

void TSimDevice::SetCommandLogLimit(size_t records) {
  std::lock_guard lock(FLogLock);
  FCommandLogLimit = records;
  while (FCommandLogLimit && FCommandLog.size() > FCommandLogLimit) FCommandLog.pop_front();
}

void TSimDevice::ClearCommandLog() {
  std::lock_guard lock(FLogLock);
  FCommandLog.clear();
}

void TSimDevice::Record(const std::string &bytes, uint8_t user, bool accepted, const std::string &note) {
  Log("cmd {" + HexBytes(bytes) + "} user " + std::to_string(user) + (accepted ? " ok" : " refused") +
      (note.empty() ? "" : ": " + note));
  std::lock_guard lock(FLogLock);
  FCommandLog.push_back({platform::GetTicks(), user, bytes, accepted, note});
  if (FCommandLogLimit && FCommandLog.size() > FCommandLogLimit) FCommandLog.pop_front();
}

void TSimDevice::Emit(TSimOutputKind kind, std::string bytes, uint8_t user, bool bufferCleared) {
  if (bytes.empty() || !FSink) return;
  TSimOutput out{kind, std::move(bytes), user, bufferCleared};
  if (FFaults.CorruptOutputs != 0) {
    CorruptOutput(out);
    if (FFaults.CorruptOutputs > 0) --FFaults.CorruptOutputs;
    Log("output corrupted (fault)");
  }
  FSink(out);
}

void TSimDevice::Log(const std::string &text) const {
  LogText(FConfig.LogId,
          std::string(FConfig.Family == TSimFamily::Coldfire ? "SimColdfire: " : "SimEsp: ") + text);
}

TSimAnswer TSimDevice::Dispatch(const std::string &cmd, uint8_t user, std::string &note) {
  const auto b0 = static_cast<uint8_t>(cmd[0]);
  if (b0 == 0x85) {
    if (cmd.size() < 2) {
      note = "extended command without code";
      return TSimAnswer::Refused;
    }
    bool handled = false;
    const TSimAnswer common = CommonExtended(cmd, note, handled);
    return handled ? common : DoExtended(cmd, user, note);
  }
  if (b0 == 0xBE) {
    note = "registration";
    return TSimAnswer::Ok;
  }
  if (IsBootLoader()) {
    note = "boot loader: command not supported";
    return TSimAnswer::Refused;
  }
  if (!IsClassicCommand(cmd, note)) return TSimAnswer::Refused;
  return DoClassic(cmd, user, note);
}

bool TSimDevice::IsClassicCommand(const std::string &cmd, std::string &note) {
  const auto b0 = static_cast<uint8_t>(cmd[0]);
  if (cmd.size() == 1) {
    const uint8_t c = b0 & 0x7F;
    const bool known = c == 0x00 || c == 0x01 || c == 0x02 || c == 0x05 || c == 0x0A || c == 0x0F ||
                       (c >= 0x10 && c <= 0x1F) || (c >= 0x20 && c <= 0x2D) || (c >= 0x30 && c <= 0x3B) ||
                       (c >= 0x40 && c <= 0x46) || c == 0x50 || c == 0x5E || c == 0x5F || c >= 0x60;
    if (!known) note = "unknown command";
    return known;
  }
  bool known = false;
  if (b0 == 0x03)
    known = cmd.size() == 2 && cmd[1] >= 1 && cmd[1] <= 4;
  else if (b0 == 0x10)
    known = cmd.size() == 4;
  else if (b0 == 0x3F)
    known = cmd.size() == 2 && cmd[1] >= 12 && cmd[1] <= 23;
  if (!known) note = "unknown command";
  return known;
}

TSimAnswer TSimDevice::CommonExtended(const std::string &cmd, std::string &note, bool &handled) {
  handled = true;
  switch (static_cast<uint8_t>(cmd[1])) {
    case 0x10: note = "tools mode"; return TSimAnswer::Ok;
    case 0x11: note = "tools mode ended"; return TSimAnswer::Ok;
    case 0x12: {
      const std::string value = cmd.substr(2);
      if (FFaults.RefuseLogin) {
        note = "login refused (fault)";
        return TSimAnswer::Refused;
      }
      if (!FConfig.LoginPassword.empty() && value != FConfig.LoginPassword) {
        note = "login refused: wrong password";
        return TSimAnswer::Refused;
      }
      note = "logged in";
      return TSimAnswer::Ok;
    }
    case 'P':
      ScheduleRestart("reset");
      note = "reset";
      return TSimAnswer::Ok;
    case 'Q':
      ScheduleRestart("reset both");
      note = "reset both controllers";
      return TSimAnswer::Ok;
    default: handled = false; return TSimAnswer::Refused;
  }
}

std::unique_ptr<TSimDevice> CreateSimDevice(const TSimConfig &config) {
  if (config.Family == TSimFamily::Esp) return std::make_unique<TSimEsp>(config);
  return std::make_unique<TSimColdfire>(config);
}

}  // namespace zor
