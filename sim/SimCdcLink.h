// Virtual COM port link of a simulated device (ColdFire or ESP model). The
// device side of the USB serial protocol lives here, written from the wire
// formats and not from the tool's decoder.
//
// Tool to device: commands as [length][command bytes]. The link keeps the
// device's user slots (1..4; registration 0xBE [slot-1], switching with
// 0x85 0x27+slot, a stop 0x85 0x60 ends the current user's session), hands
// every other command to the model for the current user (a user that was
// not served yet is from then on), and answers:
// - ColdFire: CDC blocks (32-byte header of big-endian words, then the
//   body), user slot in the write pointer, repeat address in the read
//   pointer, tools data with the tools flag (outside the ring: not
//   repeated by a resume), a buffer-cleared block when a user registers and
//   the flag on the next block after a command that clears its buffer, the
//   multi-user flag on every block of a device that takes several users;
//   resumes (0x85 0x73/0x74..0x77 + address, 0x85 0x72 + seconds: from the
//   block after that time stamp) continue the stream of that user.
// - A registration the device cannot serve (all slots taken, or a second
//   user of a single-user device) gets the too-many-users answer: a block
//   for no user with the framed 0x7FFA report and the 16 bytes of connected
//   users (ColdFire), or the status record 254 (ESP).
// - Each user keeps a ring of its recent output (a quarter of
//   MaxQueuedBytes); a resume from an address the ring no longer holds
//   starts that user's stream afresh with a cleared buffer.
// - ESP: a byte stream of binary reports; registration answers with the
//   buffer-cleared transmit report and the 0x7001 message for that slot;
//   the ring address of each user's reports continues from report to report
//   (18 bits, wrapping at 2^18); a resume 0x04 0x73 + address continues from
//   there.
// Data for a user slot nobody registered on this connection is sent all the
// same (a real device serves other programs' users too), so tests can show
// the tool's handling of unserved slots.
//
// A restart makes the port disappear (unplugged, open ports fail with 1167)
// and come back after the model's silent time, under the boot-loader
// identity when the model is in its boot loader (ColdFire: the HID boot
// loader, 16D0:0611 "... Bootloader", same serial number).
//
// The link reaches the tool two ways, as TSimHidLink: plugged into the
// in-process registry of simulated USB devices ("sim:usbN" with tty node
// "sim:ttyN", opened through OpenSerialPort), or served on a byte stream
// (ServeStream), for a system test that emulates /dev/ttyACMn on a
// pseudo-terminal.
//
// Threads: a worker drives the model's timers, paces the output and carries
// out unplugging and plugging across restarts; the tool's port calls run on
// the tool's threads. The model is never called with a link lock held.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Zor_Serial.h"
#include "platform/Zor_UsbEnum.h"
#include "sim/SimDevice.h"

namespace zor {

constexpr uint16_t SimCdcVendorId = 0x16D0;
constexpr uint16_t SimColdfireCdcProductId = 0x0610;
constexpr uint16_t SimEspProductId = 0x0612;

struct TSimCdcOptions {
  // Bytes per millisecond the port carries towards the tool (full-speed
  // bulk endpoint); 0 turns pacing off.
  uint32_t BytesPerMs = 1000;
  uint32_t TickMs = 10;  // how often the model's timers run
  // Several programs may use the device at once (the multi-user flag of
  // CDC blocks; an ESP device always takes four users).
  bool MultiUser = true;
  // Output the device holds while nobody reads; the oldest goes first.
  size_t MaxQueuedBytes = 1 << 20;
  std::string Manufacturer = "Zor";
  uint16_t BcdDevice = 0x0100;
  int LogId = -1;
};

class TSimCdcLink {
 public:
  TSimCdcLink(TSimDevice &device, TSimCdcOptions options = {});
  ~TSimCdcLink();
  TSimCdcLink(const TSimCdcLink &) = delete;
  TSimCdcLink &operator=(const TSimCdcLink &) = delete;

  // Plugs the device into the registry under the first free "sim:usbN" /
  // "sim:ttyN"; false with `error` when none is free. A device that is
  // restarting is plugged in when it is back.
  bool Plug(std::string &error);
  void Unplug();
  std::string SysPath() const;
  std::string TtyNode() const;
  // What enumeration shows for the device in its present mode.
  platform::TZor_UsbDeviceInfo Identity() const;

  // Opens the tool's side directly, without the registry (5 while another
  // port is open, 1167 while the device is away).
  std::unique_ptr<platform::TZor_SerialPort> OpenPort(platform::TZor_SysError &error);

  // Serves the device side on `fd` (a pseudo-terminal's end, set raw by the
  // caller) until Stop() or until the descriptor fails; a host closing the
  // node is waited out. The descriptor stays the caller's.
  void ServeStream(int fd);
  void Stop();

  // Breaks the stream for `ms`: nothing reaches the tool meanwhile and what
  // the device produced stays in its ring, so a resume from the last address
  // the tool saw loses nothing. With `unplug` the port disappears for that
  // time as well (open ports fail with 1167).
  void BreakStream(uint32_t ms, bool unplug = false);

  // Told when the device leaves for a restart or a break that unplugs it
  // (false) and when it is back (true), after the registry has seen it;
  // runs on the link's worker (in the boot loader, on its HID link's).
  void SetOnPresence(std::function<void(bool present)> handler);

  // Commands the link itself took (registrations, switches, stops, resumes),
  // as text lines for tests: "register 2", "switch 3", "stop 1", "resume 1 0x00123".
  std::vector<std::string> LinkLog() const;

 private:
  class TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace zor
