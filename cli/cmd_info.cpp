// zorfw info DEVICE: the device's version data and configuration, read the
// way the window reads them when a device is selected.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/AppServices.h"
#include "cli/Commands.h"
#include "foundation/Zor_CommonTypes.h"

namespace zor::cli {

namespace {

std::string Hex(uint32_t value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
  return buf;
}

nlohmann::json VersionJson(TZorFirmwareClass &e) {
  TZor_BaseDevice *device = e.GetBaseDevice();
  return {{"family", device ? PeerTypeToText(device->GetPeerType()) : std::string()},
          {"firmware_version", e.GetFirmwareVersion()},
          {"fw_major", e.GetFWMajor()},
          {"fw_minor", e.GetFWMinor()},
          {"firmware", e.GetFWVersionString()},
          {"firmware_date", e.GetVersionDate()},
          {"fpga", e.GetFPGAVersion()},
          {"serial_number", e.GetVersionSerialNumber()},
          {"feature", e.GetVersionFeature()},
          {"feature_text", e.GetVersionFeatureString()},
          {"ip", e.GetVersionIPString()},
          {"version_text", e.GetVersionString()}};
}

nlohmann::json ConfigJson(const TZor_FlashVariables &f) {
  return {{"nick_name", f.NickName},
          {"serial_number", f.SerialNumber},
          {"ip_address", f.IPAddress},
          {"subnetmask", f.Subnetmask},
          {"gateway", f.Gateway},
          {"hard_feature", f.HardFeature},
          {"hard_feature_text", f.GetHardFeatureString()},
          {"can_rx_id", f.CANRxID},
          {"can_tx_id", f.CANTxID},
          {"ppi", f.PPI}};
}

void PrintVersion(TOutput &out, const nlohmann::json &v) {
  out.Field("Controller", v["family"].get<std::string>());
  out.Field("Firmware", v["firmware"].get<std::string>());
  out.Field("Firmware version", std::to_string(v["firmware_version"].get<int>()));
  out.Field("FPGA code", v["fpga"].get<std::string>());
  out.Field("Serial number", Hex(v["serial_number"].get<uint32_t>(), 8));
  out.Field("Hardware",
            v["feature_text"].get<std::string>() + " (" + Hex(v["feature"].get<uint32_t>(), 4) + ")");
  out.Field("IP address", v["ip"].get<std::string>());
}

void PrintConfig(TOutput &out, const TZor_FlashVariables &f) {
  out.Field("Config serial number", Hex(f.SerialNumber, 8));
  out.Field("Nick/host name", f.NickName);
  out.Field("Config IP address", f.IPAddress);
  out.Field("Subnetmask", f.Subnetmask);
  out.Field("Gateway", f.Gateway);
  out.Field("Hardware feature", Hex(f.HardFeature, 4) + " " + f.GetHardFeatureString());
  out.Field("CAN receive ID", Hex(f.CANRxID, 8));
  out.Field("CAN transmit ID", Hex(f.CANTxID, 8));
  out.Field("PPI", Hex(f.PPI, 8));
}

int RunInfo(const TDeviceCommandOptions &options) {
  TCliSession session(options);
  if (int rc = session.Start("info")) return rc;
  TZorFirmwareClass &engine = session.Engine();
  std::string err;
  const int result = engine.GetDeviceFirmwareVersionAndFlash(true, err);
  nlohmann::json fields;
  fields["version"] = VersionJson(engine);
  const TZor_FlashVariables &config = engine.GetFlashVariables();
  fields["config"] = config.updated ? ConfigJson(config) : nlohmann::json(nullptr);
  if (!err.empty()) fields["error"] = err;
  if (engine.GetFirmwareVersion() >= 0) PrintVersion(session.Output(), fields["version"]);
  if (config.updated) PrintConfig(session.Output(), config);
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
