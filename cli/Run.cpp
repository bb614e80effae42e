// The zorfw command line as one call, so the program and the end-to-end
// tests run exactly the same parser and commands.
#include <exception>
#include <iostream>

#include "cli/Commands.h"

namespace zor::cli {

int RunZorfw(int argc, char **argv) {
  CLI::App app{"zorfw - uploads firmware into Zor devices and changes their configuration"};
  app.require_subcommand(1);
  app.footer(
      "DEVICE: ip:ADDRESS, host:NAME, usb (the only USB device attached), usb:SERIAL (serial number, its number\n"
      "part or nick name; zorfw list shows them), or a simulated device: sim:coldfire / sim:esp on the network,\n"
      "sim:coldfire-usb (HID) / sim:coldfire-cdc / sim:esp-usb (virtual COM port) over USB.\n\n" +
      ExitCodeTable());
  int exitCode = 0;
  AddCheckCommand(app, exitCode);
  AddInfoCommand(app, exitCode);
  AddUpdateCommand(app, exitCode);
  AddFactoryCommand(app, exitCode);
  AddConfigCommand(app, exitCode);
  AddListCommand(app, exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : ExitUsage;
  } catch (const std::exception &e) {
    std::cerr << "zorfw: " << e.what() << "\n";
    return ExitInternal;
  }
  return exitCode;
}

}  // namespace zor::cli
