// zorfw: command-line front end of the firmware upload tool.
#include <exception>
#include <iostream>

#include "cli/AppServices.h"
#include "cli/Commands.h"

int main(int argc, char **argv) {
  CLI::App app{"zorfw - uploads firmware into Zor devices and changes their configuration"};
  app.require_subcommand(1);
  app.footer("DEVICE: ip:ADDRESS, host:NAME, or sim:coldfire / sim:esp for a simulated device.\n\n" +
             zor::cli::ExitCodeTable());
  int exitCode = 0;
  zor::cli::AddCheckCommand(app, exitCode);
  zor::cli::AddInfoCommand(app, exitCode);
  zor::cli::AddUpdateCommand(app, exitCode);
  zor::cli::AddFactoryCommand(app, exitCode);
  zor::cli::AddConfigCommand(app, exitCode);
  zor::cli::InstallInterruptHandler();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : zor::cli::ExitUsage;
  } catch (const std::exception &e) {
    std::cerr << "zorfw: " << e.what() << "\n";
    return zor::cli::ExitInternal;
  }
  return exitCode;
}
