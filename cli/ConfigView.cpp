#include "cli/ConfigView.h"

#include <optional>

#include "firmware/Zor_ConfigChecks.h"
#include "foundation/Zor_Utils.h"

namespace zor::cli {

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

nlohmann::json ConfigView(const TZor_FlashVariables &f, bool esp) {
  nlohmann::json j{{"serial", IntToHex(f.SerialNumber, 8)},
                   {"ip", f.IPAddress},
                   {"subnet", f.Subnetmask},
                   {"gateway", f.Gateway},
                   {"feature", IntToHex(f.HardFeature, 4)},
                   {"feature_text", esp ? f.GetHardFeatureESPString() : f.GetHardFeatureString()},
                   {"can-rx", IntToHex(f.CANRxID & ~CANExtendedBit, 8)},
                   {"can-tx", IntToHex(f.CANTxID & ~CANExtendedBit, 8)},
                   {"can-ext", f.CANRxID != 0xFFFFFFFF && (f.CANRxID & CANExtendedBit) != 0}};
  if (!esp) {
    j["nick"] = f.NickName;
    return j;
  }
  j["host"] = f.NickName;
  j["static-ip"] = f.IsHardESPstaticIP();
  std::optional<TZor_StartSetting> start = DecodeStartSetting(f.GetHard24_31());
  if (start && !start->UserDefined) {
    j["start-mode"] = "default";
  } else if (start) {
    j["start-mode"] = start->Mode;
    j["start-interval"] = start->Interval;
  }
  j["ref-error"] = f.GetHardRefError();
  j["baud"] = f.GetESPBaudRate();
  j["ppi-interval"] = f.GetPPIintervalIndex();
  j["ppi-offset"] = f.GetPPIoffset();
  j["ppi-user"] = f.GetPPIuserDependend();
  return j;
}

void PrintConfigView(TOutput &out, const nlohmann::json &view) {
  for (const TConfigKey &key : ConfigKeys()) {
    auto it = view.find(key.Name);
    if (it == view.end()) continue;
    std::string text = it->is_string() ? it->get<std::string>() : it->dump();
    if (it->is_boolean()) text = it->get<bool>() ? "yes" : "no";
    if (std::string(key.Name) == "feature") text += " " + view["feature_text"].get<std::string>();
    out.Field(key.Name, text);
  }
}

}  // namespace zor::cli
