// zorfw: command-line front end of the firmware upload tool.
#include <exception>
#include <iostream>

#include "cli/Commands.h"

namespace zor::cli {

int ExitCodeFromResult(int result) {
  if (result >= 0 && result <= 2) return result;
  if (result < 0 && result >= -20) return 10 - result;
  return ExitInternal;
}

}  // namespace zor::cli

int main(int argc, char **argv) {
  CLI::App app{"zorfw - uploads firmware into Zor devices and changes their configuration"};
  app.require_subcommand(1);
  int exitCode = 0;
  zor::cli::AddCheckCommand(app, exitCode);
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
