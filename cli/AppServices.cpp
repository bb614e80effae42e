#include "cli/AppServices.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>

#include "cli/Commands.h"
#include "foundation/LogUnit.h"

namespace zor::cli {

namespace {

std::atomic<bool> GInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void OnInterrupt(int sig) {
  if (!GInterrupted.exchange(true)) return;
  // A second signal, of either kind, means "now": its default action ends the
  // program as soon as the handler returns and unblocks it.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// A file descriptor on the controlling terminal, closed on leaving.
struct TTty {
  int Fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  ~TTty() {
    if (Fd >= 0) ::close(Fd);
  }
  void Write(const std::string &text) const {
    if (::write(Fd, text.data(), text.size()) < 0) return;
  }
  // One line without its end; false at end of input.
  bool ReadLine(std::string &line) const {
    line.clear();
    char c = 0;
    while (true) {
      ssize_t n = ::read(Fd, &c, 1);
      if (n <= 0) return !line.empty();
      if (c == '\n') return true;
      if (line.size() < 256) line += c;
    }
  }
};

// Reads a line from the terminal with echo off; the terminal's settings come
// back even when the read fails.
bool ReadHidden(const TTty &tty, const std::string &prompt, std::string &line) {
  termios saved{};
  const bool haveTermios = ::tcgetattr(tty.Fd, &saved) == 0;
  if (haveTermios) {
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(tty.Fd, TCSAFLUSH, &quiet);
  }
  tty.Write(prompt);
  const bool ok = tty.ReadLine(line);
  if (haveTermios) ::tcsetattr(tty.Fd, TCSAFLUSH, &saved);
  return ok;
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() { return GInterrupted.load(); }
void RequestInterrupt() { GInterrupted.store(true); }
void ClearInterrupt() { GInterrupted.store(false); }

TCliServices::TCliServices(TZorFirmwareClass &engine, TOutput &output, TServiceOptions options)
    : FEngine(engine), FOutput(output), FOptions(options) {}

bool TCliServices::WatchDeviceChanges(std::string &error) {
  using platform::TZor_DeviceChangeKind;
  platform::TZor_SysError sysError;
  FMonitor = platform::CreateDeviceMonitor(
      [this](const platform::TZor_DeviceChange &change) {
        switch (change.Kind) {
          case TZor_DeviceChangeKind::dcUsbAttached: FEngine.UsbAttached(change.Name); break;
          case TZor_DeviceChangeKind::dcUsbDetached: FEngine.UsbDetached(change.Name); break;
          case TZor_DeviceChangeKind::dcPortAttached: FEngine.PortAttached(change.Name); break;
          case TZor_DeviceChangeKind::dcPortDetached: FEngine.PortDetached(change.Name); break;
        }
      },
      sysError);
  if (!FMonitor) error = platform::SystemErrorText(sysError);
  return FMonitor != nullptr;
}

void TCliServices::ProcessMessages() {
  if (FMonitor) {
    pollfd pending{static_cast<int>(FMonitor->PollHandle()), POLLIN, 0};
    if (::poll(&pending, 1, 0) > 0) FMonitor->Pump();
  }
  if (!InterruptRequested()) return;
  // Passed on every time: an action clears the flag when it starts.
  FEngine.SetCancelUpdate(true);
  if (FCancelNoted) return;
  FCancelNoted = true;
  FOutput.Note("Interrupted: canceling", mtWarning);
}

void TCliServices::ShowSplash(const std::string &text) { FOutput.Status(text); }

bool TCliServices::Confirm(const std::string &text) {
  FOutput.Note(text, mtWarning);
  if (FOptions.AssumeYes) {
    FOutput.Note("Answered Yes (--yes)", mtInfo);
    return true;
  }
  TTty tty;
  std::string answer;
  if (!FOptions.Interactive || tty.Fd < 0) {
    FOutput.Note("Answered No (no terminal; --yes answers Yes)", mtInfo);
    return false;
  }
  tty.Write("Continue? [y/N] ");
  if (!tty.ReadLine(answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

void TCliServices::Notify(const std::string &text) { FOutput.Note(text, mtWarning); }

void TCliServices::Beep() {
  if (FOptions.Interactive && ::isatty(STDERR_FILENO) == 1) {
    if (::write(STDERR_FILENO, "\a", 1) < 0) return;
  }
}

bool TCliServices::AskLogin(std::string &password) {
  if (FOptions.Password) {
    password = MakeLoginText(*FOptions.Password);
    return true;
  }
  TTty tty;
  if (!FOptions.Interactive || tty.Fd < 0) return false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string line;
    if (!ReadHidden(tty, "Password for remote login at your Zor device (8 hex digits): ", line)) return false;
    if (line.empty()) return false;
    if (std::optional<uint32_t> value = ParsePassword(line)) {
      password = MakeLoginText(*value);
      return true;
    }
    tty.Write("Not 8 hex digits.\n");
  }
  return false;
}

bool TCliLogs::Open(const std::string &directory, std::string &error) {
  if (LogId >= 0) return true;
  LogId = CreateLog();
  const int stream = CreateLog();
  const int streamDbg = CreateLog();
  if (directory.empty()) return true;
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    error = "cannot create " + directory + ": " + ec.message();
    return false;
  }
  SetLogHeaderLines(stream, {"Magic    t  c  FPGA  Flags   Chk U S Ptr   Values"});
  const std::filesystem::path dir(directory);
  const std::pair<int, const char *> files[] = {
      {LogId, "zorfw.txt"}, {stream, "Stream_zorfw.txt"}, {streamDbg, "StreamDbg_zorfw.txt"}};
  for (const auto &[id, name] : files) {
    if (SetLogFile(id, (dir / name).string(), false)) continue;
    error = "cannot open log " + (dir / name).string() + ": " + GetLogErrorMsg(id);
    return false;
  }
  return true;
}

void AddDeviceOptions(CLI::App &cmd, TDeviceCommandOptions &o) {
  cmd.add_option("device", o.Device,
                 "ip:ADDRESS, host:NAME, usb (the only USB device), usb:SERIAL (serial number, its number "
                 "part or nick name), sim:coldfire, sim:coldfire-usb, sim:coldfire-cdc, sim:esp or sim:esp-usb")
      ->required();
  cmd.add_flag("--json", o.Json,
               "One JSON object per line: every message and progress step, then the result");
  cmd.add_option("--log", o.LogDir, "Write the debug log and the stream logs into this directory");
  cmd.add_flag("--low-level-log", o.LowLevelLog, "Log the devices' low-level traffic too (with --log)");
  cmd.add_option(
      "--password", o.Password,
      "Device password for network login (8 hex digits); asked on the terminal when needed and missing");
  cmd.add_flag("--yes,-y", o.AssumeYes,
               "Answer every question with Yes (otherwise asked, or No without a terminal)");
  auto *sim = cmd.add_option_group("Simulated devices (sim:...)");
  sim->add_option("--sim-firmware", o.Sim.Firmware,
                  "Firmware version (ColdFire e.g. 112; ESP major*100+minor)");
  sim->add_option("--sim-update-firmware", o.Sim.UpdateFirmware,
                  "Version the device reports after an update");
  sim->add_option("--sim-serial", o.Sim.Serial, "Serial number");
  sim->add_flag("--sim-bootloader", o.Sim.BootLoader, "Start in boot-loader mode (ColdFire)");
  sim->add_option("--sim-restart-ms", o.Sim.RestartMs, "Silence after a reset or after programming");
  sim->add_option("--sim-fault", o.Sim.Faults,
                  "never-ready, no-restart, refuse-login, program-status=N or refuse-commands (repeatable)")
      ->allow_extra_args(false)
      ->check([](const std::string &fault) {
        std::string error;
        return CheckSimFault(fault, error) ? std::string() : error;
      });
}

TCliSession::TCliSession(const TDeviceCommandOptions &options)
    : FOptions(options), FOutput(TOutput::ForStdout(options.Json)) {}

TCliSession::~TCliSession() {
  // The engine must not call back into services that are already gone.
  if (FEngine) FEngine->SetAppServices(nullptr);
}

int TCliSession::Start(const std::string &command) {
  FCommand = command;
  std::string error;
  TDeviceAddress address;
  TServiceOptions services;
  services.AssumeYes = FOptions.AssumeYes;
  services.Interactive = ::isatty(STDIN_FILENO) == 1;
  if (!FOptions.Password.empty()) {
    services.Password = ParsePassword(FOptions.Password);
    if (!services.Password) error = "--password: not 8 hex digits";
  }
  if (error.empty()) ParseDeviceAddress(FOptions.Device, address, error);
  if (error.empty()) FLogs.Open(FOptions.LogDir, error);
  if (!error.empty()) {
    FOutput.Note(error, mtErr);
    return Finish(fwr_InvalidParameter, nlohmann::json::object(), ExitUsage);
  }
  // A simulated device accepts any login; spare the prompt.
  if (!services.Password && IsSimulatedAddress(address)) services.Password = 0;
  if (const int failure = CreateTarget(address, FOptions.Sim, FLogs.LogId, FTarget, error)) {
    FOutput.Note(error, mtErr);
    return Finish(failure);
  }
  FEngine = std::make_unique<TZorFirmwareClass>(FLogs.LogId);
  FEngine->SetLowLevelLog(FOptions.LowLevelLog);
  FEngine->SetOnMessage(
      [this](void *, const std::string &text, TMessageType mType) { FOutput.Message(text, mType); });
  FEngine->SetOnProgress([this](void *, TProgressType kind, int64_t value, const std::string &unit) {
    FOutput.Progress(kind, value, unit);
  });
  FServices = std::make_unique<TCliServices>(*FEngine, FOutput, services);
  FEngine->SetAppServices(FServices.get());
  if (IsUsbAddress(address)) {
    // Without them the engine cannot see a reset device leave and come
    // back: it waits the full time and reports that there was no reset.
    if (!FServices->WatchDeviceChanges(error))
      FOutput.Note("Device-change notifications not available: " + error, mtWarning);
  }
  FEngine->SetOwnedDevice(std::move(FTarget.Device));
  FSession = std::make_unique<session::TZor_Session>(*FEngine, FLogs.LogId);
  FSession->SetCancelCheck([] { return InterruptRequested(); });
  return 0;
}

int TCliSession::PrepareAction() { return FSession->PrepareAction(); }

int TCliSession::CheckConfigRead(int result) {
  if (result != 0 || FEngine->GetFlashVariables().updated) return result;
  FOutput.Note(ConfigReadFailedText, mtErr);
  FConfigReadFailed = true;
  return fwr_ReadError;
}

int TCliSession::Finish(int result, nlohmann::json fields, std::optional<int> exitStatus) {
  if (!exitStatus && FConfigReadFailed && result == fwr_ReadError) exitStatus = ExitConfigReadFailed;
  const int exitCode = exitStatus ? *exitStatus : ExitCodeFromResult(result);
  fields["device"] = FOptions.Device;
  FOutput.Result(FCommand, result, exitCode, std::move(fields));
  return exitCode;
}

}  // namespace zor::cli
