// One device configuration as the engine reads it and the front ends edit it,
// with the flags that say which items the user changed. ColdFire devices keep
// it as one 80-byte block in flash; ESP devices as numbered storage items.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace zor {

// Bits of TZor_FlashVariables::ChangedFlags.
enum TZor_FlashChange : uint16_t {
  fch_SerialNumber = 0x0001,
  fch_Password = 0x0002,
  fch_IPAddress = 0x0004,
  fch_Subnetmask = 0x0008,
  fch_Gateway = 0x0010,
  fch_HardFeature = 0x0020,  // also static/dynamic IP, start mode, reference-clock option
  fch_CANRxID = 0x0040,
  fch_CANTxID = 0x0080,
  fch_NickName = 0x0100,
  fch_ManagementPort = 0x0200,
  fch_Customer = 0x0400,
  fch_ReservedInt9 = 0x0800,
  fch_ReservedString1 = 0x1000,
  fch_PPI = 0x2000,
};

// The ColdFire configuration block in flash.
inline constexpr uint32_t CFConfigAddress = 0x7F000;
inline constexpr size_t CFConfigSize = 80;
inline constexpr size_t CFConfigSizeNet = 76;  // the password is not reachable over the network
inline constexpr size_t CFNickNameSize = 40;
inline constexpr uint16_t CFManagementPort = 1024;
inline constexpr uint32_t CANExtendedBit = 0x80000000u;

// Offsets inside the block (multi-byte values big-endian).
enum TZor_CFBlockOffset : size_t {
  cfo_NickName = 0,
  cfo_Uninterpreted = 40,  // 8 bytes kept as read
  cfo_SerialNumber = 48,
  cfo_IPAddress = 52,
  cfo_Subnetmask = 56,
  cfo_Gateway = 60,
  cfo_ManagementPort = 64,
  cfo_HardFeature = 66,
  cfo_CANRxID = 68,
  cfo_CANTxID = 72,
  cfo_Password = 76,
};

// Numbers of the ESP storage items.
enum TZor_NVSInteger : uint8_t {
  nvi_SerialNumber = 0,
  nvi_Password = 1,
  nvi_IPAddress = 2,
  nvi_Subnetmask = 3,
  nvi_Gateway = 4,
  nvi_HardFeature32 = 5,
  nvi_CANTxID = 6,
  nvi_CANRxID = 7,
  nvi_Customer = 8,
  nvi_ReservedInt9 = 9,
  nvi_PPI = 10,
};
inline constexpr uint8_t NVSIntegerCount = 11;
enum TZor_NVSString : uint8_t { nvs_NickName = 0, nvs_ReservedString1 = 1 };

// One item an ESP configuration write may send: which change flag selects it,
// which storage item it goes to and the message shown when the write fails.
struct TZor_NVSWriteItem {
  uint16_t Flag;
  bool IsString;
  uint8_t Number;
  const char *FailText;
};
// In the order the device gets them.
extern const std::array<TZor_NVSWriteItem, 13> NVSWriteOrder;

struct TZor_FlashVariables {
  bool updated = false;
  uint16_t ChangedFlags = 0;
  bool SpecialFlag = false;
  std::string NickName;  // ColdFire nick name, ESP host name (byte text)
  uint32_t SerialNumber = 0xFFFFFFFF;
  uint32_t SerialNumber_CFFormat = 0xFFFFFFFF;
  std::string IPAddress;
  uint32_t IPAddress_CFFormat = 0xFFFFFFFF;
  uint32_t IPAddress_ESPFormat = 0xFFFFFFFF;
  std::string Subnetmask;
  uint32_t Subnetmask_CFFormat = 0xFFFFFFFF;
  uint32_t Subnetmask_ESPFormat = 0xFFFFFFFF;
  std::string Gateway;
  uint32_t Gateway_CFFormat = 0xFFFFFFFF;
  uint32_t Gateway_ESPFormat = 0xFFFFFFFF;
  uint16_t ManagementPort = CFManagementPort;
  uint16_t ManagementPort_CFFormat = 0x0004;
  uint16_t HardFeature = 0xFFFF;
  uint16_t HardFeature_CFFormat = 0xFFFF;
  uint32_t CANRxID_CFFormat = 0xFFFFFFFF;
  uint32_t CANRxID = 0xFFFFFFFF;
  uint32_t CANTxID_CFFormat = 0xFFFFFFFF;
  uint32_t CANTxID = 0xFFFFFFFF;
  uint32_t Password_CFFormat = 0xFFFFFFFF;
  uint32_t Password = 0xFFFFFFFF;
  bool PasswordEnabled = false;
  uint32_t Customer = 0;
  uint32_t HardFeature32 = 0;
  uint32_t ReservedInt9 = 0;
  std::string ReservedString1;
  uint32_t PPI = 0;

  void Clear() { *this = TZor_FlashVariables(); }
  bool IsChanged(uint16_t flag) const { return (ChangedFlags & flag) != 0; }

  // --- hardware features ---
  // Keeps only the low 8 bits of a value other than 0xFFFF, also in the low
  // byte of HardFeature32 (0xFFFF leaves HardFeature32 alone); marks the item changed.
  void SetHardFeature(uint16_t value);
  static bool CheckHardFeature(uint16_t value) { return value == 0xFFFF || (value >= 1 && value <= 255); }
  std::string GetHardFeatureString() const;
  std::string GetHardFeatureESPString() const;

  bool IsHardLUM() const { return HardBit(0); }
  bool IsHardU() const { return HardBit(1); }
  bool IsHardS() const { return HardBit(2); }
  bool IsHardPelq() const { return HardBit(3); }
  bool IsHardBit4() const { return HardBit(4); }
  bool IsHardBit5() const { return HardBit(5); }
  bool IsHardBit6() const { return HardBit(6); }
  bool IsHardBit7() const { return HardBit(7); }
  bool IsHardESPserial() const { return HardBit(3); }
  bool IsHardESPnotOR() const { return HardBit(4); }
  bool IsHardESPCAN() const { return HardBit(5); }
  bool IsHardESPstaticIP() const { return HardBit(6); }
  // Sets or clears the static-IP bit in HardFeature and mirrors it into HardFeature32.
  void SetHardESPstaticIP(bool isStatic);

  // Reference-clock error option in bits 16..17 of HardFeature32: 0 off, 1, 2.
  uint8_t GetHardRefError() const;
  void SetHardRefError(uint8_t value);
  // Start-up measurement setting in bits 24..31 of HardFeature32 (0 = device default).
  uint8_t GetHard24_31() const { return static_cast<uint8_t>(HardFeature32 >> 24); }
  void SetHard24_31(uint8_t value) {
    HardFeature32 = (HardFeature32 & 0x00FFFFFFu) | (uint32_t(value) << 24);
  }

  // --- PPI output ---
  uint16_t GetPPIoffset() const { return static_cast<uint16_t>(PPI & 0x7FFFu); }
  void SetPPIoffset(uint16_t value) { PPI = (PPI & ~0x7FFFu) | (value & 0x7FFFu); }
  bool GetPPIuserDependend() const { return (PPI & 0x8000u) != 0; }
  void SetPPIuserDependend(bool value) { PPI = value ? (PPI | 0x8000u) : (PPI & ~0x8000u); }
  uint8_t GetPPIintervalIndex() const { return static_cast<uint8_t>((PPI >> 16) & 0x0Fu); }
  void SetPPIintervalIndex(uint8_t value) { PPI = (PPI & ~0xF0000u) | ((uint32_t(value) & 0x0Fu) << 16); }

  // --- ESP serial baud rate, stored divided by 100 ---
  uint64_t GetESPBaudRate() const { return uint64_t(ReservedInt9) * 100; }
  void SetESPBaudRate(uint32_t value) { ReservedInt9 = value / 100; }

  // --- addresses: the dotted text and both numeric forms ---
  // An invalid text leaves the item unchanged and returns false.
  bool SetIPAddress(const std::string &text) {
    return SetAddress(text, IPAddress, IPAddress_ESPFormat, IPAddress_CFFormat);
  }
  bool SetSubnetmask(const std::string &text) {
    return SetAddress(text, Subnetmask, Subnetmask_ESPFormat, Subnetmask_CFFormat);
  }
  bool SetGateway(const std::string &text) {
    return SetAddress(text, Gateway, Gateway_ESPFormat, Gateway_CFFormat);
  }

  void SetSerialNumber(uint32_t value) {
    SerialNumber = value;
    SerialNumber_CFFormat = Swap(value);
  }
  void SetCANRxID(uint32_t value) {
    CANRxID = value;
    CANRxID_CFFormat = Swap(value);
  }
  void SetCANTxID(uint32_t value) {
    CANTxID = value;
    CANTxID_CFFormat = Swap(value);
  }
  void SetPassword(uint32_t value) {
    Password = value;
    Password_CFFormat = Swap(value);
  }

  // --- ColdFire block ---
  // Interprets a block of 76 or 80 bytes (shorter blocks are refused: false).
  // A management port other than 1024 becomes 1024 and is marked changed, so
  // the next write repairs it. Sets `updated`.
  bool DecodeCFBlock(const std::string &block);
  // Writes the interpreted fields into `block` (grown to 80 bytes with 0xFF if
  // shorter); the uninterpreted bytes keep what was read.
  void EncodeCFBlock(std::string &block) const;

  // --- ESP storage items ---
  // The value of integer item `number` (0xFFFFFFFF for an unknown number).
  uint32_t GetNVSInteger(uint8_t number) const;
  // Stores an item read from the device: addresses get their dotted text, the
  // feature word its low 16 bits in HardFeature. Unknown numbers are ignored.
  void SetNVSInteger(uint8_t number, uint32_t value);
  // The text the device stores for string item `number`; an empty host name
  // travels as one 0x00 character.
  std::string GetNVSString(uint8_t number) const;

 private:
  bool HardBit(int bit) const { return HardFeature != 0xFFFF && (HardFeature & (1u << bit)) != 0; }
  static uint32_t Swap(uint32_t v);
  static bool SetAddress(const std::string &text, std::string &dotted, uint32_t &espFormat,
                         uint32_t &cfFormat);
  static void SetAddressValue(uint32_t espFormat, bool emptyWhenUnset, std::string &dotted,
                              uint32_t &espValue, uint32_t &cfValue);
};

// A nick name as the block holds it: at most 40 bytes, a shorter one ended by
// one 0x00 and padded with 0xFF.
std::string CFNickNameField(const std::string &nickName);

}  // namespace zor
