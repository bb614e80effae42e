#include "sim/SimHidLink.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "foundation/LogUnit.h"
#include "platform/Zor_SimUsb.h"

namespace zor {

using platform::TZor_IoResult;
using platform::TZor_SysError;
using TClock = std::chrono::steady_clock;

namespace {

constexpr int MaxSimIndex = 64;  // "sim:usb1" .. "sim:usb64"
// While nobody holds a served node there is nothing to wait on but time.
constexpr int IdleNodeCheckMs = 5;
constexpr uint32_t StreamReadWaitMs = 100;

// Commands after which the device clears its transmit buffer: classic
// commands with bit 7 set (not the extended escape, not the serial-line
// bytes 0xBC..0xBF), the start of tools mode and the stop.
bool ClearsBuffer(const std::string &cmd) {
  const auto c = static_cast<uint8_t>(cmd[0]);
  if (c == 0x85) return cmd.size() >= 2 && (cmd[1] == 0x10 || cmd[1] == 0x60);
  return c >= 0x80 && (c < 0xBC || c > 0xBF);
}

void PutBE32(std::string &s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// An interrupt endpoint moves one report per interval. A transfer less than
// one interval late still takes its slot, so a steady stream keeps the rate
// exactly; one that comes later starts afresh instead of bursting.
TClock::time_point NextSlot(TClock::time_point next, TClock::time_point now, TClock::duration interval) {
  return now - next < interval ? next : now;
}

// A tool ends its use of the node with the stop and closes it; in tools mode
// it begins with the start of tools mode. hidraw drops what one open did not
// read; a pseudo-terminal keeps it for the next open, and a close followed at
// once by the next open cannot be seen from this side. So a served node drops
// what the host has not read when one of these two commands comes.
bool BracketsToolUse(const std::string &payload) {
  return payload.size() >= 3 && payload[0] == 2 && payload[1] == '\x85' &&
         (payload[2] == 0x10 || payload[2] == 0x60);
}

// Drops what was sent to the host side of a pseudo-terminal and not read:
// bytes still on their way, and those already in the host side's queue.
void DropUnread(int master) {
  tcflush(master, TCOFLUSH);
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) return;
  const int host = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (host < 0) return;
  tcflush(host, TCIFLUSH);
  close(host);
}

TZor_IoResult Fail(TZor_SysError &error, TZor_SysError what) {
  error = what;
  return TZor_IoResult::ioError;
}

const TZor_SysError DeviceGone{platform::ERR_DEVICE_NOT_CONNECTED, ENODEV};

}  // namespace

// One reader of input reports: an open port, or ServeStream's host side.
struct TSimHidLink::TReader {
  uint64_t Generation = 0;
  bool FollowsRestarts = false;  // a served node outlives the device's restarts
  bool Cancel = false;           // one pending cancel, taken by the next read
  bool Closed = false;
  bool Paused = false;  // nobody polls the endpoint (served node not open)
};

// The device side, shared with the open ports so that a port outliving the
// link fails cleanly. FLock is never held while the model is called.
class TSimHidLink::TCore : public std::enable_shared_from_this<TCore> {
 public:
  TCore(TSimDevice &device, const TSimHidOptions &options)
      : FDevice(&device),
        FInLen(options.InputReportLength),
        FOutLen(options.OutputReportLength),
        FInterval(std::chrono::microseconds(options.ReportIntervalUs)),
        FMaxQueued(options.MaxQueuedReports ? options.MaxQueuedReports : 1),
        FContinued(options.ContinuedMessages),
        FLogId(options.LogId) {}

  uint32_t InLen() const { return FInLen; }
  uint32_t OutLen() const { return FOutLen; }

  void SetPlugged(bool plugged) { SetAttachment(FPlugged, plugged); }
  void SetStreaming(bool streaming) { SetAttachment(FStreaming, streaming); }

  // The model goes silent for a restart (true) or is back (false).
  void SetSilent(bool silent) {
    std::lock_guard l(FLock);
    if (silent && !FSilent) LeaveLocked();
    const bool was = ReachableLocked();
    FSilent = silent;
    ArrivedLocked(was);
  }

  // The link is going: no more model calls; waits for those in progress.
  void Detach() {
    std::unique_lock l(FLock);
    FDevice = nullptr;
    LeaveLocked();
    FCond.wait(l, [this] { return FBusy == 0; });
  }

  std::unique_ptr<platform::TZor_HidPort> Open(TZor_SysError &error);
  // The node is closed: what the host had polled and not read goes with it, as with hidraw.
  void Release(const TReader &reader) {
    std::lock_guard l(FLock);
    if (FHolder != &reader) return;
    FHolder = nullptr;
    FInputs.clear();
  }

  void InitReader(TReader &reader, bool followsRestarts) {
    std::lock_guard l(FLock);
    reader = TReader{};
    reader.Generation = FGeneration;
    reader.FollowsRestarts = followsRestarts;
  }
  void Cancel(TReader &reader) {
    Touch(reader, [](TReader &r) { r.Cancel = true; });
  }
  void Close(TReader &reader) {
    Touch(reader, [](TReader &r) { r.Closed = true; });
  }
  void SetPaused(TReader &reader, bool paused) {
    Touch(reader, [paused](TReader &r) { r.Paused = paused; });
  }

  // Host to device: one output report without its report-ID byte.
  TZor_IoResult Deliver(const std::string &payload, const TReader &writer, TZor_SysError &error);
  // Device to host: one input report (report-ID byte first).
  TZor_IoResult Take(std::string &report, uint32_t timeoutMs, TReader &reader, TZor_SysError &error);

  // The model's sink; runs with the model's lock held.
  void OnOutput(const TSimOutput &out);

 private:
  // Taken off either way, the device has left the bus for the ports opened before.
  void SetAttachment(bool &flag, bool on) {
    std::lock_guard l(FLock);
    if (flag && !on) LeaveLocked();
    const bool was = ReachableLocked();
    flag = on;
    ArrivedLocked(was);
  }
  // A device that arrives on the bus starts with an empty buffer, and says
  // so before its first report, whether or not the model's power-up output
  // came before the host could see it.
  void ArrivedLocked(bool wasReachable) {
    if (!wasReachable && ReachableLocked()) FClearNotice = true;
  }
  template <class F>
  void Touch(TReader &reader, F change) {
    {
      std::lock_guard l(FLock);
      change(reader);
    }
    FCond.notify_all();
  }
  bool ReachableLocked() const { return FDevice && (FPlugged || FStreaming) && !FSilent; }
  bool GoneLocked(const TReader &r) const {
    if (r.FollowsRestarts) return !FDevice || r.Closed;
    return !ReachableLocked() || r.Generation != FGeneration;
  }
  // The device left the bus: everything it held is lost, ports opened before fail.
  void LeaveLocked() {
    ++FGeneration;
    FHolder = nullptr;
    FInputs.clear();
    FCommand.clear();
    FWant = 0;
    FWritten = FReadOut = 0;
    FToolsMode = false;
    FClearNotice = false;
    FCond.notify_all();
  }
  // Output report bytes continue the command being collected; zero bytes
  // between commands are padding.
  void AssembleLocked(const std::string &payload, std::vector<std::string> &commands);
  void Dispatch(TSimDevice &device, const std::string &cmd);
  void ClearLocked();
  void QueueLocked(const std::string &bytes);
  void PushLocked(std::string report);

  mutable std::mutex FLock;
  std::condition_variable FCond;
  std::mutex FDispatchLock;  // commands reach the model in report order
  TSimDevice *FDevice;
  const uint32_t FInLen, FOutLen;
  const TClock::duration FInterval;
  const size_t FMaxQueued;
  const bool FContinued;
  const int FLogId;

  bool FPlugged = false, FStreaming = false, FSilent = false;
  uint64_t FGeneration = 1;
  const TReader *FHolder = nullptr;  // the port holding the node
  int FBusy = 0;                     // Deliver calls inside the model
  std::string FCommand;              // command being collected
  size_t FWant = 0;                  // its length; 0: a length byte is due
  std::deque<std::string> FInputs;   // input reports not yet taken by the host
  uint32_t FWritten = 0, FReadOut = 0;
  bool FToolsMode = false;
  bool FClearNotice = false;  // the next report is preceded by the cleared report
  bool FOverflowLogged = false;
  TClock::time_point FNextIn{}, FNextOut{};
};

class TSimHidLink::TPort : public platform::TZor_HidPort {
 public:
  explicit TPort(std::shared_ptr<TCore> core) : FCore(std::move(core)) { FCore->InitReader(FReader, false); }
  ~TPort() override { FCore->Release(FReader); }

  uint32_t InputReportLength() const override { return FCore->InLen(); }
  uint32_t OutputReportLength() const override { return FCore->OutLen(); }

  TZor_IoResult Read(std::string &report, uint32_t timeoutMs) override {
    TZor_SysError error;
    const TZor_IoResult r = FCore->Take(report, timeoutMs, FReader, error);
    if (r == TZor_IoResult::ioError) SetError(error);
    return r;
  }

  TZor_IoResult Write(const std::string &report, uint32_t) override {
    TZor_SysError error;
    TZor_IoResult r = TZor_IoResult::ioError;
    // A device without numbered reports takes only report number 0.
    if (report.size() != FCore->OutLen() || report[0] != 0)
      error = platform::FromErrno(EINVAL);
    else
      r = FCore->Deliver(report.substr(1), FReader, error);
    if (r == TZor_IoResult::ioError) SetError(error);
    return r;
  }

  void CancelRead() override { FCore->Cancel(FReader); }
  const TReader &Reader() const { return FReader; }

  TZor_SysError GetLastError() const override {
    std::lock_guard l(FErrorLock);
    return FLastError;
  }

 private:
  void SetError(const TZor_SysError &error) {
    std::lock_guard l(FErrorLock);
    FLastError = error;
  }

  std::shared_ptr<TCore> FCore;
  TReader FReader;  // guarded by the core's lock
  mutable std::mutex FErrorLock;
  TZor_SysError FLastError;
};

// ------------------------------------------------------------------ device side

std::unique_ptr<platform::TZor_HidPort> TSimHidLink::TCore::Open(TZor_SysError &error) {
  {
    std::lock_guard l(FLock);
    if (!ReachableLocked()) {
      error = DeviceGone;
      return nullptr;
    }
    if (FHolder) {
      error = {platform::ERR_ACCESS_DENIED, EBUSY};
      return nullptr;
    }
  }
  auto port = std::make_unique<TPort>(shared_from_this());
  std::lock_guard l(FLock);
  // The device may have left while the port was made.
  if (FHolder || !ReachableLocked()) {
    error = FHolder ? TZor_SysError{platform::ERR_ACCESS_DENIED, EBUSY} : DeviceGone;
    return nullptr;
  }
  FHolder = &port->Reader();
  error = {};
  return port;
}

TZor_IoResult TSimHidLink::TCore::Deliver(const std::string &payload, const TReader &writer,
                                          TZor_SysError &error) {
  TClock::time_point slot;
  {
    std::lock_guard l(FLock);
    if (GoneLocked(writer)) return Fail(error, DeviceGone);
    slot = NextSlot(FNextOut, TClock::now(), FInterval);
    FNextOut = slot + FInterval;
  }
  std::this_thread::sleep_until(slot);

  std::lock_guard order(FDispatchLock);
  std::vector<std::string> commands;
  TSimDevice *device = nullptr;
  {
    std::lock_guard l(FLock);
    if (GoneLocked(writer) || FSilent) return Fail(error, DeviceGone);
    AssembleLocked(payload, commands);
    device = FDevice;
    if (!commands.empty()) ++FBusy;
  }
  if (commands.empty()) return TZor_IoResult::ioOk;
  for (const std::string &cmd : commands) Dispatch(*device, cmd);
  {
    std::lock_guard l(FLock);
    --FBusy;
  }
  FCond.notify_all();
  return TZor_IoResult::ioOk;
}

void TSimHidLink::TCore::AssembleLocked(const std::string &payload, std::vector<std::string> &commands) {
  for (char b : payload) {
    if (FWant == 0) {
      FWant = static_cast<uint8_t>(b);
      FCommand.clear();
      continue;
    }
    FCommand += b;
    if (FCommand.size() == FWant) {
      commands.push_back(FCommand);
      FWant = 0;
    }
  }
}

void TSimHidLink::TCore::Dispatch(TSimDevice &device, const std::string &cmd) {
  if (ClearsBuffer(cmd)) {
    std::lock_guard l(FLock);
    if (cmd[0] == '\x85' && cmd[1] == 0x10) FToolsMode = true;
    ClearLocked();
  }
  if (device.HandleCommand(cmd, 1) != TSimAnswer::Ok || cmd.size() < 2 ||
      static_cast<uint8_t>(cmd[0]) != 0x85)
    return;
  if (cmd[1] == 0x11) {
    std::lock_guard l(FLock);
    FToolsMode = false;
  }
}

void TSimHidLink::TCore::OnOutput(const TSimOutput &out) {
  {
    std::lock_guard l(FLock);
    // USB has one user; output for the network's other slots is not ours.
    if (!ReachableLocked() || out.User > 1) return;
    // HID has no way to tell a report from a tools answer, so in tools mode
    // the device sends answers only.
    if (FToolsMode && out.Kind == TSimOutputKind::Report) return;
    if (out.BufferCleared) ClearLocked();
    QueueLocked(out.Bytes);
  }
  FCond.notify_all();
}

// What the host has not taken is gone, and the counters start again, as the
// buffer's positions do. The first report after it is preceded by a full
// report of zero bytes that tells the host so; a report sent at once would
// wait in the host's buffer for a reader that has closed the node.
void TSimHidLink::TCore::ClearLocked() {
  FInputs.clear();
  FWritten = FReadOut = 0;
  FClearNotice = true;
}

void TSimHidLink::TCore::QueueLocked(const std::string &bytes) {
  // A tool in tools mode polls for each answer right after its command and
  // would take the notice for the answer's beginning: it gets none.
  if (FClearNotice && !FToolsMode) {
    std::string notice(FInLen, '\0');
    notice[1] = static_cast<char>(FInLen - 3);
    PushLocked(std::move(notice));
  }
  FClearNotice = false;
  FWritten += static_cast<uint32_t>(bytes.size());
  const size_t maxData = FInLen - 11;
  // Bytes 1 to N-2 of each report carry a continued message; its length byte
  // counts the data and the counters, so at most 255 - 8 data bytes.
  const size_t perReport = FInLen - 2, maxMessage = 255 - 8;
  for (size_t at = 0; at < bytes.size();) {
    size_t n = std::min(bytes.size() - at, FContinued ? maxMessage : maxData);
    // The host collects whole reports until it holds L bytes and takes the
    // counters from the end: with L a multiple of N-2 the last data byte
    // would fall among them, so such a message goes one byte shorter.
    if (n > maxData && (n + 8) % perReport == 0) --n;
    const std::string piece = bytes.substr(at, n);
    at += n;
    FReadOut += static_cast<uint32_t>(n);
    const size_t reports = n <= maxData ? 1 : (n + 8 + perReport - 1) / perReport;
    std::string text(reports * perReport, '\0');  // bytes 1 to N-2 of every report
    text[0] = static_cast<char>(n + 8);
    text.replace(1, n, piece);
    PutBE32(text, text.size() - 8, FWritten);
    PutBE32(text, text.size() - 4, FReadOut);
    for (size_t r = 0; r < reports; ++r) {
      std::string report(FInLen, '\0');
      report.replace(1, perReport, text, r * perReport, perReport);
      PushLocked(std::move(report));
    }
  }
}

void TSimHidLink::TCore::PushLocked(std::string report) {
  if (FInputs.size() >= FMaxQueued) {
    FInputs.pop_front();
    if (!FOverflowLogged) LogText(FLogId, "SimHidLink: the host does not read: oldest input reports dropped");
    FOverflowLogged = true;
  } else {
    FOverflowLogged = false;
  }
  FInputs.push_back(std::move(report));
}

TZor_IoResult TSimHidLink::TCore::Take(std::string &report, uint32_t timeoutMs, TReader &reader,
                                       TZor_SysError &error) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock l(FLock);
  for (;;) {
    if (GoneLocked(reader)) return Fail(error, DeviceGone);
    if (reader.Cancel) {
      reader.Cancel = false;
      error = {platform::ERR_OPERATION_ABORTED, ECANCELED};
      return TZor_IoResult::ioCancelled;
    }
    const auto now = TClock::now();
    if (!FInputs.empty() && !reader.Paused) {
      const auto slot = NextSlot(FNextIn, now, FInterval);
      if (slot <= now) {
        report = std::move(FInputs.front());
        FInputs.pop_front();
        FNextIn = slot + FInterval;
        return TZor_IoResult::ioOk;
      }
      if (slot > deadline) return TZor_IoResult::ioTimeout;
      FCond.wait_until(l, slot);
      continue;
    }
    if (now >= deadline) return TZor_IoResult::ioTimeout;
    FCond.wait_until(l, deadline);
  }
}

// ------------------------------------------------------------------ the link

TSimHidLink::TSimHidLink(TSimDevice &device, TSimHidOptions options) : FDevice(device), FOptions(options) {
  // Room for the length byte, the counters and at least one data byte.
  if (FOptions.InputReportLength < 12) FOptions.InputReportLength = 12;
  if (FOptions.OutputReportLength < 2) FOptions.OutputReportLength = 2;
  if (FOptions.TickMs == 0) FOptions.TickMs = 1;
  FCore = std::make_shared<TCore>(device, FOptions);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    FWakeRead = fds[0];
    FWakeWrite = fds[1];
  }
  FDevice.SetSink([core = FCore](const TSimOutput &out) { core->OnOutput(out); });
  FDevice.SetEventHandler([this](const TSimEvent &e) { OnDeviceEvent(e); });
  FCore->SetSilent(FDevice.IsSilent());
  FWorker = std::thread(&TSimHidLink::WorkerLoop, this);
}

TSimHidLink::~TSimHidLink() {
  Stop();
  if (FWakeRead >= 0) close(FWakeRead);
  if (FWakeWrite >= 0) close(FWakeWrite);
}

void TSimHidLink::Stop() {
  {
    std::unique_lock l(FWorkLock);
    if (!FStopping) {
      FStopping = true;
      if (FWakeWrite >= 0) (void)!write(FWakeWrite, "x", 1);
    }
    FWorkCond.notify_all();
    FWorkCond.wait(l, [this] { return FServing == 0; });
  }
  if (FWorker.joinable()) FWorker.join();
  Unplug();
  FDevice.SetSink({});
  FDevice.SetEventHandler({});
  FCore->Detach();
}

bool TSimHidLink::Stopping() const {
  std::lock_guard l(FWorkLock);
  return FStopping;
}

bool TSimHidLink::Plug(std::string &error) {
  std::lock_guard r(FRegistryLock);
  if (Stopping()) {
    error = "the link is stopped";
    return false;
  }
  if (FWantPlugged) return true;
  FWantPlugged = true;
  FDevice.SetUser(1, TSimUserKind::Usb);
  FCore->SetPlugged(true);
  // A restarting device comes onto the bus when it is back.
  if (FDevice.IsSilent() || PlugRegistryLocked(error)) return true;
  FWantPlugged = false;
  FCore->SetPlugged(false);
  FDevice.SetUser(1, TSimUserKind::None);
  return false;
}

void TSimHidLink::Unplug() {
  std::lock_guard r(FRegistryLock);
  if (!FWantPlugged) return;
  FWantPlugged = false;
  // Ports fail before anybody hears of the removal.
  FCore->SetPlugged(false);
  UnplugRegistryLocked();
  FDevice.SetUser(1, TSimUserKind::None);
  std::lock_guard l(FWorkLock);
  FSysPath.clear();
}

bool TSimHidLink::PlugRegistryLocked(std::string &error) {
  // The name it had before, if still free: a device keeps its port.
  for (int step = 0; step < MaxSimIndex; ++step) {
    const int index = (FIndex > 0 ? FIndex - 1 + step : step) % MaxSimIndex + 1;
    {
      std::lock_guard l(FWorkLock);
      FSysPath = "sim:usb" + std::to_string(index);
    }
    const platform::TZor_UsbDeviceInfo info = Identity();
    auto opener = [core = FCore](TZor_SysError &e) { return core->Open(e); };
    if (platform::PlugSimUsbDevice(info, opener)) {
      FIndex = index;
      FInRegistry = true;
      Log("plugged in as " + info.SysPath + " (" + info.Product + ", serial " + info.SerialNumber + ")");
      return true;
    }
  }
  std::lock_guard l(FWorkLock);
  FSysPath.clear();
  error = "no free name for a simulated USB device";
  return false;
}

void TSimHidLink::UnplugRegistryLocked() {
  if (!FInRegistry) return;
  FInRegistry = false;
  const std::string sysPath = SysPath();
  platform::UnplugSimUsbDevice(sysPath);
  Log("unplugged " + sysPath);
}

std::string TSimHidLink::SysPath() const {
  std::lock_guard l(FWorkLock);
  return FSysPath;
}

std::string TSimHidLink::HidNode() const {
  const std::string sysPath = SysPath();
  return sysPath.empty() ? std::string() : "sim:hid" + sysPath.substr(7);
}

platform::TZor_UsbDeviceInfo TSimHidLink::Identity() const {
  platform::TZor_UsbDeviceInfo info;
  info.VendorID = SimHidVendorId;
  info.ProductID = SimHidProductId;
  info.BcdDevice = FOptions.BcdDevice;
  info.Manufacturer = FOptions.Manufacturer;
  const bool bootLoader = FDevice.IsBootLoader();
  info.Product = bootLoader ? "Zor HID Bootloader" : "Zor HID";
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08X", static_cast<unsigned>(FDevice.GetSerialNumber()));
  // The old boot loader has no serial number of its own.
  info.SerialNumber = bootLoader && FDevice.GetConfig().OldBootLoader ? "V1.0" : serial;
  info.SysPath = SysPath();
  if (!info.SysPath.empty()) info.HidNodes = {HidNode()};
  return info;
}

std::unique_ptr<platform::TZor_HidPort> TSimHidLink::OpenPort(TZor_SysError &error) {
  return FCore->Open(error);
}

void TSimHidLink::SetOnPresence(std::function<void(bool present)> handler) {
  std::lock_guard l(FWorkLock);
  FOnPresence = std::move(handler);
}

void TSimHidLink::TellPresence(bool present) {
  std::function<void(bool)> handler;
  {
    std::lock_guard l(FWorkLock);
    handler = FOnPresence;
  }
  if (handler) handler(present);
}

// Runs with the model's lock held: marks the device gone at once, leaves
// the registry work to the worker.
void TSimHidLink::OnDeviceEvent(const TSimEvent &event) {
  const bool leaving = event.Kind == TSimEventKind::RestartBegin;
  FCore->SetSilent(leaving);
  {
    std::lock_guard l(FWorkLock);
    (leaving ? FLeavePending : FBackPending) = true;
  }
  FWorkCond.notify_all();
}

void TSimHidLink::WorkerLoop() {
  std::unique_lock l(FWorkLock);
  while (!FStopping) {
    FWorkCond.wait_for(l, std::chrono::milliseconds(FOptions.TickMs),
                       [this] { return FStopping || FLeavePending || FBackPending; });
    if (FStopping) break;
    l.unlock();
    FDevice.Tick();
    l.lock();
    if (FLeavePending) {
      FLeavePending = false;
      l.unlock();
      {
        std::lock_guard r(FRegistryLock);
        UnplugRegistryLocked();
      }
      Log("device restarts: off the bus");
      TellPresence(false);
      l.lock();
    }
    if (FBackPending && !FLeavePending) {
      FBackPending = false;
      l.unlock();
      {
        std::lock_guard r(FRegistryLock);
        std::string error;
        if (FWantPlugged && !FInRegistry && !PlugRegistryLocked(error)) Log("device back, but " + error);
      }
      Log(std::string("device back") + (FDevice.IsBootLoader() ? " in its boot loader" : ""));
      TellPresence(true);
      l.lock();
    }
  }
}

// ------------------------------------------------------------------ served node

void TSimHidLink::ServeStream(int fd) {
  {
    std::lock_guard l(FWorkLock);
    if (FStopping || FWakeRead < 0) return;
    ++FServing;
  }
  const int flags = fcntl(fd, F_GETFL);
  // Stop must never wait behind a blocked read or write.
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  FDevice.SetUser(1, TSimUserKind::Usb);
  FCore->SetStreaming(true);
  TReader host;
  FCore->InitReader(host, true);
  Log("serving a HID node");
  std::thread out([&] { StreamOut(fd, host); });
  StreamIn(fd, host);
  FCore->Close(host);
  out.join();
  FCore->SetStreaming(false);
  if (flags >= 0) fcntl(fd, F_SETFL, flags);
  Log("HID node no longer served");
  {
    std::lock_guard l(FWorkLock);
    --FServing;
  }
  FWorkCond.notify_all();
}

void TSimHidLink::StreamIn(int fd, TReader &host) {
  std::string pending;
  bool idle = false;  // nobody holds the node
  for (;;) {
    pollfd fds[2] = {{FWakeRead, POLLIN, 0}, {fd, POLLIN, 0}};
    // A node nobody holds reports a hang-up until it is opened: look again
    // after a short sleep rather than spin on it.
    const int n = poll(fds, idle ? 1 : 2, idle ? IdleNodeCheckMs : -1);
    if (n < 0 && errno != EINTR) return;
    if (fds[0].revents) return;  // Stop
    if (idle) {
      pollfd check{fd, POLLIN, 0};
      if (poll(&check, 1, 0) < 0 || (check.revents & POLLNVAL)) return;
      idle = (check.revents & POLLHUP) && !(check.revents & POLLIN);
      if (!idle) Log("HID node opened");
      FCore->SetPaused(host, idle);
      continue;
    }
    if (fds[1].revents & POLLNVAL) return;
    bool hungUp = (fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLIN);
    if (fds[1].revents & POLLIN) {
      char buf[1024];
      const ssize_t got = read(fd, buf, sizeof buf);
      if (got > 0) {
        pending.append(buf, static_cast<size_t>(got));
        const size_t len = FCore->OutLen();
        for (; pending.size() >= len; pending.erase(0, len)) {
          TZor_SysError error;
          const std::string payload = pending.substr(1, len - 1);
          // The host side is emptied around the bracket commands, before the
          // device takes them and after (a report may have been on its way).
          const bool edge = BracketsToolUse(payload);
          if (edge) DropUnread(fd);
          if (pending[0] != 0)
            Log("output report with report number " + std::to_string(static_cast<uint8_t>(pending[0])) +
                " ignored");
          else if (FCore->Deliver(payload, host, error) != TZor_IoResult::ioOk)
            Log("output report lost: the device is away");
          if (edge) DropUnread(fd);
        }
        continue;
      }
      if (got < 0 && errno != EIO && errno != EAGAIN && errno != EINTR) return;
      hungUp = got == 0 || errno == EIO;
    }
    if (hungUp) {
      // The host closed the node: like a hidraw open, what it had not read
      // goes with it, and a part report it wrote never reached the device.
      DropUnread(fd);
      pending.clear();
      idle = true;
      FCore->SetPaused(host, true);
      Log("HID node closed by the host");
    }
  }
}

void TSimHidLink::StreamOut(int fd, TReader &host) {
  for (;;) {
    std::string report;
    TZor_SysError error;
    const TZor_IoResult r = FCore->Take(report, StreamReadWaitMs, host, error);
    if (r == TZor_IoResult::ioError) return;  // closed
    if (r != TZor_IoResult::ioOk) continue;
    // hidraw hands a device without numbered reports its report without the ID byte.
    if (!WriteStream(fd, report.substr(1))) return;
  }
}

bool TSimHidLink::WriteStream(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EIO) return true;  // the host closed the node meanwhile: the report is lost
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd fds[2] = {{FWakeRead, POLLIN, 0}, {fd, POLLOUT, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[0].revents) return false;
    if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  }
  return true;
}

void TSimHidLink::Log(const std::string &text) const { LogText(FOptions.LogId, "SimHidLink: " + text); }

}  // namespace zor
