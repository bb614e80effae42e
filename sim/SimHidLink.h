// USB HID link of a simulated ColdFire device. The device side of the HID
// framing lives here, written from the report layout and not from the tool's
// decoder, so a misreading on either side shows up against the other.
//
// Output reports carry commands as [length][command bytes], zero-padded over
// whole reports; a command may span several reports. Input reports are
// [report ID][L = data bytes + 8][data, zero-padded][write counter BE32]
// [read counter BE32][one spare byte]; a full report whose data bytes are all
// zero tells the host that the device cleared its transmit buffer.
//
// The link reaches the tool two ways: plugged into the in-process registry of
// simulated USB devices (a "sim:hidN" node opens a TZor_HidPort of this link),
// or served on a byte stream in hidraw form (ServeStream), for a test that
// emulates /dev/hidrawN on a pseudo-terminal.
//
// Threads: a worker drives the model's timers and carries out unplugging and
// plugging across restarts; the tool's port calls run on the tool's threads.
// The model is never called with a link lock held, so its sink (which only
// queues) cannot deadlock against a command in progress.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Zor_Hid.h"
#include "platform/Zor_UsbEnum.h"
#include "sim/SimDevice.h"

namespace zor {

constexpr uint16_t SimHidVendorId = 0x16D0;
constexpr uint16_t SimHidProductId = 0x0611;

struct TSimHidOptions {
  // Report lengths including the report-ID byte.
  uint32_t InputReportLength = 65;
  uint32_t OutputReportLength = 65;
  // One report each way per interval, as a full-speed interrupt endpoint
  // polled every frame; 0 turns pacing off.
  uint32_t ReportIntervalUs = 1000;
  uint32_t TickMs = 10;  // how often the model's timers run
  // Outputs longer than one report go as messages continued over several
  // reports (up to 247 data bytes each, the counters at the end of the
  // last); otherwise as single reports of at most N-11 data bytes.
  bool ContinuedMessages = false;
  // Input reports the device holds while nobody reads; the oldest go first.
  size_t MaxQueuedReports = 4096;
  std::string Manufacturer = "Zor";
  uint16_t BcdDevice = 0x0100;
  int LogId = -1;
};

class TSimHidLink {
 public:
  TSimHidLink(TSimDevice &device, TSimHidOptions options = {});
  ~TSimHidLink();
  TSimHidLink(const TSimHidLink &) = delete;
  TSimHidLink &operator=(const TSimHidLink &) = delete;

  // Plugs the device into the registry of simulated USB devices under the
  // first free "sim:usbN" / "sim:hidN"; false with `error` when none is free.
  // A device that is restarting is plugged in when it is back.
  bool Plug(std::string &error);
  // Takes it out again; ports opened before fail with 1167 from now on.
  void Unplug();
  // "sim:usbN" while plugged in (also while away for a restart), else empty.
  std::string SysPath() const;
  std::string HidNode() const;
  // What enumeration shows for the device in its present mode.
  platform::TZor_UsbDeviceInfo Identity() const;

  // Opens the tool's side directly, without the registry (5 while another
  // port is open, 1167 while the device is away).
  std::unique_ptr<platform::TZor_HidPort> OpenPort(platform::TZor_SysError &error);

  // Serves the device side on `fd` in hidraw form (output reports arrive as
  // OutputReportLength bytes with a leading report number 0, input reports
  // leave without their report-ID byte) until Stop() or until the descriptor
  // fails. A host closing the node (a hang-up of the pseudo-terminal) is
  // waited out, as the next program opens the same node. The descriptor
  // stays the caller's.
  void ServeStream(int fd);
  // Ends ServeStream and the worker; the link is unplugged. Idempotent.
  void Stop();

  // Told when the device leaves for a restart (false) and when it is back
  // (true), after the registry has seen it; runs on the link's worker.
  void SetOnPresence(std::function<void(bool present)> handler);

 private:
  class TCore;
  class TPort;
  struct TReader;

  void WorkerLoop();
  void OnDeviceEvent(const TSimEvent &event);
  // Registry steps; FRegistryLock held.
  bool PlugRegistryLocked(std::string &error);
  void UnplugRegistryLocked();
  void TellPresence(bool present);
  // ServeStream's two directions.
  void StreamIn(int fd, TReader &host);
  void StreamOut(int fd, TReader &host);
  bool WriteStream(int fd, const std::string &bytes);
  bool Stopping() const;
  void Log(const std::string &text) const;

  TSimDevice &FDevice;
  TSimHidOptions FOptions;
  std::shared_ptr<TCore> FCore;  // shared with the open ports

  // Plugging and unplugging, in order.
  std::mutex FRegistryLock;
  bool FWantPlugged = false;  // Plug was called and Unplug not since
  bool FInRegistry = false;
  int FIndex = 0;  // N of "sim:usbN"; 0 before the first plug

  mutable std::mutex FWorkLock;  // the fields below
  std::condition_variable FWorkCond;
  bool FStopping = false;
  bool FLeavePending = false;
  bool FBackPending = false;
  int FServing = 0;  // ServeStream calls running
  std::string FSysPath;
  std::function<void(bool)> FOnPresence;
  std::thread FWorker;

  // Wakes ServeStream's poll() on Stop.
  int FWakeRead = -1, FWakeWrite = -1;
};

}  // namespace zor
