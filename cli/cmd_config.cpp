// zorfw config DEVICE [--set KEY=VALUE ...]: shows a device's configuration
// or changes items of it. Every value is checked before the device is
// contacted, so a typing mistake never costs a device restart.
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/AppServices.h"
#include "cli/Commands.h"
#include "cli/ConfigView.h"
#include "net/Zor_NetworkDevice.h"

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

using TSettings = session::TConfigSettings;

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
  if (old != nullptr && !ip.empty() && ip != old->GetDeviceIP()) {
    fields["new_ip"] = ip;
    session.Output().Field("new address", ip);
  }
  if (const int result = session.Session().FollowMovedDevice()) return result;
  if (!session.Session().DeviceMoved()) return 0;
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
  std::string errors = session::FamilyErrors(settings, esp);
  if (errors.empty()) errors = session::ApplyConfigSettings(record, settings);
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
  if (ParseSettings(options.Set, settings, error)) error = session::PreCheckConfigSettings(settings);
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
