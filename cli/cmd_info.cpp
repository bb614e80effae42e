// zorfw info DEVICE: the device's version data and configuration, read the
// way the window reads them when a device is selected.
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/AppServices.h"
#include "cli/Commands.h"
#include "cli/ConfigView.h"
#include "foundation/Zor_CommonTypes.h"
#include "foundation/Zor_Utils.h"

namespace zor::cli {

namespace {

// The engine's word for a feature word the device did not give.
constexpr uint16_t cFeatureUnknown = 0xFFFF;

nlohmann::json VersionJson(TZorFirmwareClass &e) {
  TZor_BaseDevice *device = e.GetBaseDevice();
  const uint16_t feature = e.GetVersionFeature();
  return {{"family", device ? PeerTypeToText(device->GetPeerType()) : std::string()},
          {"firmware_version", e.GetFirmwareVersion()},
          {"fw_major", e.GetFWMajor()},
          {"fw_minor", e.GetFWMinor()},
          {"firmware", e.GetFWVersionString()},
          {"firmware_date", e.GetVersionDate()},
          {"fpga", e.GetFPGAVersion()},
          {"serial_number", e.GetVersionSerialNumber()},
          {"feature", feature == cFeatureUnknown ? nlohmann::json(nullptr) : nlohmann::json(feature)},
          {"feature_text", e.GetVersionFeatureString()},
          {"ip", e.GetVersionIPString()},
          {"version_text", e.GetVersionString()}};
}

void PrintVersion(TOutput &out, const nlohmann::json &v) {
  out.Field("Controller", v["family"].get<std::string>());
  out.Field("Firmware", v["firmware"].get<std::string>());
  out.Field("Firmware version", std::to_string(v["firmware_version"].get<int>()));
  out.Field("FPGA code", v["fpga"].get<std::string>());
  out.Field("Serial number", "0x" + IntToHex(v["serial_number"].get<uint32_t>(), 8));
  const std::string hex = v["feature"].is_null() ? "" : " (0x" + IntToHex(v["feature"].get<uint32_t>(), 4) + ")";
  out.Field("Hardware", v["feature_text"].get<std::string>() + hex);
  out.Field("IP address", v["ip"].get<std::string>());
}

int RunInfo(const TDeviceCommandOptions &options) {
  TCliSession session(options);
  if (int rc = session.Start("info")) return rc;
  TZorFirmwareClass &engine = session.Engine();
  std::string err;
  int result = engine.GetDeviceFirmwareVersionAndFlash(true, err);
  nlohmann::json fields;
  fields["version"] = VersionJson(engine);
  const TZor_FlashVariables &config = engine.GetFlashVariables();
  fields["config"] =
      config.updated ? ConfigView(config, IsEspDevice(engine.GetBaseDevice())) : nlohmann::json(nullptr);
  if (!err.empty()) fields["error"] = err;
  if (engine.GetFirmwareVersion() >= 0) PrintVersion(session.Output(), fields["version"]);
  if (config.updated) PrintConfigView(session.Output(), fields["config"]);
  result = session.CheckConfigRead(result);
  return session.Finish(result, std::move(fields));
}

}  // namespace

void AddInfoCommand(CLI::App &app, int &exitCode) {
  auto options = std::make_shared<TDeviceCommandOptions>();
  CLI::App *cmd = app.add_subcommand("info", "Show a device's firmware version, hardware and configuration");
  AddDeviceOptions(*cmd, *options);
  cmd->callback([options, &exitCode] { exitCode = RunInfo(*options); });
}

}  // namespace zor::cli
