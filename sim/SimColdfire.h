// Simulated ColdFire device: flash with boot-loader window, user code and
// configuration block, staging RAM (flash address OR 0x30000000), internal
// RAM with the flash programmer's parameter and status words, boot-loader
// mode, time stamps and framed text reports.
#pragma once

#include "sim/SimDevice.h"

namespace zor {

constexpr uint32_t SimFlashSize = 0x80000;
constexpr uint32_t SimStagingFlag = 0x30000000;
constexpr uint32_t SimUserCodeStart = 0x4000;
constexpr uint32_t SimConfigAddr = 0x7F000;
constexpr uint32_t SimConfigSize = 80;
constexpr uint32_t SimFramStart = 0x7E000;
constexpr uint32_t SimFramSize = 0x280;

// Status words the flash programmer leaves.
enum : uint32_t {
  simProgOk = 0x01,
  simProgVerifyFailed = 0x30,
};

class TSimColdfire : public TSimDevice {
 public:
  explicit TSimColdfire(const TSimConfig &config);

  // Device memory as a memory read would see it (flash, staging RAM,
  // internal RAM, the timer register); empty when the range is not mapped.
  std::string PeekMemory(uint32_t addr, uint32_t len) const;
  uint16_t GetTimerControl() const;

  // The 80-byte configuration block a device with `config` leaves the factory with.
  static std::string FactoryConfigBlock(const TSimConfig &config);

 protected:
  TSimAnswer DoExtended(const std::string &cmd, uint8_t user, std::string &note) override;
  TSimAnswer DoClassic(const std::string &cmd, uint8_t user, std::string &note) override;
  void DoTick(uint32_t now) override;
  void DoPowerUp() override;
  uint32_t DoIpAddress() const override;
  int DoFirmwareVersion() const override;
  uint32_t DoSerialNumber() const override;
  void CorruptOutput(TSimOutput &out) override;

 private:
  TSimAnswer MemoryWrite(const std::string &cmd, std::string &note);
  TSimAnswer MemoryRead(const std::string &cmd, uint8_t user, std::string &note);
  TSimAnswer StatusRequest(const std::string &cmd, uint8_t user, std::string &note);
  TSimAnswer ConfigWrite(const std::string &cmd, std::string &note);
  TSimAnswer FramWrite(const std::string &cmd, uint8_t user, std::string &note);
  TSimAnswer StartProgramming(std::string &note);
  TSimAnswer RunCode(std::string &note);
  // Runs the flash programmer: copies the staged range, leaves the status word.
  void Program(std::string &note);
  void SendReport(const std::string &report, uint8_t user);
  // The memory a range lies in, with the offset of `addr` in it; nullptr when unmapped.
  std::string *Map(uint32_t addr, uint32_t len, size_t &offset);
  bool ApplicationValid() const;
  uint32_t RamWord(uint32_t addr) const;
  void SetRamWord(uint32_t addr, uint32_t value);

  std::string FStaging;  // staging copy of the flash window, in RAM
  std::string FRam;      // internal RAM
  uint16_t FTimerControl = 0;
  bool FPoweredUp = false;
  int FRunningVersion = 0;  // the programmed version counts from the next start
  bool FStreamStopped = false;
  bool FClearPending = false;  // the next output tells the buffer was cleared
  uint32_t FNextTimeStamp = 0;
  uint32_t FTimeCount = 0;
};

}  // namespace zor
