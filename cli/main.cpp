// zorfw: command-line front end of the firmware upload tool.
#include "cli/AppServices.h"
#include "cli/Commands.h"

int main(int argc, char **argv) {
  zor::cli::InstallInterruptHandler();
  return zor::cli::RunZorfw(argc, argv);
}
