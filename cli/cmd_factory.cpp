// zorfw factory DEVICE: switches an ESP device back to its factory partition.
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/AppServices.h"
#include "cli/Commands.h"

namespace zor::cli {

namespace {

int RunFactory(const TDeviceCommandOptions &options) {
  TCliSession session(options);
  if (int rc = session.Start("factory")) return rc;
  TZorFirmwareClass &engine = session.Engine();
  int result = session.PrepareAction();
  nlohmann::json fields{{"firmware_before", engine.GetFirmwareVersion()}};
  if (result == 0) result = engine.SwitchFactoryPartition();
  return session.Finish(result, std::move(fields));
}

}  // namespace

void AddFactoryCommand(CLI::App &app, int &exitCode) {
  auto options = std::make_shared<TDeviceCommandOptions>();
  CLI::App *cmd = app.add_subcommand("factory", "Switch an ESP device back to its factory partition");
  AddDeviceOptions(*cmd, *options);
  cmd->callback([options, &exitCode] { exitCode = RunFactory(*options); });
}

}  // namespace zor::cli
