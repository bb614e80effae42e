#include "firmware/Zor_ConfigChecks.h"

#include <algorithm>

#include "foundation/Zor_Utils.h"

namespace zor {

const std::array<const char *, 6> ReportModeTexts = {"Phase",
                                                     "Phase average",
                                                     "Frequency",
                                                     "Frequency averge",
                                                     "Phase difference",
                                                     "Phase average difference"};
const std::array<const char *, 14> ReportIntervalTexts = {
    "   1 ms", "   2 ms", "   5 ms", "  10 ms", "  20 ms", "  50 ms", "100 ms",
    "200 ms",  "500 ms",  "   1 s",  "   2 s",  "   5 s",  " 10 s",   " 20 s"};
const std::array<const char *, 14> PPIIntervalTexts = {"no PPI",  "   2 ms", "   5 ms", "  10 ms", "  20 ms",
                                                       "  50 ms", "100 ms",  "200 ms",  "500 ms",  "   1 s",
                                                       "   2 s",  "   5 s",  " 10 s",   " 20 s"};
const std::array<const char *, 3> RefErrorTexts = {"RefError=off", "RefError=1", "RefError=2"};

namespace {

constexpr std::array<uint32_t, 14> PPIIntervalMs = {1,   2,   5,    10,   20,   50,    100,
                                                    200, 500, 1000, 2000, 5000, 10000, 20000};

// The message for an input that is empty or cannot be read.
std::string InputError(const std::string &caption, const std::string &text) {
  return text.empty() ? "Missing input " + caption : "Invalid input " + caption + ": " + text;
}

bool IsHostNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

}  // namespace

std::optional<uint32_t> ParseHex32(const std::string &text) {
  const std::string t = TrimText(text);
  if (t.empty() || t.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : t) {
    int digit = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                         : -1;
    if (digit < 0) return std::nullopt;
    value = (value << 4) | uint32_t(digit);
  }
  return value;
}

std::optional<uint32_t> ParseDecimal32(const std::string &text) {
  const std::string t = TrimText(text);
  if (t.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + uint64_t(c - '0');
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

uint32_t PPIIntervalLengthMs(uint8_t index) {
  return index < PPIIntervalMs.size() ? PPIIntervalMs[index] : 0;
}

std::optional<uint8_t> StartSettingCode(uint8_t mode, uint8_t interval) {
  if (mode >= ReportModeTexts.size() || interval >= ReportIntervalTexts.size()) return std::nullopt;
  const uint8_t code = static_cast<uint8_t>(mode * 16 + interval);
  return code == 0 ? 127 : code;
}

std::optional<TZor_StartSetting> DecodeStartSetting(uint8_t code) {
  if (code == 0) return TZor_StartSetting{};
  if (code == 127) return TZor_StartSetting{true, 0, 0};
  TZor_StartSetting setting{true, static_cast<uint8_t>(code / 16), static_cast<uint8_t>(code % 16)};
  if (setting.Mode >= ReportModeTexts.size() || setting.Interval >= ReportIntervalTexts.size())
    return std::nullopt;
  return setting;
}

std::string ApplyAddress(TZor_FlashVariables &record, TZor_AddressItem item, const std::string &text) {
  switch (item) {
    case adr_IPAddress:
      if (!record.SetIPAddress(text)) return InputError("IP address", text);
      record.ChangedFlags |= fch_IPAddress;
      break;
    case adr_Subnetmask:
      if (!record.SetSubnetmask(text)) return InputError("Subnetmask", text);
      record.ChangedFlags |= fch_Subnetmask;
      break;
    case adr_Gateway:
      if (!record.SetGateway(text)) return InputError("Standard gateway", text);
      record.ChangedFlags |= fch_Gateway;
      break;
  }
  return {};
}

std::string ApplyCANID(TZor_FlashVariables &record, bool transmit, const std::string &text, bool extended) {
  std::optional<uint32_t> id = ParseHex32(text);
  if (!id) return InputError(transmit ? "CAN Transmit ID" : "CAN Receive ID", text);
  // Bit 31 is the format flag, never part of the identifier the user typed.
  const uint32_t value = (*id & ~CANExtendedBit) | (extended ? CANExtendedBit : 0);
  if (transmit) {
    record.SetCANTxID(value);
    record.ChangedFlags |= fch_CANTxID;
  } else {
    record.SetCANRxID(value);
    record.ChangedFlags |= fch_CANRxID;
  }
  return {};
}

std::string ApplyNickName(TZor_FlashVariables &record, const std::string &text) {
  // The nick name is part of the USB serial text, where these characters separate fields.
  if (text.size() > MaxNickNameLength || text.find_first_of(",.:") != std::string::npos)
    return "Invalid input nick name: " + text;
  record.NickName = text;
  record.ChangedFlags |= fch_NickName;
  return {};
}

std::string ApplyHostName(TZor_FlashVariables &record, const std::string &text) {
  if (text.empty()) return "Missing input LUM2 host name";
  if (text.size() > MaxHostNameLength || !std::all_of(text.begin(), text.end(), IsHostNameChar))
    return "Invalid input LUM2 host name: " + text;
  record.NickName = text;
  record.ChangedFlags |= fch_NickName;
  return {};
}

void ApplyStaticIP(TZor_FlashVariables &record, bool isStatic) {
  record.SetHardESPstaticIP(isStatic);
  record.ChangedFlags |= fch_HardFeature;
}

std::string ApplyBaudRate(TZor_FlashVariables &record, const std::string &text) {
  std::optional<uint32_t> baud = ParseDecimal32(text);
  if (!baud || *baud % 100 != 0) return InputError("baud rate", text);
  record.SetESPBaudRate(*baud);
  record.ChangedFlags |= fch_ReservedInt9;
  return {};
}

std::string ApplyStartSetting(TZor_FlashVariables &record, const TZor_StartSetting &setting) {
  uint8_t code = 0;
  if (setting.UserDefined) {
    std::optional<uint8_t> c = StartSettingCode(setting.Mode, setting.Interval);
    if (!c) return "Invalid input start condition";
    code = *c;
  }
  record.SetHard24_31(code);
  record.ChangedFlags |= fch_HardFeature;
  return {};
}

std::string ApplyRefError(TZor_FlashVariables &record, uint8_t index) {
  if (index >= RefErrorTexts.size()) return "Invalid input RefError: " + std::to_string(index);
  record.SetHardRefError(index);
  record.ChangedFlags |= fch_HardFeature;
  return {};
}

std::string ApplyPPIinterval(TZor_FlashVariables &record, uint8_t index) {
  if (index >= PPIIntervalTexts.size()) return "Invalid input PPI interval: " + std::to_string(index);
  record.SetPPIintervalIndex(index);
  record.ChangedFlags |= fch_PPI;
  return {};
}

std::string ApplyPPIoffset(TZor_FlashVariables &record, const std::string &text) {
  std::optional<uint32_t> offset = ParseDecimal32(text);
  if (!offset) return InputError("PPI offset", text);
  if (*offset >= MaxPPIoffset || *offset >= PPIIntervalLengthMs(record.GetPPIintervalIndex()))
    return "PPI offset too large";
  record.SetPPIoffset(static_cast<uint16_t>(*offset));
  record.ChangedFlags |= fch_PPI;
  return {};
}

void ApplyPPIuserDependend(TZor_FlashVariables &record, bool value) {
  record.SetPPIuserDependend(value);
  record.ChangedFlags |= fch_PPI;
}

void AddConfigError(std::string &errors, const std::string &error) {
  if (error.empty()) return;
  if (!errors.empty()) errors += ", ";
  errors += error;
}

}  // namespace zor
