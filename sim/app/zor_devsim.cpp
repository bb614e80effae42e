// zor-devsim: simulated devices on the network, one per IPv4 address, each
// with its control port and data connections, until SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "foundation/LogUnit.h"
#include "sim/SimDevice.h"
#include "sim/SimNetLink.h"

extern char **environ;

namespace zor {
namespace {

const char *HelpText = R"(Usage: zor-devsim [options] --device ADDRESS [device options] [--device ADDRESS ...]

Runs simulated Zor devices on the network until interrupted (SIGINT, SIGTERM).
Each device listens on its own IPv4 address; several devices may share a port.

General options:
  --help                  show this text
  --log FILE              write the simulator's log to FILE
  --host-hook COMMAND     run "COMMAND down ADDRESS" when a device goes silent and
                          "COMMAND up ADDRESS" when it is back (used to take a test
                          network's link down, see scripts/netns-host.sh)
  --no-claim              let real ICMP answer pings instead of the simulator's state
                          (pings from the same process otherwise see a restart)

Device options apply to the device named by the last --device; given before the
first --device they are defaults for every device.
  --device ADDRESS        start a device on this IPv4 address (also its configured address)
  --port N                control port (default 1024; 0 = chosen by the system, printed)
  --bind ADDRESS          listen on ADDRESS instead (0.0.0.0: every address)
  --family coldfire|esp   controller family (default coldfire)
  --firmware N            firmware version: ColdFire number (e.g. 112), ESP major*100+minor
                          (e.g. 114 = 1.14)
  --serial N              serial number (decimal, or hexadecimal with 0x)
  --feature N             hardware feature word
  --nick NAME             nick name
  --password TEXT         login value the device accepts (default: any)
  --bootloader            start in boot-loader mode (ColdFire)
  --old-bootloader        the boot loader is the old "V1.0" one (ColdFire)
  --restart-ms N          silence after a reset or after programming (default 300)
  --reset-delay-ms N      a reset command is answered, then the device goes silent after N ms
  --timestamp-ms N        interval of time-stamp reports, 0 = none (default 1000)
  --heartbeat-ms N        interval of ESP heartbeat records, 0 = none (default 2000)
  --check-ms N            ESP: time to check an image before the ready report (default 100)
  --fault NAME[@KINDS][=COUNT]
                          inject a fault; COUNT is a number of times or "always"
                          (default 1). Link faults, KINDS naming the requests they aim
                          at (connect,disconn,try,cmd,block,setport,all):
                            ab            CONNECT answered "ab" with the user table
                            bu            CMD and block header answered "bu"
                            fe            any request answered with the --fe-text
                            ta            CONNECT answered "ta"
                            no-answer     request carried out, no answer sent
                            slow          answer sent after --slow-ms (default: CONNECT)
                            drop          data connection dropped after --drop-after bytes
                            corrupt-unit  CDC block / record sent with a damaged magic
                            final-answer  the answer after a block's data is --final-text
                          Device faults:
                            never-ready   ESP: no ready report after the image check
                            no-restart    resets and programming leave the device running
                            refuse-login  every login value is refused
                            corrupt-frame damaged check byte in the next COUNT frames/records
                            program-status=N  ColdFire: status word the system code leaves
  --fault at:K:ACTION[@KINDS]
                          at the K-th control request (counting only KINDS, default
                          all) do ACTION instead: drop (close the control connection
                          unanswered), er (answer "er"), silent (no answer), close-data
                          (serve it, then close the data connection), restart (answer
                          "ok" without carrying it out, then restart), corrupt (serve
                          it, damage the next output)
  --final-text TEXT       final-answer fault: the answer sent (default "er"; "" = none)
  --fe-text TEXT          answer of the fe fault (default "fe"; must begin with "fe")
  --slow-ms N             delay of the slow fault (default 150, past the 100 ms CONNECT window)
  --drop-after N          bytes before the drop fault cuts the data connection

Example:
  zor-devsim --timestamp-ms 500 --device 127.0.0.2 --serial 0x1001 \
             --device 127.0.0.3 --family esp --firmware 114 --fault ab=2
)";

struct TDeviceOptions {
  TSimConfig Model;
  TSimFaults ModelFaults;
  TSimNetLinkConfig Link;
  TSimLinkFaults LinkFaults;
  TSimStepFault Step;
};

struct TOptions {
  std::string LogFile;
  std::string HostHook;
  bool Claim = true;
  std::vector<TDeviceOptions> Devices;
};

class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

uint32_t Number(const std::string &opt, const std::string &text) {
  try {
    size_t used = 0;
    unsigned long v = std::stoul(text, &used, 0);
    if (used == text.size() && v <= 0xFFFFFFFFul) return static_cast<uint32_t>(v);
  } catch (const std::exception &) {
  }
  throw TUsageError(opt + ": not a number: " + text);
}

uint32_t Ipv4(const std::string &opt, const std::string &text) {
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) throw TUsageError(opt + ": not an IPv4 address: " + text);
  return ntohl(a.s_addr);
}

uint8_t Kinds(const std::string &list) {
  uint8_t kinds = 0;
  std::string error;
  if (!ParseSimRequestKinds(list, kinds, error)) throw TUsageError("--fault: " + error);
  return kinds;
}

// --fault NAME[@KINDS][=COUNT]
void ApplyFault(TDeviceOptions &d, const std::string &option) {
  if (option.rfind("at:", 0) == 0) {
    std::string error;
    if (!ParseSimStepFault(option, d.Step, error)) throw TUsageError("--fault: " + error);
    return;
  }
  std::string name = option, count = "1", kinds;
  if (size_t eq = name.find('='); eq != std::string::npos) {
    count = name.substr(eq + 1);
    name.resize(eq);
  }
  if (size_t at = name.find('@'); at != std::string::npos) {
    kinds = name.substr(at + 1);
    name.resize(at);
  }
  const int n = count == "always" ? -1 : static_cast<int>(Number("--fault " + name, count));
  auto rule = [&](TSimFaultRule &r) {
    r.Count = n;
    if (!kinds.empty()) r.Kinds = Kinds(kinds);
  };
  TSimLinkFaults &lf = d.LinkFaults;
  TSimFaults &mf = d.ModelFaults;
  if (name == "ab")
    rule(lf.AnswerAb);
  else if (name == "bu")
    rule(lf.AnswerBu);
  else if (name == "fe")
    rule(lf.AnswerFe);
  else if (name == "ta")
    rule(lf.AnswerTa);
  else if (name == "no-answer")
    rule(lf.NoAnswer);
  else if (name == "slow")
    rule(lf.SlowAnswer);
  else if (name == "drop")
    rule(lf.DropData);
  else if (name == "corrupt-unit")
    rule(lf.CorruptUnit);
  else if (name == "final-answer")
    rule(lf.FinalAnswer);
  else if (name == "never-ready")
    mf.NeverReady = n != 0;
  else if (name == "no-restart")
    mf.NoRestart = n != 0;
  else if (name == "refuse-login")
    mf.RefuseLogin = n != 0;
  else if (name == "corrupt-frame")
    mf.CorruptOutputs = n;
  else if (name == "program-status")
    mf.ProgramStatus = Number("--fault program-status", count);
  else
    throw TUsageError("--fault: unknown fault: " + name);
}

TOptions Parse(int argc, char **argv) {
  TOptions o;
  TDeviceOptions defaults;
  defaults.Link.ControlPort = 1024;
  TDeviceOptions *cur = &defaults;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw TUsageError(opt + " needs a value");
      return argv[++i];
    };
    auto num = [&] { return Number(opt, value()); };
    TSimConfig &m = cur->Model;
    if (opt == "--help" || opt == "-h") {
      std::cout << HelpText;
      std::exit(0);
    } else if (opt == "--log")
      o.LogFile = value();
    else if (opt == "--host-hook")
      o.HostHook = value();
    else if (opt == "--no-claim")
      o.Claim = false;
    else if (opt == "--device") {
      o.Devices.push_back(defaults);
      cur = &o.Devices.back();
      cur->Model.IpAddress = Ipv4(opt, value());
    } else if (opt == "--port") {
      uint32_t p = num();
      if (p > 65535) throw TUsageError("--port: out of range");
      cur->Link.ControlPort = static_cast<uint16_t>(p);
    } else if (opt == "--bind") {
      cur->Link.BindAddress = value();
      Ipv4(opt, cur->Link.BindAddress);
    } else if (opt == "--family") {
      std::string f = value();
      if (f == "coldfire")
        m.Family = TSimFamily::Coldfire;
      else if (f == "esp")
        m.Family = TSimFamily::Esp;
      else
        throw TUsageError("--family: coldfire or esp, not " + f);
    } else if (opt == "--firmware")
      m.FirmwareVersion = static_cast<int>(num());
    else if (opt == "--serial")
      m.SerialNumber = num();
    else if (opt == "--feature")
      m.HardFeature = num();
    else if (opt == "--nick")
      m.NickName = value();
    else if (opt == "--password")
      m.LoginPassword = value();
    else if (opt == "--bootloader")
      m.StartInBootLoader = true;
    else if (opt == "--old-bootloader")
      m.OldBootLoader = true;
    else if (opt == "--restart-ms")
      m.Timings.RestartSilentMs = num();
    else if (opt == "--reset-delay-ms")
      m.Timings.ResetDelayMs = num();
    else if (opt == "--timestamp-ms")
      m.Timings.TimeStampIntervalMs = num();
    else if (opt == "--heartbeat-ms")
      m.Timings.HeartbeatIntervalMs = num();
    else if (opt == "--check-ms")
      m.Timings.EspCheckMs = num();
    else if (opt == "--fault")
      ApplyFault(*cur, value());
    else if (opt == "--fe-text") {
      cur->LinkFaults.FeText = value();
      if (cur->LinkFaults.FeText.rfind("fe", 0) != 0) throw TUsageError("--fe-text must begin with \"fe\"");
    } else if (opt == "--final-text")
      cur->LinkFaults.FinalText = value();
    else if (opt == "--slow-ms")
      cur->LinkFaults.SlowAnswerMs = num();
    else if (opt == "--drop-after")
      cur->LinkFaults.DropAfterBytes = num();
    else
      throw TUsageError("unknown option: " + opt);
  }
  if (o.Devices.empty()) throw TUsageError("no device: give at least one --device ADDRESS");
  return o;
}

// Runs the host hook and waits for it; its failure is only reported.
void RunHook(const std::string &hook, const std::string &address, bool up) {
  const std::string cmd = hook + (up ? " up " : " down ") + address;
  const char *args[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
  pid_t pid;
  if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char **>(args), environ) != 0) {
    std::cerr << "zor-devsim: host hook could not be started: " << cmd << std::endl;
    return;
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    std::cerr << "zor-devsim: host hook failed: " << cmd << std::endl;
}

int Run(const TOptions &o) {
  int logId = -1;
  if (!o.LogFile.empty()) {
    logId = CreateLog();
    if (!SetLogFile(logId, o.LogFile, false))
      std::cerr << "zor-devsim: cannot write log " << o.LogFile << std::endl;
  }
  // Signals are taken by sigwait below; every thread started from here inherits the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::vector<std::unique_ptr<TSimDevice>> devices;
  std::vector<std::unique_ptr<TSimNetLink>> links;
  int rc = 0;
  for (const TDeviceOptions &option : o.Devices) {
    TSimConfig model = option.Model;
    model.LogId = logId;
    devices.push_back(CreateSimDevice(model));
    devices.back()->SetFaults(option.ModelFaults);
    TSimNetLinkConfig link = option.Link;
    link.LogId = logId;
    link.ClaimHost = o.Claim;
    if (!o.HostHook.empty())
      link.OnHostState = [hook = o.HostHook](const std::string &a, bool up) { RunHook(hook, a, up); };
    links.push_back(std::make_unique<TSimNetLink>(*devices.back(), link));
    links.back()->SetFaults(option.LinkFaults);
    links.back()->SetStepFault(option.Step);
    if (!links.back()->Start()) {
      std::cerr << "zor-devsim: " << links.back()->GetLastErrorText() << std::endl;
      rc = 1;
      break;
    }
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", model.SerialNumber);
    std::cout << "zor-devsim: " << (model.Family == TSimFamily::Esp ? "ESP" : "ColdFire")
              << " device, serial " << serial << ", firmware " << model.FirmwareVersion << ", on "
              << links.back()->GetAddress() << ":" << links.back()->GetControlPort() << std::endl;
  }
  if (rc == 0) {
    std::cout << "zor-devsim: running; stop with Ctrl+C" << std::endl;
    int sig = 0;
    sigwait(&stop, &sig);
    std::cout << "zor-devsim: stopping" << std::endl;
  }
  for (auto &l : links) l->Stop();
  return rc;
}

}  // namespace
}  // namespace zor

int main(int argc, char **argv) {
  try {
    return zor::Run(zor::Parse(argc, argv));
  } catch (const zor::TUsageError &e) {
    std::cerr << "zor-devsim: " << e.what() << "\nTry zor-devsim --help." << std::endl;
    return 2;
  }
}
