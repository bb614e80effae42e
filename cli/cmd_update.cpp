// zorfw update DEVICE FILE: the firmware update, with the checks and the
// closing messages of the window's Start button.
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/AppServices.h"
#include "cli/Commands.h"

namespace zor::cli {

namespace {

struct TUpdateOptions {
  TDeviceCommandOptions Device;
  std::string FileName;
  bool Bootloader = false;
  bool NoVerify = false;
};

int RunUpdate(const TUpdateOptions &o) {
  TCliSession session(o.Device);
  if (int rc = session.Start("update")) return rc;
  TZorFirmwareClass &engine = session.Engine();
  TOutput &out = session.Output();
  nlohmann::json fields{{"file", o.FileName}, {"bootloader", o.Bootloader}};
  if (const int missing = session.Session().CheckFileExists(o.FileName))
    return session.Finish(missing, std::move(fields));
  // Only a ColdFire device on USB can take a boot loader; the ESP update
  // would ignore the wish and replace the firmware.
  if (o.Bootloader) {
    const TZor_BaseDevice *device = engine.GetBaseDevice();
    const char *refusal = device->GetDevType() == Zor_Remote ? "Update Bootloader (via USB only)"
                          : device->GetPeerType() == ptESP   ? "Update Bootloader (ColdFire devices only)"
                                                             : nullptr;
    if (refusal) {
      out.Note(refusal, mtErr);
      return session.Finish(fwr_InvalidParameter, std::move(fields));
    }
  }
  int result = session.PrepareAction();
  fields["firmware_before"] = engine.GetFirmwareVersion();
  if (result != 0) return session.Finish(result, std::move(fields));
  engine.SetVerifyUpdate(!o.NoVerify);
  result = engine.DoUpdate(o.FileName, o.Bootloader, engine.GetFlashVariables().SerialNumber);
  fields["verified"] = engine.GetUpdateVerified();
  session.Session().ReportUpdateResult(result);
  if (result == fwr_NoError) {
    // As the window does: show what the device runs now. A device that does
    // not tell is no plain success.
    std::string err;
    const int read = session.Session().ReadVersionAfterUpdate(err);
    if (read != fwr_NoError) {
      fields["version_read"] = read;
      if (!err.empty()) fields["error"] = err;
      return session.Finish(result, std::move(fields), ExitVersionReadFailed);
    }
    fields["firmware_after"] = engine.GetFirmwareVersion();
  }
  return session.Finish(result, std::move(fields));
}

}  // namespace

void AddUpdateCommand(CLI::App &app, int &exitCode) {
  auto options = std::make_shared<TUpdateOptions>();
  CLI::App *cmd =
      app.add_subcommand("update", "Upload a firmware file (.s19 ColdFire, .bin ESP) into a device");
  AddDeviceOptions(*cmd, options->Device);
  cmd->add_option("file", options->FileName, "Firmware file")->required();
  cmd->add_flag("--bootloader", options->Bootloader,
                "The file is a boot loader (ColdFire devices on USB only)");
  cmd->add_flag("--no-verify", options->NoVerify,
                "Do not read a ColdFire image back after programming (the result then says \"not verified\")");
  cmd->callback([options, &exitCode] { exitCode = RunUpdate(*options); });
}

}  // namespace zor::cli
