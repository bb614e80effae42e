// zorfw list: the maker's USB devices attached to this computer, read from
// what the system knows without opening them; with --probe each one is
// opened for its firmware version.
#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/AppServices.h"
#include "cli/Commands.h"
#include "cli/UsbDevices.h"
#include "firmware/Zor_FW_Class.h"
#include "platform/Zor_Sys.h"

namespace zor::cli {

namespace {

struct TListOptions {
  bool Json = false;
  bool Probe = false;
  std::string LogDir;
};

// Why a device could not be opened, in words that say what to do.
std::string OpenFailure(TZor_UsbDevice &device, const std::string &openError) {
  switch (device.GetSystemLastError()) {
    case platform::ERR_ACCESS_DENIED: return "held by another program";
    case platform::ERR_NO_PERMISSION: return platform::SystemErrorText({platform::ERR_NO_PERMISSION, 0});
    default: return openError;
  }
}

// The firmware version as the engine reads it when the device is selected;
// the reason instead when it cannot be read.
void Probe(TZor_UsbDevice &device, int logId, nlohmann::json &entry) {
  TZorFirmwareClass engine(logId);
  engine.SetBaseDevice(&device);
  std::string err;
  const int result = engine.GetDeviceFirmwareVersionAndFlash(false, err);
  // Taking the device away clears what was read from it.
  TZor_OnExit release([&engine] { engine.SetBaseDevice(nullptr); });
  entry["firmware_version"] = nullptr;
  entry["firmware"] = "";
  if (result == fwr_OpenError) {
    entry["probe_error"] = OpenFailure(device, engine.GetOpenErrorMsg());
    return;
  }
  // The version counts even when the configuration read after it failed;
  // a boot loader has none to tell.
  if (engine.GetFirmwareVersion() > 1) {
    entry["firmware_version"] = engine.GetFirmwareVersion();
    entry["firmware"] = engine.GetFWVersionString();
  } else if (!device.IsBootLoader() && result != fwr_NoError && result != fwr_ReferenceClockError) {
    entry["probe_error"] = err.empty() ? ErrorText(result) : err;
  }
}

std::string FirmwareColumn(const nlohmann::json &e) {
  if (e.contains("probe_error")) return e["probe_error"].get<std::string>();
  if (e["firmware_version"].is_null()) return "-";
  const std::string text = e["firmware"].get<std::string>();
  return std::to_string(e["firmware_version"].get<int>()) + (text.empty() ? "" : " (" + text + ")");
}

// The devices as a table, one row each, columns as wide as their longest cell.
void PrintTable(TOutput &out, const nlohmann::json &devices, bool probe) {
  std::vector<std::vector<std::string>> rows{{"KIND", "FAMILY", "SERIAL NUMBER", "MODE", "NODE"}};
  if (probe) rows[0].push_back("FIRMWARE");
  for (const nlohmann::json &e : devices) {
    std::vector<std::string> row{e["kind"], e["family"], e["serial_number"], e["mode"], e["node"]};
    if (probe) row.push_back(FirmwareColumn(e));
    rows.push_back(std::move(row));
  }
  std::vector<size_t> width(rows[0].size(), 0);
  for (const auto &row : rows)
    for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  for (const auto &row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i)
      line += i + 1 < row.size() ? row[i] + std::string(width[i] - row[i].size() + 2, ' ') : row[i];
    out.Line(line);
  }
}

int RunList(const TListOptions &o) {
  TOutput out = TOutput::ForStdout(o.Json);
  TCliLogs logs;
  std::string error;
  if (!logs.Open(o.LogDir, error)) {
    out.Note(error, mtErr);
    out.Result("list", fwr_InvalidParameter, ExitUsage);
    return ExitUsage;
  }
  std::string enumError;
  std::vector<std::unique_ptr<TZor_UsbDevice>> devices = EnumMakerUsbDevices(logs.LogId, enumError);
  nlohmann::json list = nlohmann::json::array();
  for (const auto &device : devices) {
    nlohmann::json entry = UsbEntryJson(DescribeUsbDevice(*device));
    if (o.Probe) Probe(*device, logs.LogId, entry);
    list.push_back(std::move(entry));
  }
  nlohmann::json fields{{"devices", list}};
  // A walk that failed may have missed devices: that is no plain success.
  const int result = enumError.empty() ? fwr_NoError : fwr_ReadError;
  if (!enumError.empty()) {
    out.Note(enumError, mtErr);
    fields["error"] = enumError;
  }
  if (!list.empty())
    PrintTable(out, list, o.Probe);
  else if (enumError.empty())
    out.Note("No USB device of the maker attached", mtInfo);
  const int exitCode = ExitCodeFromResult(result);
  out.Result("list", result, exitCode, std::move(fields));
  return exitCode;
}

}  // namespace

void AddListCommand(CLI::App &app, int &exitCode) {
  auto options = std::make_shared<TListOptions>();
  CLI::App *cmd = app.add_subcommand("list", "List the maker's USB devices attached to this computer");
  cmd->add_flag("--json", options->Json, "The devices and the result as one JSON object");
  cmd->add_flag("--probe", options->Probe,
                "Open each device for its firmware version (a device that cannot be opened says why)");
  cmd->add_option("--log", options->LogDir, "Write the debug log into this directory");
  cmd->callback([options, &exitCode] { exitCode = RunList(*options); });
}

}  // namespace zor::cli
