// What a ColdFire device finds at 0x2000F700 when it is told to run code
// there: the flash programmer (system code) the tool loads, the routine that
// restores the internal RAM from flash, or the timer patch. The device knows
// them by their bytes.
#pragma once

#include <cstdint>
#include <string>

namespace zor {

constexpr uint32_t SimRamBase = 0x20000000;
constexpr uint32_t SimRamSize = 0x10000;
constexpr uint32_t SimCodeAddr = 0x2000F700;     // entry of the run command
constexpr uint32_t SimParamSource = 0x2000F604;  // first staged byte
constexpr uint32_t SimParamEnd = 0x2000F608;     // last staged byte (inclusive)
constexpr uint32_t SimParamDest = 0x2000F60C;    // flash address of the first byte
constexpr uint32_t SimStatusAddr = 0x2000F614;   // status word the programmer leaves
constexpr uint32_t SimRestoreAddr = 0x2000FE00;  // where the RAM restore routine is placed
constexpr uint32_t SimRestoreSource = 0x50000;   // flash copy of the internal RAM
constexpr uint32_t SimRestoreSize = 0xFE00;      // bytes the restore routine copies
constexpr uint32_t SimTimerRegister = 0x40150000;

// The flash programmer's code as the tool transmits it: 1772 bytes from
// 0x2000F700 (header with jump and signature, body, entry routine).
const std::string &SimSystemCodeImage();

enum class TSimRoutine : uint8_t { None, SystemCode, DamagedSystemCode, RamRestore, TimerPatch, Unknown };

// Which routine the internal RAM (64 KiB from 0x20000000) holds at 0x2000F700.
// A programmer whose header is there but whose remaining bytes differ from
// the transmitted image is DamagedSystemCode (an incomplete or wrong upload).
TSimRoutine SimRoutineAt(const std::string &ram, std::string &why);

}  // namespace zor
