// Whole firmware updates (DoUpdate) over the network and over USB against an in-process
// simulator, prepared the way zorfw prepares them (version read, login).
// Each run reports its wall time against the floor the protocol allows, the
// CPU it costs and how much the peak resident size grew.
//
// Floor: the pauses the engine must keep plus the device's own delays.
//   ESP:      pieces x 20 ms (block transfer pacing, net/Zor_NetworkDevice_Cmd.cpp)
//             + the device's image check + the restart (below)
//   ColdFire: no pacing between memory writes; one 200 ms settle round when
//             draining stale input (ReadUntilEmpty) + the restart (below)
//   restart:  the device goes silent ResetDelayMs after the answer; the engine
//             pings 50 ms apart to see it go down, and the first unanswered
//             ping runs into its 1500 ms timeout (firmware/Zor_FW_Reset.cpp).
//             With a silence shorter than that timeout the device is back
//             when the ping ends, so the restart costs 50 + 1500 ms, plus
//             the session check (TRYBABY) that confirms the restart.
//   verify:   ColdFire only: a new session, one 200 ms settle round, the
//             status word and the flash read back in reads of 255 bytes.
//
// Phases, timed by the engine's own messages: open_s (access check, open,
// drain), transfer_s / write_s (image and, for ColdFire, system code),
// ready_s (ESP image check until the ready report), restart_s (from the
// reset until the device answers pings again and is closed), verify_s
// (ColdFire: the read back of the programmed image).
//
// CPU: "cpu_pct" is the whole process (the simulator runs in it too);
// "engine_cpu_pct" is the thread that runs DoUpdate; the difference is the
// tool's data-server threads plus every simulator thread.
//
// Peak RSS: ru_maxrss is a process-wide high-water mark, so run each
// benchmark in its own process (--benchmark_filter) to compare image sizes.
// The simulator keeps the received image (twice: while receiving and in its
// update partition), which is part of any growth seen for ESP images.
//
// Set ZOR_BENCH_LOG=<file> to write the engine's debug log there.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "firmware/Zor_FW_Class.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"
#include "sim/SimCdcLink.h"
#include "sim/SimDevice.h"
#include "platform/Zor_DeviceNotify.h"
#include "sim/SimHidLink.h"
#include "sim/SimNetLink.h"
#include "usb/USBUtils.h"
#include "usb/Zor_UsbDevice.h"

namespace {

using namespace zor;

// Simulated device timings.
constexpr uint32_t cRestartSilentMs = 1000;  // below the ping timeout: no race at the comeback
constexpr uint32_t cResetDelayMs = 20;
constexpr uint32_t cEspCheckMs = 100;
// Engine constants the floor is made of.
constexpr uint32_t cPieceBytes = 1440;
constexpr uint32_t cPiecePauseMs = 20;
constexpr uint32_t cPingStepMs = 50;
constexpr uint32_t cPingTimeoutMs = 1500;
constexpr uint32_t cDrainSettleMs = 200;
constexpr uint32_t cRestartFloorMs = cPingStepMs + cPingTimeoutMs;
// Over a virtual COM port: 128-byte pieces, 5 ms apart for an ESP device,
// and 50 ms after the partition switch.
constexpr uint32_t cUsbPieceBytes = 128;
constexpr uint32_t cUsbPiecePauseMs = 5;
constexpr uint32_t cSwitchPauseMs = 50;

double Seconds(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

long MaxRssKib() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// Wall time, CPU times and peak RSS between construction and Stop().
class TMeter {
 public:
  TMeter()
      : FWall(Seconds(CLOCK_MONOTONIC)),
        FProcess(Seconds(CLOCK_PROCESS_CPUTIME_ID)),
        FThread(Seconds(CLOCK_THREAD_CPUTIME_ID)),
        FRss(MaxRssKib()) {}

  void Stop() {
    End = Seconds(CLOCK_MONOTONIC);
    Wall = End - FWall;
    ProcessCpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - FProcess;
    ThreadCpu = Seconds(CLOCK_THREAD_CPUTIME_ID) - FThread;
    RssBeforeKib = FRss;
    RssGrowthKib = MaxRssKib() - FRss;
  }

  double End = 0, Wall = 0, ProcessCpu = 0, ThreadCpu = 0;
  long RssBeforeKib = 0, RssGrowthKib = 0;

 private:
  double FWall, FProcess, FThread;
  long FRss;
};

// When the engine first showed a message beginning with a given text: the
// phases of an update (open, transfer, ready wait, restart) without a log.
class TPhases {
 public:
  void Note(const std::string &text) {
    const double now = Seconds(CLOCK_MONOTONIC);
    for (const char *head : cHeads)
      if (text.rfind(head, 0) == 0 && !FSeen.count(head)) FSeen[head] = now;
  }
  void Clear() { FSeen.clear(); }
  // Seconds from the first message beginning with `from` to the first one
  // beginning with `to` (or to `end` when `to` is empty).
  double Between(const char *from, const char *to, double end) const {
    const auto a = FSeen.find(from);
    const auto b = *to ? FSeen.find(to) : FSeen.end();
    if (a == FSeen.end() || (*to && b == FSeen.end())) return -1;
    return (*to ? b->second : end) - a->second;
  }

  // DoUpdate opens with a line of 61 asterisks, before the access check.
  static constexpr const char *cBegin = "*************************************************************";
  static constexpr const char *cClear = "Clearing RAM...";
  static constexpr const char *cTransmit = "Transmitting user code...";
  static constexpr const char *cTransmitted = "Transmitting user code finished";
  static constexpr const char *cStart = "Start programming...";
  static constexpr const char *cReset = "Waiting for device reset...";
  static constexpr const char *cVerify = "Verifying flash...";

 private:
  static constexpr const char *cHeads[] = {cBegin, cClear, cTransmit, cTransmitted, cStart, cReset, cVerify};
  std::map<std::string, double> FSeen;
};

// Deterministic image bytes (xorshift32, low byte of each state).
class TPattern {
 public:
  explicit TPattern(uint32_t seed) : FState(seed) {}
  char Next() {
    FState ^= FState << 13;
    FState ^= FState >> 17;
    FState ^= FState << 5;
    return static_cast<char>(FState & 0xFF);
  }

 private:
  uint32_t FState;
};

std::filesystem::path WorkDir() {
  auto dir = std::filesystem::temp_directory_path() / ("zor_update_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  return dir;
}

// Removes an image and, once empty, the directory it was written to.
void RemoveImage(const std::string &name) {
  std::error_code ec;
  std::filesystem::remove(name, ec);
  std::filesystem::remove(std::filesystem::path(name).parent_path(), ec);
}

// Removes the image when the benchmark ends, however it ends.
struct TImageGuard {
  std::string Name;
  ~TImageGuard() { RemoveImage(Name); }
};

// An ESP image: the first byte is the magic the device checks.
std::string WriteEspImage(uint32_t size) {
  const std::string name = (WorkDir() / ("LUM2_Firmware_V114_" + std::to_string(size) + ".bin")).string();
  std::ofstream out(name, std::ios::binary);
  TPattern pattern(0x5EED0003);
  out.put('\xE9');
  for (uint32_t i = 1; i < size; ++i) out.put(pattern.Next());
  return name;
}

std::string SRecordLine(int type, uint32_t address, const std::string &data) {
  const int width = type == 0 || type == 1 || type == 9 ? 2 : type == 2 || type == 8 ? 3 : 4;
  std::string body(1, static_cast<char>(width + data.size() + 1));
  for (int i = width - 1; i >= 0; --i) body += static_cast<char>((address >> (8 * i)) & 0xFF);
  body += data;
  unsigned sum = 0;
  for (char c : body) sum += static_cast<uint8_t>(c);
  body += static_cast<char>(0xFF - (sum & 0xFF));
  std::string line = "S" + std::to_string(type);
  for (char c : body) line += IntToHex(static_cast<uint8_t>(c), 2);
  return line + "\r\n";
}

// ColdFire user code as the samples have it: S0 header, S3 records of 32
// bytes from 0x4000 on, S7 entry.
std::string WriteColdfireImage(uint32_t size, uint32_t &records) {
  const std::string name = (WorkDir() / "LUM_SU6_Firmware_V62.s19").string();
  std::ofstream out(name, std::ios::binary);
  out << SRecordLine(0, 0, "LUM_SU6_Firmware_V62");
  TPattern pattern(0x5EED0001);
  records = 0;
  for (uint32_t offset = 0; offset < size; offset += 32, ++records) {
    std::string data(std::min<uint32_t>(32, size - offset), '\0');
    for (char &c : data) c = pattern.Next();
    out << SRecordLine(3, 0x4000 + offset, data);
  }
  out << SRecordLine(7, 0x4000, "");
  return name;
}

// A simulated device on its own loopback address (claimed, so pings follow
// its restarts) and an engine that owns a network device pointed at it.
class TRig {
 public:
  TRig(TSimFamily family, const std::string &ip) {
    FLogId = CreateLog();
    if (const char *file = std::getenv("ZOR_BENCH_LOG")) SetLogFile(FLogId, file, false);
    CreateLog();  // the stream logs sit at id + 1 and + 2, as in zorfw
    CreateLog();
    TSimConfig c;
    c.Family = family;
    c.FirmwareVersion = family == TSimFamily::Esp ? 114 : 112;
    in_addr a{};
    ::inet_pton(AF_INET, ip.c_str(), &a);
    c.IpAddress = ntohl(a.s_addr);
    c.Timings.RestartSilentMs = cRestartSilentMs;
    c.Timings.ResetDelayMs = cResetDelayMs;
    c.Timings.EspCheckMs = cEspCheckMs;
    Sim = CreateSimDevice(c);
    TSimNetLinkConfig lc;
    lc.ControlPort = 0;
    FLink = std::make_unique<TSimNetLink>(*Sim, lc);
    Started = FLink->Start();
    if (!Started) Error = FLink->GetLastErrorText();

    auto device = std::make_unique<TZor_NetworkDevice>(FLogId, 0, nullptr, true, ip);
    device->SetDeviceManagementPort(FLink->GetControlPort());
    Engine = std::make_unique<TZorFirmwareClass>(FLogId);
    Engine->SetOnMessage([this](void *, const std::string &text, TMessageType) { Phases.Note(text); });
    Engine->SetOwnedDevice(std::move(device));
  }
  ~TRig() {
    Engine.reset();  // closes the device before its simulator goes
    FLink->Stop();
  }

  // What zorfw does before an update: version and configuration, network
  // access, login (the simulator takes any login value).
  bool Prepare() {
    if (!Started) return false;
    std::string err;
    const int r = Engine->GetDeviceFirmwareVersionAndFlash(false, err);
    if (r != 0) {
      Error = "version read failed: " + std::to_string(r) + " " + err;
      return false;
    }
    if (Engine->CheckRemoteAccess() != 0) {
      Error = "no network access";
      return false;
    }
    Engine->SetCryptPassword(Engine->CheckLogin() ? std::string(8, '\x5A') : std::string());
    return true;
  }

  std::unique_ptr<TSimDevice> Sim;
  std::unique_ptr<TZorFirmwareClass> Engine;
  TPhases Phases;
  bool Started = false;
  std::string Error;

 private:
  int FLogId = -1;
  std::unique_ptr<TSimNetLink> FLink;
};

void Report(benchmark::State &state, const TMeter &m, double floorS) {
  state.SetIterationTime(m.Wall);
  state.counters["wall_s"] = m.Wall;
  state.counters["floor_s"] = floorS;
  state.counters["wall_per_floor"] = m.Wall / floorS;
  state.counters["cpu_pct"] = 100.0 * m.ProcessCpu / m.Wall;
  state.counters["engine_cpu_pct"] = 100.0 * m.ThreadCpu / m.Wall;
  state.counters["rss_before_kib"] = static_cast<double>(m.RssBeforeKib);
  state.counters["rss_growth_kib"] = static_cast<double>(m.RssGrowthKib);
}

void BM_UpdateEsp(benchmark::State &state) {
  const auto size = static_cast<uint32_t>(state.range(0));
  const std::string image = WriteEspImage(size);
  const TImageGuard guard{image};
  TRig rig(TSimFamily::Esp, state.range(1) == 0 ? "127.0.0.221" : "127.0.0.222");
  if (!rig.Prepare()) return state.SkipWithError(rig.Error.c_str());

  for (auto _ : state) {
    rig.Phases.Clear();
    TMeter meter;
    const int result = rig.Engine->DoUpdate(image, false, 0xFFFFFFFF);
    meter.Stop();
    if (result != 0) return state.SkipWithError(("DoUpdate " + ErrorText(result)).c_str());
    const uint32_t pieces = (size + cPieceBytes - 1) / cPieceBytes;
    const double transferFloorS = pieces * cPiecePauseMs / 1000.0;
    Report(state, meter, transferFloorS + (cEspCheckMs + cRestartFloorMs) / 1000.0);
    const TPhases &p = rig.Phases;
    const double transfer = p.Between(p.cTransmit, p.cTransmitted, meter.End);
    state.counters["pieces"] = pieces;
    state.counters["open_s"] = p.Between(p.cBegin, p.cTransmit, meter.End);
    state.counters["transfer_s"] = transfer;
    state.counters["transfer_per_floor"] = transfer / transferFloorS;
    state.counters["ready_s"] = p.Between(p.cStart, p.cReset, meter.End);
    state.counters["restart_s"] = p.Between(p.cReset, "", meter.End);
  }
  state.SetBytesProcessed(static_cast<int64_t>(size));
}

// Memory reads the device served (the verify's read back).
size_t Reads(const TSimDevice &sim) {
  size_t n = 0;
  for (const TSimCommandRecord &r : sim.CommandLog()) n += r.Bytes.size() == 7 && r.Bytes[1] == 0x40;
  return n;
}

void BM_UpdateColdfire(benchmark::State &state) {
  uint32_t records = 0;
  const std::string image = WriteColdfireImage(static_cast<uint32_t>(state.range(0)), records);
  const TImageGuard guard{image};
  TRig rig(TSimFamily::Coldfire, "127.0.0.223");
  if (!rig.Prepare()) return state.SkipWithError(rig.Error.c_str());

  for (auto _ : state) {
    rig.Sim->ClearCommandLog();
    rig.Phases.Clear();
    TMeter meter;
    const int result = rig.Engine->DoUpdate(image, false, 0xFFFFFFFF);
    meter.Stop();
    if (result != 0) return state.SkipWithError(("DoUpdate " + ErrorText(result)).c_str());
    // Drain settle rounds: after the open and after the reopen for the verify.
    const double floorMs = 2 * cDrainSettleMs + cRestartFloorMs;
    Report(state, meter, floorMs / 1000.0);
    // Without pacing, what lies above the floor is the cost of the commands.
    const auto commands = static_cast<double>(rig.Sim->CommandLog().size());
    state.counters["records"] = records;
    state.counters["commands"] = commands;
    state.counters["us_per_command"] = 1e6 * (meter.Wall - floorMs / 1000.0) / commands;
    const TPhases &p = rig.Phases;
    state.counters["open_s"] = p.Between(p.cBegin, p.cClear, meter.End);
    state.counters["write_s"] = p.Between(p.cClear, p.cStart, meter.End);
    state.counters["restart_s"] = p.Between(p.cReset, p.cVerify, meter.End);
    state.counters["verify_s"] = p.Between(p.cVerify, "", meter.End);
    state.counters["reads"] = static_cast<double>(Reads(*rig.Sim));
  }
  state.SetBytesProcessed(state.range(0));
}


// The same over USB: a simulated device on the in-process HID link (one
// report per millisecond each way, as full speed allows) or on its virtual
// COM port link, and the engine on a USB device object that follows the
// device's restart through the notifications.
//
// HID (ColdFire): the write phase sends one output report per command, so
// its floor is one millisecond per command the device received in it; the
// read back waits for each answer (one input report per 54 bytes of it).
// The restart wait of a HID device has no early end (no port notification)
// and is the engine's own fixed time.
//
// Virtual COM port (ESP): the I/O thread keeps 5 ms between commands to an
// ESP device, so the transfer's floor is 5 ms per 128-byte piece; then the
// device's image check, the 50 ms pause after the partition switch, and its
// restart (reset delay and silence), whose end the port's return signals.
//
// Virtual COM port (ColdFire): no pause between memory writes and a port of
// 1000 bytes per millisecond, so the floor is the restart (as for ESP); what
// lies above it is the cost of the commands, as over the network.
class TUsbRig : public TZor_AppServices {
 public:
  TUsbRig(TSimFamily family, bool cdc) {
    FLogId = CreateLog();
    if (const char *file = std::getenv("ZOR_BENCH_LOG")) SetLogFile(FLogId, file, false);
    CreateLog();
    CreateLog();
    const bool esp = family == TSimFamily::Esp;
    TSimConfig c;
    c.Family = family;
    c.FirmwareVersion = esp ? 114 : 112;
    c.Timings.RestartSilentMs = cRestartSilentMs;
    c.Timings.ResetDelayMs = cResetDelayMs;
    c.Timings.EspCheckMs = cEspCheckMs;
    Sim = CreateSimDevice(c);
    platform::TZor_UsbDeviceInfo id;
    std::string node;
    if (cdc) {
      FCdcLink = std::make_unique<TSimCdcLink>(*Sim);
      Started = FCdcLink->Plug(Error);
      id = FCdcLink->Identity();
      node = FCdcLink->TtyNode();
    } else {
      FHidLink = std::make_unique<TSimHidLink>(*Sim);
      Started = FHidLink->Plug(Error);
      id = FHidLink->Identity();
      node = FHidLink->HidNode();
    }
    auto device = std::make_unique<TZor_UsbDevice>(
        FLogId, 0, nullptr, true, cdc ? Zor_CDC : Zor_HID,
        MakeUsbDevicePath(node, id.VendorID, id.ProductID, id.SerialNumber), id.VendorID, id.ProductID,
        id.SerialNumber, id.Product, id.Manufacturer);
    Engine = std::make_unique<TZorFirmwareClass>(FLogId);
    Engine->SetOnMessage([this](void *, const std::string &text, TMessageType) { Phases.Note(text); });
    Engine->SetOwnedDevice(std::move(device));
    // The engine sees the device leave and come back through the notifications.
    platform::TZor_SysError error;
    FMonitor = platform::CreateDeviceMonitor(
        [this](const platform::TZor_DeviceChange &change) {
          using K = platform::TZor_DeviceChangeKind;
          switch (change.Kind) {
            case K::dcUsbAttached: Engine->UsbAttached(change.Name); break;
            case K::dcUsbDetached: Engine->UsbDetached(change.Name); break;
            case K::dcPortAttached: Engine->PortAttached(change.Name); break;
            case K::dcPortDetached: Engine->PortDetached(change.Name); break;
          }
        },
        error);
    Engine->SetAppServices(this);
  }
  ~TUsbRig() override {
    Engine.reset();
    if (FHidLink) FHidLink->Unplug();
    if (FCdcLink) FCdcLink->Unplug();
  }
  void ProcessMessages() override {
    if (FMonitor) FMonitor->Pump();
  }
  bool Prepare() {
    if (!Started) return false;
    std::string err;
    const int r = Engine->GetDeviceFirmwareVersionAndFlash(false, err);
    if (r != 0) Error = "version read failed: " + std::to_string(r) + " " + err;
    return r == 0;
  }

  std::unique_ptr<TSimDevice> Sim;
  std::unique_ptr<TZorFirmwareClass> Engine;
  TPhases Phases;
  bool Started = false;
  std::string Error;

 private:
  int FLogId = -1;
  std::unique_ptr<TSimHidLink> FHidLink;
  std::unique_ptr<TSimCdcLink> FCdcLink;
  std::unique_ptr<platform::TZor_DeviceMonitor> FMonitor;
};

void BM_UpdateColdfireHid(benchmark::State &state) {
  uint32_t records = 0;
  const std::string image = WriteColdfireImage(static_cast<uint32_t>(state.range(0)), records);
  const TImageGuard guard{image};
  TUsbRig rig(TSimFamily::Coldfire, false);
  if (!rig.Prepare()) return state.SkipWithError(rig.Error.c_str());

  for (auto _ : state) {
    rig.Sim->ClearCommandLog();
    rig.Phases.Clear();
    TMeter meter;
    const int result = rig.Engine->DoUpdate(image, false, 0xFFFFFFFF);
    meter.Stop();
    if (result != 0) return state.SkipWithError(("DoUpdate " + ErrorText(result)).c_str());
    const TPhases &p = rig.Phases;
    const double write = p.Between(p.cClear, p.cStart, meter.End);
    const double verify = p.Between(p.cVerify, "", meter.End);
    // Reports each way: one output report per memory write, one input
    // report per 54 bytes of each read's answer.
    size_t writes = 0, answerReports = 0;
    for (const TSimCommandRecord &r : rig.Sim->CommandLog()) {
      writes += r.Bytes.size() > 2 && r.Bytes[1] == 0x20;
      if (r.Bytes.size() == 7 && r.Bytes[1] == 0x40) answerReports += (static_cast<uint8_t>(r.Bytes[6]) + 53) / 54;
    }
    const size_t reads = Reads(*rig.Sim);
    const double writeFloorS = writes / 1000.0;
    const double verifyFloorS = answerReports / 1000.0;
    // The HID restart wait runs its full 5 s (no early end without a port).
    Report(state, meter, writeFloorS + verifyFloorS + 5.0);
    state.counters["records"] = records;
    state.counters["memory_writes"] = static_cast<double>(writes);
    state.counters["write_s"] = write;
    state.counters["write_per_floor"] = write / writeFloorS;
    state.counters["restart_s"] = p.Between(p.cReset, p.cVerify, meter.End);
    state.counters["verify_s"] = verify;
    state.counters["verify_floor_s"] = verifyFloorS;
    state.counters["verify_per_floor"] = verify / verifyFloorS;
    state.counters["reads"] = static_cast<double>(reads);
  }
  state.SetBytesProcessed(state.range(0));
}

void BM_UpdateEspCdc(benchmark::State &state) {
  const auto size = static_cast<uint32_t>(state.range(0));
  const std::string image = WriteEspImage(size);
  const TImageGuard guard{image};
  TUsbRig rig(TSimFamily::Esp, true);
  if (!rig.Prepare()) return state.SkipWithError(rig.Error.c_str());
  // The simulator's own record of every piece would be counted as ours.
  rig.Sim->SetCommandLogLimit(64);

  for (auto _ : state) {
    rig.Phases.Clear();
    TMeter meter;
    const int result = rig.Engine->DoUpdate(image, false, 0xFFFFFFFF);
    meter.Stop();
    if (result != 0) return state.SkipWithError(("DoUpdate " + ErrorText(result)).c_str());
    const uint32_t pieces = (size + cUsbPieceBytes - 1) / cUsbPieceBytes;
    const double transferFloorS = pieces * cUsbPiecePauseMs / 1000.0;
    Report(state, meter,
           transferFloorS + (cEspCheckMs + cSwitchPauseMs + cResetDelayMs + cRestartSilentMs) / 1000.0);
    const TPhases &p = rig.Phases;
    const double transfer = p.Between(p.cTransmit, p.cTransmitted, meter.End);
    state.counters["pieces"] = pieces;
    state.counters["open_s"] = p.Between(p.cBegin, p.cTransmit, meter.End);
    state.counters["transfer_s"] = transfer;
    state.counters["transfer_floor_s"] = transferFloorS;
    state.counters["transfer_per_floor"] = transfer / transferFloorS;
    state.counters["ready_s"] = p.Between(p.cStart, p.cReset, meter.End);
    state.counters["restart_s"] = p.Between(p.cReset, "", meter.End);
  }
  state.SetBytesProcessed(static_cast<int64_t>(size));
}

void BM_UpdateColdfireCdc(benchmark::State &state) {
  uint32_t records = 0;
  const std::string image = WriteColdfireImage(static_cast<uint32_t>(state.range(0)), records);
  const TImageGuard guard{image};
  TUsbRig rig(TSimFamily::Coldfire, true);
  if (!rig.Prepare()) return state.SkipWithError(rig.Error.c_str());

  for (auto _ : state) {
    rig.Sim->ClearCommandLog();
    rig.Phases.Clear();
    TMeter meter;
    const int result = rig.Engine->DoUpdate(image, false, 0xFFFFFFFF);
    meter.Stop();
    if (result != 0) return state.SkipWithError(("DoUpdate " + ErrorText(result)).c_str());
    const double floorMs = cResetDelayMs + cRestartSilentMs;
    Report(state, meter, floorMs / 1000.0);
    const auto commands = static_cast<double>(rig.Sim->CommandLog().size());
    const TPhases &p = rig.Phases;
    state.counters["records"] = records;
    state.counters["commands"] = commands;
    state.counters["us_per_command"] = 1e6 * (meter.Wall - floorMs / 1000.0) / commands;
    state.counters["write_s"] = p.Between(p.cClear, p.cStart, meter.End);
    state.counters["restart_s"] = p.Between(p.cReset, p.cVerify, meter.End);
    state.counters["verify_s"] = p.Between(p.cVerify, "", meter.End);
    state.counters["reads"] = static_cast<double>(Reads(*rig.Sim));
  }
  state.SetBytesProcessed(state.range(0));
}

// Args: image size, address slot. The 256 KiB run is there to compare the
// peak RSS growth with the 1 MiB run (each in its own process).
BENCHMARK(BM_UpdateEsp)
    ->Args({1024 * 1024, 0})
    ->Args({256 * 1024, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateColdfire)->Arg(480 * 1024)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateColdfireHid)->Arg(64 * 1024)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateColdfireCdc)->Arg(64 * 1024)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
// 1 MiB takes 41 s at its floor; the 256 KiB run is there to compare the
// peak RSS growth (each in its own process).
BENCHMARK(BM_UpdateEspCdc)
    ->Arg(256 * 1024)
    ->Arg(1024 * 1024)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
