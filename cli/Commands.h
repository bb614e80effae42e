// The commands of zorfw and their shared exit status.
#pragma once

#include <CLI/CLI.hpp>

#include "session/Zor_Session.h"

namespace zor::cli {

// Exit status of zorfw, from the engine's result code:
//   0  success            1  canceled by user (also Ctrl-C, SIGTERM)   2  nothing to change
//   10 + n  the engine's failure -n (11 "File not found" ... 30 "Hardware fault")
//   40 the update succeeded, but the version read after it failed
//   41 the configuration could not be read
//   64 usage error        70 internal error
inline constexpr int ExitVersionReadFailed = 40;
inline constexpr int ExitConfigReadFailed = 41;
inline constexpr int ExitUsage = 64;
using session::ConfigReadFailedText;
using session::VersionReadFailedText;
inline constexpr int ExitInternal = 70;
int ExitCodeFromResult(int result);
// The table above with every failure text, for --help.
std::string ExitCodeTable();

// Each command adds its subcommand to `app`; when it runs it stores its exit
// status in `exitCode`.
void AddCheckCommand(CLI::App &app, int &exitCode);
void AddInfoCommand(CLI::App &app, int &exitCode);
void AddUpdateCommand(CLI::App &app, int &exitCode);
void AddFactoryCommand(CLI::App &app, int &exitCode);
void AddConfigCommand(CLI::App &app, int &exitCode);
void AddListCommand(CLI::App &app, int &exitCode);

// Parses the command line and runs the chosen command; gives the exit status.
// The caller installs the interrupt handler (main does; tests request the
// interrupt themselves).
int RunZorfw(int argc, char **argv);

}  // namespace zor::cli
