// Memory map of the ColdFire devices as the tool sees it: flash windows of the
// boot loader and the application, the configuration block, the internal RAM
// with the system code's parameter area, and the staging flag that redirects
// flash writes into the device's RAM copy.
#pragma once

#include <cstdint>

namespace zor {

// Internal flash.
inline constexpr uint32_t CF_BootloaderStart = 0x00000000;
inline constexpr uint32_t CF_BootloaderEnd = 0x00003FFF;
inline constexpr uint32_t CF_UserCodeStart = 0x00004000;
inline constexpr uint32_t CF_UserCodeEnd = 0x0007FFFF;
// Anything below this limit is flash space: an image record there but outside
// its window makes the whole file invalid.
inline constexpr uint32_t CF_FlashSpaceLimit = 0x01000000;

// Configuration block at the top of the user-code window; the network path
// transfers only its first 76 bytes.
inline constexpr uint32_t CF_ConfigBlockAddress = 0x0007F000;
inline constexpr uint32_t CF_ConfigBlockSize = 80;
inline constexpr uint32_t CF_ConfigBlockNetSize = 76;

// Areas set to 0xFF before a firmware upload so the device recomputes its
// checksum: 64 areas of 64 bytes, one every 128 bytes from 0x4000.
inline constexpr uint32_t CF_CheckSumAreaStart = 0x00004000;
inline constexpr uint32_t CF_CheckSumAreaStride = 128;
inline constexpr uint32_t CF_CheckSumAreaSize = 64;
inline constexpr uint32_t CF_CheckSumAreaCount = 64;

// Flash copy of the internal RAM image that the RAM restore writes back.
inline constexpr uint32_t CF_RamImageSource = 0x00050000;

// Internal RAM; the system code must not overwrite the part below its own area.
inline constexpr uint32_t CF_InternalRamStart = 0x20000000;
inline constexpr uint32_t CF_InternalRamEnd = 0x2000FFFF;
inline constexpr uint32_t CF_ProtectedRamEnd = 0x2000F6FF;

// Parameter area of the system code (32-bit big-endian words).
inline constexpr uint32_t CF_ParamArea = 0x2000F600;
inline constexpr uint32_t CF_ParamSourceStart = 0x2000F604;
inline constexpr uint32_t CF_ParamSourceEnd = 0x2000F608;  // inclusive
inline constexpr uint32_t CF_ParamDestination = 0x2000F60C;
inline constexpr uint32_t CF_ProgrammingStatus = 0x2000F614;

// System code area; its first byte is the entry of the run command 0x85 '2'.
inline constexpr uint32_t CF_SystemCodeStart = 0x2000F700;
inline constexpr uint32_t CF_SystemCodeEnd = 0x2000FFFF;

// Scratch location of the RAM-restore routine.
inline constexpr uint32_t CF_RamRestoreScratch = 0x2000FE00;

// 16-bit timer control register changed by the timer patch.
inline constexpr uint32_t CF_TimerControlRegister = 0x40150000;

// Flash writes go to `address | CF_StagingFlag`, a staging copy in device RAM
// that the system code later copies into flash.
inline constexpr uint32_t CF_StagingFlag = 0x30000000;

}  // namespace zor
