#include "sim/SimColdfire.h"

#include <cstdio>

#include "platform/Zor_Sys.h"
#include "sim/SimFormats.h"
#include "sim/SimSystemCode.h"

namespace zor {

namespace {

// Initial stack pointer and reset vector of the factory application.
const uint32_t FactoryStack = 0x20010000;
const uint32_t FactoryEntry = 0x00004400;
// Timer control register after power-up; the timer patch clears bits 0 and 3.
const uint16_t TimerControlAtPowerUp = 0x0109;
const uint8_t ConfigCommandFirstVersion = 19;

std::string Hex8(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

}  // namespace

TSimColdfire::TSimColdfire(const TSimConfig &config)
    : TSimDevice(config), FStaging(SimFlashSize, '\xFF'), FRam(SimRamSize, '\0') {
  FState.Flash.assign(SimFlashSize, '\xFF');
  FState.Flash.replace(SimUserCodeStart, 8, SimBE32(FactoryStack) + SimBE32(FactoryEntry));
  FState.Flash.replace(SimConfigAddr, SimConfigSize, FactoryConfigBlock(config));
  FState.Fram.assign(SimFramSize, '\xFF');
  FState.FirmwareVersion = config.FirmwareVersion;
  FState.BootLoaderMode = config.StartInBootLoader;
  PowerUp();
}

std::string TSimColdfire::FactoryConfigBlock(const TSimConfig &config) {
  std::string nick = config.NickName.substr(0, 39);
  nick += '\0';
  nick.resize(40, '\xFF');
  return nick + std::string(8, '\xFF') + SimBE32(config.SerialNumber) + SimBE32(config.IpAddress) +
         SimBE32(config.Subnetmask) + SimBE32(config.Gateway) + SimBE16(1024) +
         SimBE16(static_cast<uint16_t>(config.HardFeature)) + SimBE32(0xFFFFFFFF) + SimBE32(0xFFFFFFFF) +
         SimBE32(0xFFFFFFFF);
}

void TSimColdfire::DoPowerUp() {
  // A device without a runnable application stays in its boot loader; the
  // very first power-up keeps the mode it was configured with.
  if (FPoweredUp) FState.BootLoaderMode = !ApplicationValid();
  FPoweredUp = true;
  FRunningVersion = FState.FirmwareVersion;
  FTimerControl = TimerControlAtPowerUp;
  FStreamStopped = false;
  FClearPending = true;
  FTimeCount = 1;  // 00 00 00 01 marks a cold start
  FNextTimeStamp = platform::GetTicks();
}

bool TSimColdfire::ApplicationValid() const {
  const uint32_t entry = SimReadBE32(FState.Flash, SimUserCodeStart + 4);
  return entry != 0xFFFFFFFF && entry != 0;
}

uint32_t TSimColdfire::DoIpAddress() const { return SimReadBE32(FState.Flash, SimConfigAddr + 52); }
uint32_t TSimColdfire::DoSerialNumber() const { return SimReadBE32(FState.Flash, SimConfigAddr + 48); }
int TSimColdfire::DoFirmwareVersion() const { return FRunningVersion; }

uint16_t TSimColdfire::GetTimerControl() const {
  std::lock_guard lock(FLock);
  return FTimerControl;
}

std::string *TSimColdfire::Map(uint32_t addr, uint32_t len, size_t &offset) {
  auto inside = [&](uint32_t base, uint32_t size) {
    return addr >= base && addr - base <= size && len <= size - (addr - base);
  };
  if (inside(0, SimFlashSize)) {
    offset = addr;
    return &FState.Flash;
  }
  if (inside(SimStagingFlag, SimFlashSize)) {
    offset = addr - SimStagingFlag;
    return &FStaging;
  }
  if (inside(SimRamBase, SimRamSize)) {
    offset = addr - SimRamBase;
    return &FRam;
  }
  return nullptr;
}

std::string TSimColdfire::PeekMemory(uint32_t addr, uint32_t len) const {
  std::lock_guard lock(FLock);
  if (addr == SimTimerRegister && len == 2) return SimBE16(FTimerControl);
  size_t offset = 0;
  const std::string *mem = const_cast<TSimColdfire *>(this)->Map(addr, len, offset);
  return mem ? mem->substr(offset, len) : std::string();
}

uint32_t TSimColdfire::RamWord(uint32_t addr) const { return SimReadBE32(FRam, addr - SimRamBase); }
void TSimColdfire::SetRamWord(uint32_t addr, uint32_t value) {
  FRam.replace(addr - SimRamBase, 4, SimBE32(value));
}

void TSimColdfire::SendReport(const std::string &report, uint8_t user) {
  Emit(TSimOutputKind::Report, SimTextFrame(report), user, FClearPending);
  FClearPending = false;
}

void TSimColdfire::DoTick(uint32_t now) {
  const uint32_t interval = FConfig.Timings.TimeStampIntervalMs;
  if (FState.BootLoaderMode || FStreamStopped || interval == 0 || int32_t(now - FNextTimeStamp) < 0) return;
  SendReport(SimTimeStampReport(FTimeCount), 0);
  FTimeCount += (interval + 99) / 100;
  FNextTimeStamp += interval;
  if (int32_t(now - FNextTimeStamp) >= 0) FNextTimeStamp = now + interval;  // fell behind: no burst
}

TSimAnswer TSimColdfire::DoClassic(const std::string &cmd, uint8_t user, std::string &note) {
  const auto b0 = static_cast<uint8_t>(cmd[0]);
  if (cmd.size() == 1 && (b0 & 0x80)) FClearPending = true;
  switch (b0 & (cmd.size() == 1 ? 0x7F : 0xFF)) {
    case 0x01: {
      TSimVersionInfo info;
      info.ProductPrefix = FConfig.ProductPrefix;
      info.Version = FRunningVersion;
      info.HardFeature = SimReadBE32(FState.Flash, SimConfigAddr + 64) & 0xFFFF;
      info.Date = FConfig.FirmwareDate;
      info.Fpga = FConfig.FpgaVersion;
      info.SerialNumber = DoSerialNumber();
      info.Ip = FActiveIp;
      info.User = user;
      SendReport(SimColdfireVersionReport(info), user);
      note = "version report";
      break;
    }
    case 0x02:
      SendReport(SimReport(simRepCalibration, FState.Fram.substr(0, 96)), user);
      note = "calibration data";
      break;
    case 0x03: {
      const auto slice = static_cast<uint8_t>(cmd[1]);
      const std::string data = FState.Fram.substr(128 * slice, 128);
      // A slice never written reads as "no table" (first byte 0xFF).
      SendReport(
          SimReport(simRepFlashData, static_cast<uint8_t>(data[0]) == slice ? data : std::string(1, '\xFF')),
          user);
      note = "FHR slice " + std::to_string(slice);
      break;
    }
    default: note = "accepted"; break;
  }
  return TSimAnswer::Ok;
}

TSimAnswer TSimColdfire::DoExtended(const std::string &cmd, uint8_t user, std::string &note) {
  switch (static_cast<uint8_t>(cmd[1])) {
    case 0x20: return MemoryWrite(cmd, note);
    case 0x40: return MemoryRead(cmd, user, note);
    case 0x42: return StatusRequest(cmd, user, note);
    case 0x22: return ConfigWrite(cmd, note);
    case 0x23: return FramWrite(cmd, user, note);
    case '0': return StartProgramming(note);
    case '2': return RunCode(note);
    case 0x60:
      FStreamStopped = true;
      note = "output stopped";
      return TSimAnswer::Ok;
    case 0x28:
    case 0x29:
    case 0x2A:
    case 0x2B: note = "user slot switch"; return TSimAnswer::Ok;
    case 0x72:
    case 0x73:
    case 0x74:
    case 0x75:
    case 0x76:
    case 0x77: note = "resume"; return TSimAnswer::Ok;
    default: note = "unsupported extended command"; return TSimAnswer::Refused;
  }
}

TSimAnswer TSimColdfire::MemoryWrite(const std::string &cmd, std::string &note) {
  if (cmd.size() < 7) {
    note = "memory write without data";
    return TSimAnswer::Refused;
  }
  const uint32_t addr = SimReadBE32(cmd, 2);
  const auto len = static_cast<uint32_t>(cmd.size() - 6);
  size_t offset = 0;
  std::string *mem = Map(addr, len, offset);
  // Flash is written only by the flash programmer, never by a memory write.
  if (!mem || mem == &FState.Flash) {
    note = "memory write to unmapped or flash address " + Hex8(addr);
    return TSimAnswer::Refused;
  }
  mem->replace(offset, len, cmd, 6, len);
  note = "write " + std::to_string(len) + " bytes at " + Hex8(addr);
  return TSimAnswer::Ok;
}

TSimAnswer TSimColdfire::MemoryRead(const std::string &cmd, uint8_t user, std::string &note) {
  if (cmd.size() != 7 || cmd[6] == 0) {
    note = "malformed memory read";
    return TSimAnswer::Refused;
  }
  const uint32_t addr = SimReadBE32(cmd, 2);
  const auto len = static_cast<uint8_t>(cmd[6]);
  size_t offset = 0;
  const std::string *mem = Map(addr, len, offset);
  std::string data = addr == SimTimerRegister && len == 2 ? SimBE16(FTimerControl) : std::string();
  if (mem) data = mem->substr(offset, len);
  if (data.empty()) {
    note = "memory read of unmapped address " + Hex8(addr);
    return TSimAnswer::Refused;
  }
  Emit(TSimOutputKind::Tools, data, user, FClearPending);
  FClearPending = false;
  note = "read " + std::to_string(len) + " bytes at " + Hex8(addr);
  return TSimAnswer::Ok;
}

TSimAnswer TSimColdfire::StatusRequest(const std::string &cmd, uint8_t user, std::string &note) {
  if (cmd.size() != 3 || cmd[2] != 0x01) {
    note = "unknown status request";
    return TSimAnswer::Refused;
  }
  Emit(TSimOutputKind::Tools, UserEntry(1) + UserEntry(2) + UserEntry(3) + UserEntry(4), user);
  note = "connected users";
  return TSimAnswer::Ok;
}

TSimAnswer TSimColdfire::ConfigWrite(const std::string &cmd, std::string &note) {
  if (FState.BootLoaderMode || FRunningVersion < ConfigCommandFirstVersion) {
    note = "configuration command needs firmware 19 or later";
    return TSimAnswer::Refused;
  }
  const size_t len = cmd.size() - 2;
  if (len != 76 && len != SimConfigSize) {
    note = "configuration block of " + std::to_string(len) + " bytes";
    return TSimAnswer::Refused;
  }
  FState.Flash.replace(SimConfigAddr, len, cmd, 2, len);
  note = "configuration written (" + std::to_string(len) + " bytes)";
  return TSimAnswer::Ok;
}

TSimAnswer TSimColdfire::FramWrite(const std::string &cmd, uint8_t user, std::string &note) {
  const uint32_t addr = SimReadBE32(cmd, 2);
  if (cmd.size() != 134 || addr < SimFramStart || addr > SimFramStart + 0x200) {
    note = "malformed configuration memory write";
    return TSimAnswer::Refused;
  }
  FState.Fram.replace(addr - SimFramStart, 128, cmd, 6, 128);
  // The 0x7901 report tells the tool the access is over.
  SendReport(SimReport(simRepCalibration, {}), user);
  note = "configuration memory written at " + Hex8(addr);
  return TSimAnswer::Ok;
}

TSimAnswer TSimColdfire::StartProgramming(std::string &note) {
  Program(note);
  // The boot loader stays up so the tool can read the status word.
  if (!FState.BootLoaderMode) ScheduleRestart("programming finished");
  return TSimAnswer::Ok;
}

TSimAnswer TSimColdfire::RunCode(std::string &note) {
  if (FState.BootLoaderMode && FConfig.OldBootLoader) {
    note = "the V1.0 boot loader has no run command";
    return TSimAnswer::Refused;
  }
  std::string why;
  switch (SimRoutineAt(FRam, why)) {
    case TSimRoutine::SystemCode:
    case TSimRoutine::DamagedSystemCode: Program(note); break;
    case TSimRoutine::TimerPatch:
      FTimerControl &= static_cast<uint16_t>(~0x0009);
      note = "timer patch: timer control now " + Hex8(FTimerControl);
      break;
    case TSimRoutine::RamRestore:
      FRam.replace(0, SimRestoreSize, FState.Flash, SimRestoreSource, SimRestoreSize);
      // The routine ends in a loop in place; the watchdog restarts the device.
      ScheduleRestart("RAM restored from flash");
      note = "internal RAM restored";
      break;
    case TSimRoutine::None:
    case TSimRoutine::Unknown: note = "run: " + why + ", nothing done"; break;
  }
  return TSimAnswer::Ok;
}

void TSimColdfire::Program(std::string &note) {
  std::string why;
  if (SimRoutineAt(FRam, why) != TSimRoutine::SystemCode) {
    SetRamWord(SimStatusAddr, simProgVerifyFailed);
    note = "programming failed: " + why;
    return;
  }
  if (FFaults.ProgramStatus != 0) {
    SetRamWord(SimStatusAddr, FFaults.ProgramStatus);
    note = "programming failed with status " + Hex8(FFaults.ProgramStatus) + " (fault)";
    return;
  }
  const uint32_t src = RamWord(SimParamSource), end = RamWord(SimParamEnd), dst = RamWord(SimParamDest);
  const uint32_t from = src & ~SimStagingFlag, to = end & ~SimStagingFlag;
  const bool valid = (src & 0xF0000000) == SimStagingFlag && (end & 0xF0000000) == SimStagingFlag &&
                     from <= to && to < SimFlashSize && dst < SimFlashSize && to - from < SimFlashSize - dst;
  if (!valid) {
    SetRamWord(SimStatusAddr, simProgVerifyFailed);
    note = "programming failed: bad range " + Hex8(src) + ".." + Hex8(end) + " -> " + Hex8(dst);
    return;
  }
  FState.Flash.replace(dst, to - from + 1, FStaging, from, to - from + 1);
  SetRamWord(SimStatusAddr, simProgOk);
  if (FConfig.UpdateFirmwareVersion >= 0 && dst >= SimUserCodeStart && dst < SimConfigAddr)
    FState.FirmwareVersion = FConfig.UpdateFirmwareVersion;
  note = "programmed " + Hex8(dst) + ".." + Hex8(dst + to - from);
}

void TSimColdfire::CorruptOutput(TSimOutput &out) {
  // Frames: the byte before the end byte is the (possibly escaped) check
  // byte; flipping bit 0 keeps escapes intact but breaks the sum.
  if (out.Kind == TSimOutputKind::Report && out.Bytes.size() >= 2)
    out.Bytes[out.Bytes.size() - 2] = static_cast<char>(out.Bytes[out.Bytes.size() - 2] ^ 0x01);
  else if (!out.Bytes.empty())
    out.Bytes[0] = static_cast<char>(out.Bytes[0] ^ 0xFF);
}

}  // namespace zor
