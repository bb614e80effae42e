#include "firmware/Zor_FlashVariables.h"

#include "foundation/Zor_Utils.h"

namespace zor {

const std::array<TZor_NVSWriteItem, 13> NVSWriteOrder = {{
    {fch_SerialNumber, false, nvi_SerialNumber, "Writing SerialNumber failed"},
    {fch_Password, false, nvi_Password, "Writing Password failed"},
    {fch_IPAddress, false, nvi_IPAddress, "Writing IP configuration failed"},
    {fch_Subnetmask, false, nvi_Subnetmask, "Writing IP configuration failed"},
    {fch_Gateway, false, nvi_Gateway, "Writing IP configuration failed"},
    {fch_HardFeature, false, nvi_HardFeature32, "Writing hardware features failed"},
    {fch_CANTxID, false, nvi_CANTxID, "Writing CAN ID failed"},
    {fch_CANRxID, false, nvi_CANRxID, "Writing CAN ID failed"},
    {fch_NickName, true, nvs_NickName, "Writing nick name failed"},
    {fch_Customer, false, nvi_Customer, "Writing Customer ID failed"},
    {fch_ReservedInt9, false, nvi_ReservedInt9, "Writing ReservedInt9 failed"},
    {fch_ReservedString1, true, nvs_ReservedString1, "Writing ReservedString1 failed"},
    {fch_PPI, false, nvi_PPI, "Writing PPI failed"},
}};

uint32_t TZor_FlashVariables::Swap(uint32_t v) { return Swap32(v); }

void TZor_FlashVariables::SetHardFeature(uint16_t value) {
  if (value != 0xFFFF) value &= 0x00FF;
  HardFeature = value;
  HardFeature_CFFormat = Swap16(value);
  // An ESP device keeps the word in the low byte of its 32-bit item, which is
  // what a write sends; bits 8..31 are the device's and stay. "Not set" is no
  // value to store there.
  if (value != 0xFFFF) HardFeature32 = (HardFeature32 & 0xFFFFFF00u) | value;
  ChangedFlags |= fch_HardFeature;
}

namespace {

// Option texts of bits 0..7; empty where a bit only names the type.
constexpr std::array<const char *, 8> CFOptionTexts = {"",       ", U",    ", S",    "",
                                                       ", Bit4", ", Bit5", ", Bit6", ", Bit7"};
constexpr std::array<const char *, 8> ESPOptionTexts = {"",         ", Norva", ", SWC",       ", serial",
                                                        ", analog", ", CAN",   ", static IP", ", Bit7"};

std::string HardFeatureText(uint16_t value, const std::string &type,
                            const std::array<const char *, 8> &options) {
  if (value == 0xFFFF) return "unknown";
  std::string text = type;
  for (int bit = 0; bit < 8; ++bit)
    if (value & (1u << bit)) text += options[bit];
  return text;
}

}  // namespace

std::string TZor_FlashVariables::GetHardFeatureString() const {
  const char *type = IsHardLUM() ? "LUM" : IsHardPelq() ? "Pelq" : IsHardU() ? "Norva" : "";
  return HardFeatureText(HardFeature, type, CFOptionTexts);
}

std::string TZor_FlashVariables::GetHardFeatureESPString() const {
  const char *type = IsHardLUM() ? "LUM" : IsHardU() ? "Norva" : "";
  return HardFeatureText(HardFeature, type, ESPOptionTexts);
}

void TZor_FlashVariables::SetHardESPstaticIP(bool isStatic) {
  // An unset word has no bits to keep.
  uint16_t word = HardFeature == 0xFFFF ? 0 : HardFeature;
  word = isStatic ? (word | 0x40) : (word & ~0x40);
  HardFeature = word;
  HardFeature_CFFormat = Swap16(word);
  HardFeature32 = (HardFeature32 & 0xFFFF0000u) | word;
}

uint8_t TZor_FlashVariables::GetHardRefError() const {
  uint8_t value = (HardFeature32 >> 16) & 0x03u;
  return value == 3 ? 1 : value;
}

void TZor_FlashVariables::SetHardRefError(uint8_t value) {
  if (value > 2) value = 1;
  HardFeature32 = (HardFeature32 & ~0x30000u) | (uint32_t(value) << 16);
}

bool TZor_FlashVariables::SetAddress(const std::string &text, std::string &dotted, uint32_t &espFormat,
                                     uint32_t &cfFormat) {
  int64_t value = IPv4ToInt(text);
  if (value < 0) return false;
  // Canonical dotted decimal: "192.168.001.010" would be read as octal by a name lookup.
  dotted = IntToIPv4(static_cast<uint32_t>(value));
  espFormat = static_cast<uint32_t>(value);
  cfFormat = Swap32(espFormat);
  return true;
}

void TZor_FlashVariables::SetAddressValue(uint32_t espFormat, bool emptyWhenUnset, std::string &dotted,
                                          uint32_t &espValue, uint32_t &cfValue) {
  espValue = espFormat;
  cfValue = Swap32(espFormat);
  dotted = (emptyWhenUnset && espFormat == 0xFFFFFFFF) ? std::string() : IntToIPv4(espFormat);
}

std::string CFNickNameField(const std::string &nickName) {
  std::string field = nickName.substr(0, CFNickNameSize);
  if (!field.empty() && field.size() < CFNickNameSize && field.back() != '\0') field += '\0';
  field.resize(CFNickNameSize, '\xFF');
  return field;
}

bool TZor_FlashVariables::DecodeCFBlock(const std::string &block) {
  if (block.size() < CFConfigSizeNet) return false;
  auto be32 = [&](size_t pos) { return *BigEndianTextToInt32(block, pos); };
  auto be16 = [&](size_t pos) { return *BigEndianTextToInt16(block, pos); };

  size_t end = block.substr(cfo_NickName, CFNickNameSize).find_first_of(std::string("\0\xFF", 2));
  NickName = block.substr(cfo_NickName, end == std::string::npos ? CFNickNameSize : end);
  SetSerialNumber(be32(cfo_SerialNumber));
  // In the block the octets stand in text order, i.e. the byte-swapped storage integer.
  SetAddressValue(Swap32(be32(cfo_IPAddress)), true, IPAddress, IPAddress_ESPFormat, IPAddress_CFFormat);
  SetAddressValue(Swap32(be32(cfo_Subnetmask)), true, Subnetmask, Subnetmask_ESPFormat, Subnetmask_CFFormat);
  SetAddressValue(Swap32(be32(cfo_Gateway)), true, Gateway, Gateway_ESPFormat, Gateway_CFFormat);
  ManagementPort = be16(cfo_ManagementPort);
  if (ManagementPort != CFManagementPort) {
    ManagementPort = CFManagementPort;
    ChangedFlags |= fch_ManagementPort;
  }
  ManagementPort_CFFormat = Swap16(ManagementPort);
  HardFeature = be16(cfo_HardFeature);
  HardFeature_CFFormat = Swap16(HardFeature);
  SetCANRxID(be32(cfo_CANRxID));
  SetCANTxID(be32(cfo_CANTxID));
  SetPassword(block.size() >= CFConfigSize ? be32(cfo_Password) : 0xFFFFFFFF);
  updated = true;
  return true;
}

void TZor_FlashVariables::EncodeCFBlock(std::string &block) const {
  if (block.size() < CFConfigSize) block.resize(CFConfigSize, '\xFF');
  auto put = [&](size_t pos, const std::string &bytes) { block.replace(pos, bytes.size(), bytes); };
  // An address text that is empty or not valid keeps the stored value.
  auto address = [](const std::string &text, uint32_t cfFormat) {
    std::string bytes = IPv4ToBytes(text);
    return bytes.size() == 4 ? bytes : IntToBigEndianText32(cfFormat);
  };
  put(cfo_NickName, CFNickNameField(NickName));
  put(cfo_SerialNumber, IntToBigEndianText32(SerialNumber));
  put(cfo_IPAddress, address(IPAddress, IPAddress_CFFormat));
  put(cfo_Subnetmask, address(Subnetmask, Subnetmask_CFFormat));
  put(cfo_Gateway, address(Gateway, Gateway_CFFormat));
  put(cfo_ManagementPort, IntToBigEndianText16(ManagementPort));
  put(cfo_HardFeature, IntToBigEndianText16(HardFeature));
  put(cfo_CANRxID, IntToBigEndianText32(CANRxID));
  put(cfo_CANTxID, IntToBigEndianText32(CANTxID));
  put(cfo_Password, IntToBigEndianText32(Password));
}

uint32_t TZor_FlashVariables::GetNVSInteger(uint8_t number) const {
  switch (number) {
    case nvi_SerialNumber: return SerialNumber;
    case nvi_Password: return Password;
    case nvi_IPAddress: return IPAddress_ESPFormat;
    case nvi_Subnetmask: return Subnetmask_ESPFormat;
    case nvi_Gateway: return Gateway_ESPFormat;
    case nvi_HardFeature32: return HardFeature32;
    case nvi_CANTxID: return CANTxID;
    case nvi_CANRxID: return CANRxID;
    case nvi_Customer: return Customer;
    case nvi_ReservedInt9: return ReservedInt9;
    case nvi_PPI: return PPI;
    default: return 0xFFFFFFFF;
  }
}

void TZor_FlashVariables::SetNVSInteger(uint8_t number, uint32_t value) {
  switch (number) {
    case nvi_SerialNumber: SetSerialNumber(value); break;
    case nvi_Password: SetPassword(value); break;
    case nvi_IPAddress:
      SetAddressValue(value, false, IPAddress, IPAddress_ESPFormat, IPAddress_CFFormat);
      break;
    case nvi_Subnetmask:
      SetAddressValue(value, false, Subnetmask, Subnetmask_ESPFormat, Subnetmask_CFFormat);
      break;
    case nvi_Gateway: SetAddressValue(value, false, Gateway, Gateway_ESPFormat, Gateway_CFFormat); break;
    case nvi_HardFeature32:
      HardFeature32 = value;
      HardFeature = static_cast<uint16_t>(value);
      HardFeature_CFFormat = Swap16(HardFeature);
      break;
    case nvi_CANTxID: SetCANTxID(value); break;
    case nvi_CANRxID: SetCANRxID(value); break;
    case nvi_Customer: Customer = value; break;
    case nvi_ReservedInt9: ReservedInt9 = value; break;
    case nvi_PPI: PPI = value; break;
    default: break;
  }
}

std::string TZor_FlashVariables::GetNVSString(uint8_t number) const {
  if (number == nvs_NickName) return NickName.empty() ? std::string(1, '\0') : NickName;
  if (number == nvs_ReservedString1) return ReservedString1;
  return std::string();
}

}  // namespace zor
