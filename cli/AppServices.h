// What zorfw offers the engine during an action (Ctrl-C as Cancel, questions,
// the device password) and the logs it writes.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cli/Devices.h"
#include "cli/Output.h"
#include "firmware/Zor_FW_Class.h"
#include "session/Zor_Session.h"
#include "platform/Zor_DeviceNotify.h"

namespace zor::cli {

// Ctrl-C and SIGTERM only set a flag; the engine sees it as Cancel the next
// time it lets pending messages run. A second one of either ends the program
// at once.
void InstallInterruptHandler();
bool InterruptRequested();
// What Ctrl-C does, for callers without a signal (tests).
void RequestInterrupt();
void ClearInterrupt();

struct TServiceOptions {
  std::optional<uint32_t> Password;  // --password
  bool AssumeYes = false;            // --yes answers every question with Yes
  bool Interactive = true;           // questions and the password prompt may use the terminal
};

class TCliServices : public TZor_AppServices {
 public:
  TCliServices(TZorFirmwareClass &engine, TOutput &output, TServiceOptions options);

  // Passes the system's device-change notifications to the engine from now
  // on, whenever it lets pending messages run: a USB device that restarts is
  // followed by them. False with the reason when they are not available.
  bool WatchDeviceChanges(std::string &error);

  void ProcessMessages() override;
  void ShowSplash(const std::string &text) override;
  void HideSplash() override {}
  bool Confirm(const std::string &text) override;
  void Notify(const std::string &text) override;
  void Beep() override;
  bool AskLogin(std::string &password) override;

 private:
  TZorFirmwareClass &FEngine;
  TOutput &FOutput;
  TServiceOptions FOptions;
  bool FCancelNoted = false;
  std::unique_ptr<platform::TZor_DeviceMonitor> FMonitor;
};

// The three loggers of the program, created in this order so that the stream
// log and the stream debug log get the debug log's id + 1 and + 2. With a
// directory they write zorfw.txt, Stream_zorfw.txt and StreamDbg_zorfw.txt.
struct TCliLogs {
  int LogId = -1;
  // False with the reason when a log file cannot be opened.
  bool Open(const std::string &directory, std::string &error);
};

// Options every command on a device takes.
struct TDeviceCommandOptions {
  std::string Device;
  bool Json = false;
  std::string LogDir;
  std::string Password;
  bool AssumeYes = false;
  bool LowLevelLog = false;
  TSimDeviceOptions Sim;
};
void AddDeviceOptions(CLI::App &cmd, TDeviceCommandOptions &options);

// One run of a device command: logs, output, the engine with its services
// and the device (and the simulator behind a sim: device). Members are freed
// in reverse order, so the simulator outlives the engine's last goodbye.
class TCliSession {
 public:
  explicit TCliSession(const TDeviceCommandOptions &options);
  ~TCliSession();

  // Sets everything up; 0, or the exit status of a failure (already reported).
  int Start(const std::string &command);
  // What the window does before an action on the selected device: read its
  // version and configuration, check that the action is possible over the
  // network and take the login. 0 or the engine's result.
  int PrepareAction();
  // Checks a read of version and configuration that the engine reported as
  // `result`: a configuration it could not read is reported, gives
  // fwr_ReadError and makes Finish end with its own exit status.
  int CheckConfigRead(int result);
  // Reports the result and gives the exit status (from the result unless given).
  int Finish(int result, nlohmann::json fields = nlohmann::json::object(),
             std::optional<int> exitStatus = std::nullopt);

  TZorFirmwareClass &Engine() { return *FEngine; }
  session::TZor_Session &Session() { return *FSession; }
  TOutput &Output() { return FOutput; }
  const std::string &Command() const { return FCommand; }

 private:
  TDeviceCommandOptions FOptions;
  std::string FCommand;
  bool FConfigReadFailed = false;
  TCliLogs FLogs;
  TOutput FOutput;
  TTarget FTarget;
  std::unique_ptr<TZorFirmwareClass> FEngine;
  std::unique_ptr<TCliServices> FServices;
  std::unique_ptr<session::TZor_Session> FSession;
};

}  // namespace zor::cli
