// zorfw config DEVICE [--set KEY=VALUE ...]: shows a device's configuration
// or changes items of it. Every value is checked before the device is
// contacted, so a typing mistake never costs a device restart.
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/AppServices.h"
#include "cli/Commands.h"
#include "cli/ConfigView.h"
#include "firmware/Zor_ConfigChecks.h"
#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"
#include "platform/Zor_Sys.h"
#include "platform/Zor_Tcp.h"

namespace zor::cli {

namespace {

std::string KeyHelp() {
  std::string text = "KEYS of --set (a key of the other family is refused):\n";
  for (const TConfigKey &key : ConfigKeys()) {
    const char *family = key.Family == TKeyFamily::Any ? "" : FamilyName(key.Family == TKeyFamily::Esp);
    char line[160];
    std::snprintf(line, sizeof line, "  %-15s %-9s%s\n", key.Name, family, key.Help);
    text += line;
  }
  return text;
}

using TSettings = std::map<std::string, std::string>;

// KEY=VALUE texts into settings; false with the reason.
bool ParseSettings(const std::vector<std::string> &texts, TSettings &settings, std::string &error) {
  for (const std::string &text : texts) {
    const size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    if (eq == std::string::npos || FindConfigKey(name) == nullptr) {
      error = "--set: unknown setting \"" + text + "\" (see --help)";
      return false;
    }
    if (settings.count(name) != 0) {
      error = "--set: " + name + " given twice";
      return false;
    }
    settings[name] = text.substr(eq + 1);
  }
  return true;
}

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

void ApplyYesNo(const TSettings &s, const char *key, std::string &errors, auto apply) {
  auto it = s.find(key);
  if (it == s.end()) return;
  if (std::optional<bool> v = ParseYesNo(it->second))
    apply(*v);
  else
    AddConfigError(errors, std::string("Invalid input ") + key + ": " + it->second + " (yes or no)");
}

void ApplyStart(TZor_FlashVariables &record, const TSettings &s, std::string &errors) {
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

void ApplyCAN(TZor_FlashVariables &record, const TSettings &s, std::string &errors) {
  bool extended = (record.CANRxID & CANExtendedBit) != 0 && record.CANRxID != 0xFFFFFFFF;
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

// Checks every setting and stores the valid ones in `record`; the messages of
// the invalid ones, joined, or nothing.
std::string ApplySettings(TZor_FlashVariables &record, const TSettings &s) {
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

// The check before the device is contacted: the record is blank, so an
// offset given without an interval only meets the largest one here; the
// device's own interval is checked after reading.
std::string PreCheckSettings(const TSettings &s) {
  TZor_FlashVariables blank;
  blank.SetPPIintervalIndex(uint8_t(PPIIntervalTexts.size() - 1));
  return ApplySettings(blank, s);
}

// Keys the device's family does not have.
std::string FamilyErrors(const TSettings &s, bool esp) {
  std::string errors;
  for (const auto &[name, value] : s)
    if (!FamilyHasKey(*FindConfigKey(name), esp))
      AddConfigError(errors, name + " is not available on " + FamilyName(esp) + " devices");
  return errors;
}

int ShowConfig(TCliSession &session) {
  TZorFirmwareClass &engine = session.Engine();
  std::string err;
  const int result = session.CheckConfigRead(engine.GetDeviceFirmwareVersionAndFlash(true, err));
  nlohmann::json fields;
  const TZor_FlashVariables &config = engine.GetFlashVariables();
  if (config.updated) {
    fields["config"] = ConfigView(config, IsEspDevice(engine.GetBaseDevice()));
    PrintConfigView(session.Output(), fields["config"]);
  } else {
    fields["config"] = nullptr;
  }
  if (!err.empty()) fields["error"] = err;
  return session.Finish(result, std::move(fields));
}

// A device answers pings a moment before its control port is open again.
constexpr uint32_t ControlPortWaitMs = 15000;
constexpr uint32_t ControlPortRetryMs = 200;

bool WaitForControlPort(const std::string &ip, uint16_t port) {
  const uint32_t start = platform::GetTicks();
  do {
    platform::TZor_TcpClient probe(ip, port);
    probe.SetConnectTimeout(1000);
    if (probe.Connect()) {
      probe.Disconnect();
      return true;
    }
    platform::SleepMs(ControlPortRetryMs);
  } while (platform::TicksSince(start) < ControlPortWaitMs && !InterruptRequested());
  return false;
}

// After a change of address the engine has seen the device come back there;
// the device object follows it, and the configuration read from the new
// address shows that the device is reachable and what it now holds. A new
// host name that could not be resolved leaves the device where it was looked
// for: under its old address.
int FollowMovedDevice(TCliSession &session, nlohmann::json &fields) {
  TZorFirmwareClass &engine = session.Engine();
  const std::string ip = engine.GetFlashNewIP(), host = engine.GetFlashNewHost();
  if (!host.empty()) {
    fields["new_host"] = host;
    session.Output().Field("new host name", host);
  }
  auto *old = dynamic_cast<TZor_NetworkDevice *>(engine.GetBaseDevice());
  if (old == nullptr || ip.empty() || ip == old->GetDeviceIP()) return 0;
  fields["new_ip"] = ip;
  session.Output().Field("new address", ip);
  const uint16_t port = old->GetDeviceManagementPort();
  if (!WaitForControlPort(ip, port)) {
    session.Output().Note("Device not reachable under " + ip, mtErr);
    return fwr_NoConnection;
  }
  auto moved = std::make_unique<TZor_NetworkDevice>(old->GetLogId(), 0, nullptr, true, ip, host);
  moved->SetDeviceManagementPort(port);
  engine.SetOwnedDevice(std::move(moved));
  std::string err;
  const int result = session.CheckConfigRead(engine.GetDeviceFirmwareVersionAndFlash(true, err));
  if (!err.empty()) fields["error"] = err;
  if (result != 0) return result;
  fields["config"] = ConfigView(engine.GetFlashVariables(), IsEspDevice(engine.GetBaseDevice()));
  PrintConfigView(session.Output(), fields["config"]);
  return 0;
}

int SetConfig(TCliSession &session, const TSettings &settings) {
  TZorFirmwareClass &engine = session.Engine();
  int result = session.CheckConfigRead(session.PrepareAction());
  const TZor_FlashVariables &old = engine.GetFlashVariables();
  if (result != 0) return session.Finish(result);
  const bool esp = IsEspDevice(engine.GetBaseDevice());
  TZor_FlashVariables record = old;
  std::string errors = FamilyErrors(settings, esp);
  if (errors.empty()) errors = ApplySettings(record, settings);
  if (!errors.empty()) {
    session.Output().Note(errors, mtErr);
    return session.Finish(fwr_InvalidParameter, {{"error", errors}}, ExitUsage);
  }
  // The window's question before a ColdFire nick name is cleared.
  auto nick = settings.find("nick");
  if (nick != settings.end() && nick->second.empty() &&
      !engine.GetAppServices().Confirm("Do you really want to clear the nickname?"))
    return session.Finish(fwr_Canceled);
  nlohmann::json fields{{"before", ConfigView(old, esp)}, {"after", ConfigView(record, esp)}};
  // Typing what the device already holds is no change: spare it the write and restart.
  if (fields["before"] == fields["after"]) record.ChangedFlags = old.ChangedFlags;
  result = engine.SetFlashVariables(record, true);
  if (result == 0) result = FollowMovedDevice(session, fields);
  return session.Finish(result, std::move(fields));
}

struct TConfigOptions {
  TDeviceCommandOptions Device;
  std::vector<std::string> Set;
};

int RunConfig(const TConfigOptions &options) {
  TSettings settings;
  std::string error;
  if (ParseSettings(options.Set, settings, error)) error = PreCheckSettings(settings);
  if (!error.empty()) {
    // Reported without a session: the device is not even looked for.
    TOutput out = TOutput::ForStdout(options.Device.Json);
    out.Note(error, mtErr);
    out.Result("config", fwr_InvalidParameter, ExitUsage,
               {{"device", options.Device.Device}, {"error", error}});
    return ExitUsage;
  }
  TCliSession session(options.Device);
  if (int rc = session.Start("config")) return rc;
  return settings.empty() ? ShowConfig(session) : SetConfig(session, settings);
}

}  // namespace

void AddConfigCommand(CLI::App &app, int &exitCode) {
  auto options = std::make_shared<TConfigOptions>();
  CLI::App *cmd = app.add_subcommand("config", "Show a device's configuration or change items of it");
  AddDeviceOptions(*cmd, options->Device);
  cmd->add_option("--set", options->Set, "KEY=VALUE: change this item (repeatable)")->type_name("KEY=VALUE");
  cmd->footer(KeyHelp());
  cmd->callback([options, &exitCode] { exitCode = RunConfig(*options); });
}

}  // namespace zor::cli
