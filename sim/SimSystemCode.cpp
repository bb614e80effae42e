#include "sim/SimSystemCode.h"

#include <cstdio>

namespace zor {

namespace {

// Fill byte of the programmer's body and entry routine at address a.
uint8_t Filler(uint32_t a) { return static_cast<uint8_t>((a ^ (a >> 8) ^ 0x5A) & 0xFF); }

constexpr uint32_t CodeEnd = 0x2000FDEC;  // first address after the programmer
constexpr uint32_t EntryAddr = 0x2000FBF0;

std::string Bytes(std::initializer_list<uint8_t> list) { return std::string(list.begin(), list.end()); }

// jmp 0x2000FBF0; nop; signature
const std::string ProgrammerHeader =
    Bytes({0x4E, 0xF9, 0x20, 0x00, 0xFB, 0xF0, 0x4E, 0x71}) + "ZorFlashProg1.00";
// jmp 0x2000FE00
const std::string RestoreJump = Bytes({0x4E, 0xF9, 0x20, 0x00, 0xFE, 0x00});
// mask interrupts; copy 0xFE00 bytes from 0x50000 to 0x20000000; loop in place
const std::string RestoreRoutine =
    Bytes({0x46, 0xFC, 0x27, 0x00, 0x20, 0x7C, 0x20, 0x00, 0x00, 0x00, 0x22, 0x7C, 0x00, 0x05, 0x00,
           0x00, 0x20, 0x3C, 0x00, 0x00, 0xFE, 0x00, 0x20, 0xD9, 0x59, 0x80, 0x66, 0xFA, 0x60, 0xFE});
// clear bits 0 and 3 of the 16-bit register at 0x40150000 and return
const std::string TimerPatch =
    Bytes({0x4E, 0x56, 0x00, 0x00, 0x41, 0xF9, 0x40, 0x15, 0x00, 0x00, 0x30, 0x10,
           0x02, 0x80, 0x00, 0x00, 0xFF, 0xF6, 0x30, 0x80, 0x4E, 0x5E, 0x4E, 0x75});

bool HasAt(const std::string &ram, uint32_t addr, const std::string &bytes) {
  const size_t off = addr - SimRamBase;
  return off + bytes.size() <= ram.size() && ram.compare(off, bytes.size(), bytes) == 0;
}

std::string BuildImage() {
  std::string image = ProgrammerHeader;
  for (uint32_t a = SimCodeAddr + static_cast<uint32_t>(image.size()); a < EntryAddr; ++a)
    image += static_cast<char>(Filler(a));
  image += Bytes({0x46, 0xFC, 0x27, 0x00});  // move.w #0x2700,sr
  for (uint32_t a = EntryAddr + 4; a < CodeEnd; ++a) image += static_cast<char>(Filler(a));
  return image;
}

}  // namespace

const std::string &SimSystemCodeImage() {
  static const std::string image = BuildImage();
  return image;
}

TSimRoutine SimRoutineAt(const std::string &ram, std::string &why) {
  why.clear();
  if (ram.size() < SimRamSize) {
    why = "internal RAM too small";
    return TSimRoutine::Unknown;
  }
  if (HasAt(ram, SimCodeAddr, TimerPatch)) return TSimRoutine::TimerPatch;
  if (HasAt(ram, SimCodeAddr, RestoreJump)) {
    if (HasAt(ram, SimRestoreAddr, RestoreRoutine)) return TSimRoutine::RamRestore;
    why = "jump to 0x2000FE00 without the RAM restore routine";
    return TSimRoutine::Unknown;
  }
  if (HasAt(ram, SimCodeAddr, ProgrammerHeader.substr(0, 6))) {
    const std::string &image = SimSystemCodeImage();
    const size_t off = SimCodeAddr - SimRamBase;
    for (size_t i = 0; i < image.size(); ++i) {
      if (ram[off + i] != image[i]) {
        char buf[80];
        std::snprintf(buf, sizeof buf, "system code differs at 0x%08X",
                      static_cast<unsigned>(SimCodeAddr + i));
        why = buf;
        return TSimRoutine::DamagedSystemCode;
      }
    }
    return TSimRoutine::SystemCode;
  }
  const std::string first = ram.substr(SimCodeAddr - SimRamBase, 6);
  if (first == std::string(6, '\0') || first == std::string(6, '\xFF')) {
    why = "no code at 0x2000F700";
    return TSimRoutine::None;
  }
  why = "unknown code at 0x2000F700";
  return TSimRoutine::Unknown;
}

}  // namespace zor
