#include "session/Zor_ConfigView.h"

#include <optional>

#include "firmware/Zor_ConfigChecks.h"
#include "foundation/Zor_Utils.h"

namespace zor::session {

namespace {

std::optional<bool> ParseYesNo(const std::string &text) {
  if (text == "yes" || text == "1" || text == "on") return true;
  if (text == "no" || text == "0" || text == "off") return false;
  return std::nullopt;
}

// A list index typed as decimal digits. A text that is no number is reported
// here; the caller's check reports an index beyond its list.
std::optional<uint8_t> ParseIndex(const std::string &text, std::string &errors, const std::string &caption) {
  std::optional<uint32_t> value = ParseDecimal32(text);
  if (value) return static_cast<uint8_t>(*value < 256 ? *value : 255);
  AddConfigError(errors, "Invalid input " + caption + ": " + text);
  return std::nullopt;
}

void ApplyYesNo(const TConfigSettings &s, const char *key, std::string &errors, auto apply) {
  auto it = s.find(key);
  if (it == s.end()) return;
  if (std::optional<bool> v = ParseYesNo(it->second))
    apply(*v);
  else
    AddConfigError(errors, std::string("Invalid input ") + key + ": " + it->second + " (yes or no)");
}

void ApplyStart(TZor_FlashVariables &record, const TConfigSettings &s, std::string &errors) {
  auto mode = s.find("start-mode"), interval = s.find("start-interval");
  if (mode == s.end() && interval == s.end()) return;
  // The item not given keeps what the device holds.
  TZor_StartSetting setting = DecodeStartSetting(record.GetHard24_31()).value_or(TZor_StartSetting{});
  if (mode != s.end() && mode->second == "default") {
    setting.UserDefined = false;
  } else {
    setting.UserDefined = true;
    std::optional<uint8_t> m, i;
    if (mode != s.end() && !(m = ParseIndex(mode->second, errors, "start mode"))) return;
    if (interval != s.end() && !(i = ParseIndex(interval->second, errors, "start interval"))) return;
    setting.Mode = m.value_or(setting.Mode);
    setting.Interval = i.value_or(setting.Interval);
  }
  AddConfigError(errors, ApplyStartSetting(record, setting));
}

bool IsExtendedCAN(uint32_t id) { return id != 0xFFFFFFFF && (id & CANExtendedBit) != 0; }

void ApplyCAN(TZor_FlashVariables &record, const TConfigSettings &s, std::string &errors) {
  bool extended = IsExtendedCAN(record.CANRxID);
  bool extendedGiven = false;
  ApplyYesNo(s, "can-ext", errors, [&](bool v) { extended = v, extendedGiven = true; });
  for (bool transmit : {false, true}) {
    auto it = s.find(transmit ? "can-tx" : "can-rx");
    const uint32_t current = transmit ? record.CANTxID : record.CANRxID;
    if (it != s.end())
      AddConfigError(errors, ApplyCANID(record, transmit, it->second, extended));
    else if (extendedGiven && current != 0xFFFFFFFF)  // only the format changes: keep the identifier
      AddConfigError(errors, ApplyCANID(record, transmit, IntToHex(current & ~CANExtendedBit, 1), extended));
  }
}

TConfigItem Text(const char *key, std::string value) {
  return {key, std::move(value), TConfigValueKind::Text, {}};
}
TConfigItem Number(const char *key, uint64_t value) {
  return {key, std::to_string(value), TConfigValueKind::Number, {}};
}
TConfigItem YesNo(const char *key, bool value) {
  return {key, value ? "yes" : "no", TConfigValueKind::YesNo, {}};
}

}  // namespace

const std::vector<TConfigKey> &ConfigKeys() {
  static const std::vector<TConfigKey> keys = {
      {"serial", TKeyFamily::Any, "serial number, up to 8 hex digits"},
      {"nick", TKeyFamily::Coldfire, "nick name, up to 40 characters, none of , . :"},
      {"host", TKeyFamily::Esp, "host name, 1 to 40 of a-z A-Z 0-9 -"},
      {"ip", TKeyFamily::Any, "IP address, dotted"},
      {"subnet", TKeyFamily::Any, "subnet mask, dotted"},
      {"gateway", TKeyFamily::Any, "standard gateway, dotted"},
      {"static-ip", TKeyFamily::Esp, "yes: the IP address above, no: DHCP"},
      {"feature", TKeyFamily::Coldfire, "hardware feature word, hex 1..FF or FFFF"},
      {"can-rx", TKeyFamily::Any, "CAN receive ID, hex"},
      {"can-tx", TKeyFamily::Any, "CAN transmit ID, hex"},
      {"can-ext", TKeyFamily::Any, "yes: extended CAN identifiers, no: standard"},
      {"start-mode", TKeyFamily::Esp, "start-up report mode 0..5, or default"},
      {"start-interval", TKeyFamily::Esp, "start-up report interval 0..13"},
      {"ref-error", TKeyFamily::Esp, "reference clock error option 0..2"},
      {"baud", TKeyFamily::Esp, "serial baud rate, a multiple of 100"},
      {"ppi-interval", TKeyFamily::Esp, "PPI interval 0 (no PPI)..13"},
      {"ppi-offset", TKeyFamily::Esp, "PPI offset in ms, below the interval"},
      {"ppi-user", TKeyFamily::Esp, "yes: PPI depends on the user"},
  };
  return keys;
}

const TConfigKey *FindConfigKey(const std::string &name) {
  for (const TConfigKey &key : ConfigKeys())
    if (name == key.Name) return &key;
  return nullptr;
}

const char *FamilyName(bool esp) { return esp ? "ESP" : "ColdFire"; }

bool IsEspDevice(const TZor_BaseDevice *device) {
  return device != nullptr && device->GetPeerType() == ptESP;
}

bool FamilyHasKey(const TConfigKey &key, bool esp) {
  return key.Family == TKeyFamily::Any || (key.Family == TKeyFamily::Esp) == esp;
}

std::vector<TConfigItem> ConfigItems(const TZor_FlashVariables &f, bool esp) {
  std::vector<TConfigItem> items;
  items.push_back(Text("serial", IntToHex(f.SerialNumber, 8)));
  items.push_back(Text(esp ? "host" : "nick", f.NickName));
  items.push_back(Text("ip", f.IPAddress));
  items.push_back(Text("subnet", f.Subnetmask));
  items.push_back(Text("gateway", f.Gateway));
  if (esp) items.push_back(YesNo("static-ip", f.IsHardESPstaticIP()));
  // Shown for both families: an ESP device's word tells its hardware too.
  TConfigItem feature = Text("feature", IntToHex(f.HardFeature, 4));
  feature.Note = esp ? f.GetHardFeatureESPString() : f.GetHardFeatureString();
  items.push_back(std::move(feature));
  items.push_back(Text("can-rx", IntToHex(f.CANRxID & ~CANExtendedBit, 8)));
  items.push_back(Text("can-tx", IntToHex(f.CANTxID & ~CANExtendedBit, 8)));
  items.push_back(YesNo("can-ext", IsExtendedCAN(f.CANRxID)));
  if (!esp) return items;
  std::optional<TZor_StartSetting> start = DecodeStartSetting(f.GetHard24_31());
  if (start && !start->UserDefined) {
    items.push_back(Text("start-mode", "default"));
  } else if (start) {
    items.push_back(Number("start-mode", start->Mode));
    items.push_back(Number("start-interval", start->Interval));
  }
  items.push_back(Number("ref-error", f.GetHardRefError()));
  items.push_back(Number("baud", f.GetESPBaudRate()));
  items.push_back(Number("ppi-interval", f.GetPPIintervalIndex()));
  items.push_back(Number("ppi-offset", f.GetPPIoffset()));
  items.push_back(YesNo("ppi-user", f.GetPPIuserDependend()));
  return items;
}

std::string FamilyErrors(const TConfigSettings &s, bool esp) {
  std::string errors;
  for (const auto &[name, value] : s) {
    const TConfigKey *key = FindConfigKey(name);
    if (key == nullptr || !FamilyHasKey(*key, esp))
      AddConfigError(errors, name + " is not available on " + FamilyName(esp) + " devices");
  }
  return errors;
}

std::string ApplyConfigSettings(TZor_FlashVariables &record, const TConfigSettings &s) {
  std::string errors;
  auto value = [&](const char *key) -> const std::string * {
    auto it = s.find(key);
    return it == s.end() ? nullptr : &it->second;
  };
  if (const std::string *v = value("serial")) {
    if (std::optional<uint32_t> serial = ParseHex32(*v)) {
      record.SetSerialNumber(*serial);
      record.ChangedFlags |= fch_SerialNumber;
    } else {
      AddConfigError(errors, "Invalid input serial number: " + *v);
    }
  }
  if (const std::string *v = value("nick")) AddConfigError(errors, ApplyNickName(record, *v));
  if (const std::string *v = value("host")) AddConfigError(errors, ApplyHostName(record, *v));
  if (const std::string *v = value("ip")) AddConfigError(errors, ApplyAddress(record, adr_IPAddress, *v));
  if (const std::string *v = value("subnet"))
    AddConfigError(errors, ApplyAddress(record, adr_Subnetmask, *v));
  if (const std::string *v = value("gateway")) AddConfigError(errors, ApplyAddress(record, adr_Gateway, *v));
  ApplyYesNo(s, "static-ip", errors, [&](bool v) { ApplyStaticIP(record, v); });
  if (const std::string *v = value("feature")) {
    std::optional<uint32_t> feature = ParseHex32(*v);
    if (feature && *feature <= 0xFFFF && TZor_FlashVariables::CheckHardFeature(uint16_t(*feature)))
      record.SetHardFeature(uint16_t(*feature));
    else
      AddConfigError(errors, "Invalid input hardware feature: " + *v);
  }
  ApplyCAN(record, s, errors);
  ApplyStart(record, s, errors);
  if (const std::string *v = value("ref-error"))
    if (std::optional<uint8_t> index = ParseIndex(*v, errors, "RefError"))
      AddConfigError(errors, ApplyRefError(record, *index));
  if (const std::string *v = value("baud")) AddConfigError(errors, ApplyBaudRate(record, *v));
  if (const std::string *v = value("ppi-interval"))
    if (std::optional<uint8_t> index = ParseIndex(*v, errors, "PPI interval"))
      AddConfigError(errors, ApplyPPIinterval(record, *index));
  if (const std::string *v = value("ppi-offset")) AddConfigError(errors, ApplyPPIoffset(record, *v));
  ApplyYesNo(s, "ppi-user", errors, [&](bool v) { ApplyPPIuserDependend(record, v); });
  return errors;
}

std::string PreCheckConfigSettings(const TConfigSettings &settings) {
  TZor_FlashVariables blank;
  blank.SetPPIintervalIndex(uint8_t(PPIIntervalTexts.size() - 1));
  return ApplyConfigSettings(blank, settings);
}

}  // namespace zor::session
