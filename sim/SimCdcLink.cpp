#include "sim/SimCdcLink.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "foundation/LogUnit.h"
#include "platform/Zor_SimUsb.h"
#include "sim/SimFormats.h"
#include "sim/SimHidLink.h"

namespace zor {

using platform::TZor_IoResult;
using platform::TZor_SysError;
using TClock = std::chrono::steady_clock;

namespace {

constexpr int MaxSimIndex = 64;              // "sim:usb1" .. "sim:usb64"
constexpr size_t MaxCdcPayload = 4096;       // larger outputs go out in several blocks
constexpr uint32_t EspRingMask = 0x3FFFF;    // 18-bit ring address of binary records
constexpr size_t MaxLinkLog = 1000;
// Where a user's block positions start: a block whose write and read
// pointers are both 0 belongs to no user, so user 1's first empty block must
// not sit at 0.
constexpr uint32_t CdcRingStart = 0x100;
constexpr int IdleNodeCheckMs = 5;           // a served node nobody holds is looked at this often
constexpr uint32_t StreamReadWaitMs = 100;
// The device answers a registration it cannot serve with this report; with
// the connected users after it the block carries 37 bytes.
const char *const TooManyUsersText = "Too Many Users!";

const TZor_SysError DeviceGone{platform::ERR_DEVICE_NOT_CONNECTED, ENODEV};

TZor_IoResult Fail(TZor_SysError &error, TZor_SysError what) {
  error = what;
  return TZor_IoResult::ioError;
}

std::string Hex5(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%05X", static_cast<unsigned>(v));
  return text;
}

// Seconds of a time-stamp frame (100 ms count / 10), or -1 for any other output.
int StampSeconds(const std::string &frame) {
  std::string data;
  for (size_t i = 2; i < frame.size() && static_cast<uint8_t>(frame[i]) != 0xBF; ++i) {
    auto b = static_cast<uint8_t>(frame[i]);
    if (b == 0xBC && i + 1 < frame.size()) b = static_cast<uint8_t>(static_cast<uint8_t>(frame[++i]) - 4);
    data += static_cast<char>(b);
  }
  if (data.size() != 7 || static_cast<uint8_t>(data[0]) != simRepTime100ms >> 8 ||
      static_cast<uint8_t>(data[1]) != (simRepTime100ms & 0xFF))
    return -1;
  return static_cast<int>(SimReadBE32(data, 2) / 10);
}

// Commands after which the device clears a user's transmit buffer: classic
// commands with bit 7 set (not the extended escape, not the serial-line bytes
// 0xBC..0xBF), the start of tools mode and the stop.
bool ClearsBuffer(const std::string &cmd) {
  const auto c = static_cast<uint8_t>(cmd[0]);
  if (c == 0x85) return cmd.size() >= 2 && (cmd[1] == 0x10 || cmd[1] == 0x60);
  return c >= 0x80 && (c < 0xBC || c > 0xBF);
}

}  // namespace

// ------------------------------------------------------------------ device side

// The device side, shared with the open ports so that a port outliving the
// link fails cleanly. FLock is never held while the model is called.
class TSimCdcCore : public std::enable_shared_from_this<TSimCdcCore> {
 public:
  // One reader of the device's output: an open port or a served node.
  struct TReader {
    uint64_t Generation = 0;
    bool FollowsRestarts = false;  // a served node outlives restarts and breaks
    bool Cancel = false;
    bool Closed = false;
    bool Paused = false;  // a served node nobody holds
  };

  TSimCdcCore(TSimDevice &device, const TSimCdcOptions &options)
      : FDevice(&device),
        FEsp(device.Family() == TSimFamily::Esp),
        FOptions(options),
        FRingLimit(std::max<size_t>(options.MaxQueuedBytes / 4, 4096)) {}

  void SetPlugged(bool on) { SetAttachment(FPlugged, on); }
  void SetStreaming(bool on) { SetAttachment(FStreaming, on); }

  // The model goes silent for a restart (true) or is back (false).
  void SetSilent(bool silent) {
    std::lock_guard l(FLock);
    if (silent && !FSilent) {
      LeaveLocked();
      // What the device held for its users is gone with the restart.
      for (TSlot &s : FSlots) s = TSlot();
      FCurrent = 1;
    }
    FSilent = silent;
  }

  void Break(uint32_t ms, bool unplug) {
    {
      std::lock_guard l(FLock);
      FBreakUntil = TClock::now() + std::chrono::milliseconds(ms);
      FBreaking = true;
      FWire.clear();  // a unit on its way is lost
      if (unplug) LeaveLocked();
      FBreakGone = unplug;
    }
    FCond.notify_all();
  }

  // The link is going: no more model calls; waits for those in progress.
  void Detach() {
    std::unique_lock l(FLock);
    FDevice = nullptr;
    LeaveLocked();
    FCond.wait(l, [this] { return FBusy == 0; });
  }

  std::unique_ptr<platform::TZor_SerialPort> Open(TZor_SysError &error);
  void Release(const TReader &reader) {
    std::lock_guard l(FLock);
    if (FHolder != &reader) return;
    FHolder = nullptr;
    // A unit partly taken is lost; one not begun waits for the next reader.
    if (FWireAt != 0) FWire.clear();
    FWireAt = 0;
  }
  void InitReader(TReader &reader, bool followsRestarts) {
    std::lock_guard l(FLock);
    reader = TReader{};
    reader.Generation = FGeneration;
    reader.FollowsRestarts = followsRestarts;
  }
  template <class F>
  void Touch(TReader &reader, F change) {
    {
      std::lock_guard l(FLock);
      change(reader);
    }
    FCond.notify_all();
  }

  // Host to device: bytes of [length][command] units.
  TZor_IoResult Deliver(const std::string &bytes, const TReader &writer, TZor_SysError &error);
  // Device to host: up to `maxBytes`, paced.
  TZor_IoResult Take(std::string &data, size_t maxBytes, uint32_t timeoutMs, TReader &reader,
                     TZor_SysError &error);
  // The model's sink; runs with the model's lock held.
  void OnOutput(const TSimOutput &out);

  bool BreakGone() const {
    std::lock_guard l(FLock);
    return FBreaking && FBreakGone;
  }
  // Ends a break that is over; true when one ended. Returns the time left otherwise.
  bool EndBreakIfDue(TClock::duration &left) {
    std::lock_guard l(FLock);
    left = TClock::duration::max();
    if (!FBreaking) return false;
    const auto now = TClock::now();
    if (now < FBreakUntil) {
      left = FBreakUntil - now;
      return false;
    }
    EndBreakLocked();
    return true;
  }

  std::vector<std::string> LinkLog() const {
    std::lock_guard l(FLock);
    return {FLinkLog.begin(), FLinkLog.end()};
  }

 private:
  // One unit on the wire (a CDC block or a binary record) as the device keeps it.
  struct TUnit {
    uint64_t Seq = 0;
    uint32_t Start = 0, End = 0;  // ring address before and after it
    int StampSec = -1;            // ColdFire time stamp: its seconds
    bool Replayable = true;       // tools answers are not part of the ring
    std::string Wire;
  };
  struct TSlot {
    bool Active = false;
    bool ClearPending = false;  // ColdFire: the next block carries the buffer-cleared flag
    std::deque<TUnit> Ring;
    size_t RingBytes = 0;
    uint64_t Cursor = 0;        // units with a lower sequence number have gone out
    uint32_t EspNext = 0;       // ring address of the next record
    TSimCdcStream Cdc{1, CdcRingStart};
    bool LossLogged = false;
  };

  void SetAttachment(bool &flag, bool on) {
    std::lock_guard l(FLock);
    if (flag && !on) LeaveLocked();
    flag = on;
  }
  bool ReachableLocked() const {
    return FDevice && (FPlugged || FStreaming) && !FSilent && !(FBreaking && FBreakGone);
  }
  bool GoneLocked(const TReader &r) const {
    if (r.FollowsRestarts) return !FDevice || r.Closed;
    return !ReachableLocked() || r.Generation != FGeneration;
  }
  // The device left the bus: ports opened before fail, a unit on its way is lost.
  void LeaveLocked() {
    ++FGeneration;
    FHolder = nullptr;
    FWire.clear();
    FWireAt = 0;
    FWant = 0;
    FCommand.clear();
    FCond.notify_all();
  }
  void EndBreakLocked() {
    FBreaking = false;
    FBreakGone = false;
    // What the device produced meanwhile never reached the host; the ring keeps it.
    for (TSlot &s : FSlots) s.Cursor = FSeq;
    FCond.notify_all();
  }
  void LinkLogLocked(std::string line) {
    FLinkLog.push_back(std::move(line));
    if (FLinkLog.size() > MaxLinkLog) FLinkLog.pop_front();
  }
  void Log(const std::string &text) const { LogText(FOptions.LogId, "SimCdcLink: " + text); }

  int ActiveCountLocked() const {
    int n = 0;
    for (int u = 1; u <= 4; ++u) n += FSlots[u].Active;
    return n;
  }
  // Stamps one output for slot `u` and keeps it in the ring.
  void WrapLocked(int u, const TSimOutput &out);
  void AddUnitLocked(int u, TUnit unit);
  void BufferClearedLocked(int u);
  void TooManyUsersLocked();
  void ResumeLocked(int u, uint32_t addr);
  void ResumeFromStampLocked(int u, int seconds);
  void ReplayFromLocked(int u, size_t index);
  // True when the user was not served before.
  bool ActivateLocked(int u);
  // Picks the next unit to go out; false when none waits.
  bool FillWireLocked();

  // What a command means to the link itself.
  enum class TCmdKind { Model, Register, Switch, Stop, Resume, StampResume };
  void Dispatch(TSimDevice &device, const std::string &cmd);

  mutable std::mutex FLock;
  std::condition_variable FCond;
  std::mutex FDispatchLock;  // commands reach the model in the order written
  TSimDevice *FDevice;
  const bool FEsp;
  const TSimCdcOptions FOptions;
  const size_t FRingLimit;  // bytes each user's ring keeps

  bool FPlugged = false, FStreaming = false, FSilent = false;
  bool FBreaking = false, FBreakGone = false;
  TClock::time_point FBreakUntil{};
  uint64_t FGeneration = 1;
  const TReader *FHolder = nullptr;
  int FBusy = 0;
  std::string FCommand;
  size_t FWant = 0;

  std::array<TSlot, 5> FSlots;  // 1..4 user slots, 0: units for no user
  uint8_t FCurrent = 1;         // the user the device is switched to
  uint64_t FSeq = 0;
  std::string FWire;            // the unit going out
  size_t FWireAt = 0;
  double FCredit = 0;           // pacing: bytes the endpoint may move now
  TClock::time_point FCreditAt = TClock::now();
  std::deque<std::string> FLinkLog;
};

namespace {

class TPort : public platform::TZor_SerialPort {
 public:
  explicit TPort(std::shared_ptr<TSimCdcCore> core) : FCore(std::move(core)) { FCore->InitReader(FReader, false); }
  ~TPort() override { FCore->Release(FReader); }

  TZor_IoResult Read(std::string &data, size_t maxBytes, uint32_t timeoutMs) override {
    TZor_SysError error;
    const TZor_IoResult r = FCore->Take(data, maxBytes, timeoutMs, FReader, error);
    if (r == TZor_IoResult::ioError) SetError(error);
    return r;
  }
  TZor_IoResult Write(const std::string &data, uint32_t, size_t &written) override {
    TZor_SysError error;
    written = 0;
    const TZor_IoResult r = FCore->Deliver(data, FReader, error);
    if (r == TZor_IoResult::ioOk) written = data.size();
    if (r == TZor_IoResult::ioError) SetError(error);
    return r;
  }
  bool SetBaudRate(uint32_t) override { return true; }  // a virtual COM port ignores the line speed
  void CancelRead() override {
    FCore->Touch(FReader, [](TSimCdcCore::TReader &r) { r.Cancel = true; });
  }
  TZor_SysError GetLastError() const override {
    std::lock_guard l(FErrorLock);
    return FLastError;
  }
  const TSimCdcCore::TReader &Reader() const { return FReader; }

 private:
  void SetError(const TZor_SysError &e) {
    std::lock_guard l(FErrorLock);
    FLastError = e;
  }
  std::shared_ptr<TSimCdcCore> FCore;
  TSimCdcCore::TReader FReader;  // guarded by the core's lock
  mutable std::mutex FErrorLock;
  TZor_SysError FLastError;
};

}  // namespace

std::unique_ptr<platform::TZor_SerialPort> TSimCdcCore::Open(TZor_SysError &error) {
  {
    std::lock_guard l(FLock);
    if (!ReachableLocked()) return error = DeviceGone, nullptr;
    if (FHolder) return error = {platform::ERR_ACCESS_DENIED, EBUSY}, nullptr;
  }
  auto port = std::make_unique<TPort>(shared_from_this());
  std::lock_guard l(FLock);
  if (FHolder || !ReachableLocked()) {
    error = FHolder ? TZor_SysError{platform::ERR_ACCESS_DENIED, EBUSY} : DeviceGone;
    return nullptr;
  }
  FHolder = &port->Reader();
  error = {};
  return port;
}

TZor_IoResult TSimCdcCore::Deliver(const std::string &bytes, const TReader &writer, TZor_SysError &error) {
  std::lock_guard order(FDispatchLock);
  std::vector<std::string> commands;
  TSimDevice *device = nullptr;
  {
    std::lock_guard l(FLock);
    if (GoneLocked(writer) || FSilent || (FBreaking && FBreakGone)) return Fail(error, DeviceGone);
    for (char b : bytes) {
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
    device = FDevice;
    if (commands.empty()) return TZor_IoResult::ioOk;
    ++FBusy;
  }
  for (const std::string &cmd : commands) Dispatch(*device, cmd);
  {
    std::lock_guard l(FLock);
    --FBusy;
  }
  FCond.notify_all();
  return TZor_IoResult::ioOk;
}

void TSimCdcCore::Dispatch(TSimDevice &device, const std::string &cmd) {
  const auto b0 = static_cast<uint8_t>(cmd[0]);
  const uint8_t b1 = cmd.size() >= 2 ? static_cast<uint8_t>(cmd[1]) : 0;
  TCmdKind kind = TCmdKind::Model;
  if (b0 == 0xBE && cmd.size() <= 2)
    kind = TCmdKind::Register;
  else if (b0 == 0x85 && cmd.size() == 2 && b1 >= 0x28 && b1 <= 0x2B)
    kind = TCmdKind::Switch;
  else if (b0 == 0x85 && cmd.size() == 2 && b1 == 0x60)
    kind = TCmdKind::Stop;
  else if (FEsp && b0 == 0x04 && b1 == 0x73 && cmd.size() == 6)
    kind = TCmdKind::Resume;
  else if (!FEsp && b0 == 0x85 && b1 >= 0x73 && b1 <= 0x77 && cmd.size() == 6)
    kind = TCmdKind::Resume;
  else if (!FEsp && b0 == 0x85 && b1 == 0x72 && cmd.size() == 3)
    kind = TCmdKind::StampResume;

  uint8_t user = 0;
  int joined = 0, left = 0;  // users the connected-users answer gains or loses
  bool toModel = kind == TCmdKind::Model;
  bool connected = false;  // an ESP user registered: the device sends its version
  {
    std::lock_guard l(FLock);
    switch (kind) {
      case TCmdKind::Register: {
        int slot = cmd.size() == 2 ? static_cast<uint8_t>(cmd[1]) + 1 : 0;
        if (slot == 0)
          for (int u = 1; u <= 4 && slot == 0; ++u)
            if (!FSlots[u].Active) slot = u;
        const bool refused = slot < 1 || slot > 4 ||
                             (!FEsp && !FOptions.MultiUser && !FSlots[slot].Active && ActiveCountLocked() > 0);
        if (refused) {
          LinkLogLocked("register refused");
          TooManyUsersLocked();
          break;
        }
        LinkLogLocked("register " + std::to_string(slot));
        FCurrent = static_cast<uint8_t>(slot);
        if (!FSlots[slot].Active) joined = slot;
        FSlots[slot].Active = true;
        BufferClearedLocked(slot);
        user = FCurrent;
        toModel = true;
        connected = FEsp;
        break;
      }
      case TCmdKind::Switch:
        FCurrent = static_cast<uint8_t>(b1 - 0x27);
        LinkLogLocked("switch " + std::to_string(FCurrent));
        break;
      case TCmdKind::Stop: {
        TSlot &s = FSlots[FCurrent];
        LinkLogLocked("stop " + std::to_string(FCurrent));
        // The user's session ends: what it had not read is dropped.
        const bool wasActive = s.Active;
        if (wasActive) left = FCurrent;
        s.Active = false;
        s.Cursor = FSeq;
        s.ClearPending = true;
        user = FCurrent;
        // The device's own output ends with its last user.
        toModel = wasActive && ActiveCountLocked() == 0;
        break;
      }
      case TCmdKind::Resume: {
        if (!FEsp && b1 >= 0x74) FCurrent = static_cast<uint8_t>(b1 - 0x73);
        const uint32_t addr = SimReadBE32(cmd, 2);
        LinkLogLocked("resume " + std::to_string(FCurrent) + " " + Hex5(addr));
        if (ActivateLocked(FCurrent)) joined = FCurrent;
        ResumeLocked(FCurrent, addr);
        break;
      }
      case TCmdKind::StampResume:
        LinkLogLocked("resume " + std::to_string(FCurrent) + " time " +
                      std::to_string(static_cast<uint8_t>(cmd[2])));
        if (ActivateLocked(FCurrent)) joined = FCurrent;
        ResumeFromStampLocked(FCurrent, static_cast<uint8_t>(cmd[2]));
        break;
      case TCmdKind::Model:
        if (ActivateLocked(FCurrent)) joined = FCurrent;
        if (ClearsBuffer(cmd)) FSlots[FCurrent].ClearPending = true;
        user = FCurrent;
        break;
    }
  }
  FCond.notify_all();
  if (joined) device.SetUser(joined, TSimUserKind::Usb);
  if (left) device.SetUser(left, TSimUserKind::None);
  if (!toModel) return;
  device.HandleCommand(cmd, user);
  if (connected) device.OnConnected(user);
}

bool TSimCdcCore::ActivateLocked(int u) {
  TSlot &s = FSlots[u];
  if (s.Active) return false;
  s.Active = true;
  s.ClearPending = true;  // a user's stream begins with a cleared buffer
  return true;
}

void TSimCdcCore::OnOutput(const TSimOutput &out) {
  {
    std::lock_guard l(FLock);
    if (!FDevice || FSilent) return;
    if (out.User >= 1 && out.User <= 4) {
      // Sent all the same when the user is not served here: a real device
      // serves other programs' users too.
      WrapLocked(out.User, out);
    } else {
      for (int u = 1; u <= 4; ++u)
        if (FSlots[u].Active) WrapLocked(u, out);
    }
  }
  FCond.notify_all();
}

void TSimCdcCore::WrapLocked(int u, const TSimOutput &out) {
  TSlot &s = FSlots[u];
  if (FEsp) {
    TUnit unit;
    unit.Wire = out.Bytes;
    unit.Start = s.EspNext;
    SimRestampRecord(unit.Wire, static_cast<uint8_t>(u), s.EspNext);
    s.EspNext = (s.EspNext + SimRecordWords(unit.Wire)) & EspRingMask;
    unit.End = s.EspNext;
    AddUnitLocked(u, std::move(unit));
    return;
  }
  uint32_t flags = FOptions.MultiUser ? uint32_t(simCdcMultiUser) : 0u;
  const bool tools = out.Kind == TSimOutputKind::Tools;
  if (s.ClearPending) flags |= simCdcBufferCleared;
  s.ClearPending = false;
  s.Cdc.SetUser(static_cast<uint8_t>(u));
  const int stamp = tools ? -1 : StampSeconds(out.Bytes);
  for (size_t at = 0; at < out.Bytes.size(); at += MaxCdcPayload) {
    const std::string piece = out.Bytes.substr(at, MaxCdcPayload);
    TUnit unit;
    unit.Start = s.Cdc.Position();
    if (tools) {
      // Tools answers go to the tool's tools buffer, outside the ring.
      TSimCdcHead head;
      head.Flags = flags | simCdcToolsData;
      head.ReadPtr = unit.Start;
      head.WritePtr = (unit.Start & 0x1FFFF) | (uint32_t((u - 1) & 3) << 17);
      unit.Wire = SimCdcBlock(piece, head);
      unit.Replayable = false;
    } else {
      unit.Wire = s.Cdc.Block(piece, flags | simCdcRepeatAddr);
      unit.StampSec = stamp;
    }
    unit.End = s.Cdc.Position();
    flags &= ~simCdcBufferCleared;
    AddUnitLocked(u, std::move(unit));
  }
}

void TSimCdcCore::AddUnitLocked(int u, TUnit unit) {
  TSlot &s = FSlots[u];
  unit.Seq = FSeq++;
  s.RingBytes += unit.Wire.size();
  s.Ring.push_back(std::move(unit));
  while (s.RingBytes > FRingLimit && s.Ring.size() > 1) {
    const TUnit &old = s.Ring.front();
    if (old.Seq >= s.Cursor) {
      s.Cursor = old.Seq + 1;
      if (!s.LossLogged) Log("user " + std::to_string(u) + " does not read: oldest output lost");
      s.LossLogged = true;
    }
    s.RingBytes -= old.Wire.size();
    s.Ring.pop_front();
  }
}

void TSimCdcCore::BufferClearedLocked(int u) {
  TSlot &s = FSlots[u];
  s.Cursor = FSeq;  // nothing older goes out to the new user
  if (FEsp) {
    TSimRecordHead head;
    head.Type = simRecStatus;
    head.W = simStatusBufferCleared;
    TSimOutput out;
    out.Bytes = SimRecord(head, {});
    WrapLocked(u, out);
  } else {
    // An empty block that only carries the flag.
    const uint32_t flags = simCdcBufferCleared | simCdcRepeatAddr | (FOptions.MultiUser ? uint32_t(simCdcMultiUser) : 0u);
    s.Cdc.SetUser(static_cast<uint8_t>(u));
    TUnit unit;
    unit.Start = unit.End = s.Cdc.Position();
    unit.Wire = s.Cdc.Block({}, flags);
    s.ClearPending = false;
    AddUnitLocked(u, std::move(unit));
  }
}

void TSimCdcCore::TooManyUsersLocked() {
  TUnit unit;
  if (FEsp) {
    TSimRecordHead head;
    head.Type = simRecStatus;
    head.W = simStatusTooManyUsers;
    unit.Wire = SimRecord(head, {});
  } else {
    std::string users;
    for (int u = 1; u <= 4; ++u) users += SimBE32(FSlots[u].Active ? 2 : 0);  // 2: a USB user
    TSimCdcHead head;  // write and read pointer 0: the block belongs to no user
    head.Flags = FOptions.MultiUser ? uint32_t(simCdcMultiUser) : 0u;
    unit.Wire = SimCdcBlock(SimTextFrame(SimReport(0x7FFA, TooManyUsersText)) + users, head);
  }
  unit.Replayable = false;
  AddUnitLocked(0, std::move(unit));
}

void TSimCdcCore::ResumeLocked(int u, uint32_t addr) {
  TSlot &s = FSlots[u];
  // The tool counts ESP addresses modulo 2^19; the device's field has 18 bits.
  if (FEsp) addr &= EspRingMask;
  const uint32_t next = FEsp ? s.EspNext : s.Cdc.Position();
  if (!FEsp) addr &= 0xFFFFF;
  if (addr == next) {
    s.Cursor = FSeq;  // the tool has everything
    return;
  }
  for (size_t i = 0; i < s.Ring.size(); ++i)
    if (s.Ring[i].Replayable && s.Ring[i].Start == addr) return ReplayFromLocked(u, i);
  Log("user " + std::to_string(u) + ": resume from " + Hex5(addr) + " no longer in the ring: buffer cleared");
  BufferClearedLocked(u);
}

void TSimCdcCore::ResumeFromStampLocked(int u, int seconds) {
  TSlot &s = FSlots[u];
  for (size_t i = s.Ring.size(); i-- > 0;)
    if (s.Ring[i].StampSec >= 0 && (s.Ring[i].StampSec & 0xFF) == seconds) return ReplayFromLocked(u, i + 1);
  Log("user " + std::to_string(u) + ": time stamp " + std::to_string(seconds) +
      " no longer in the ring: buffer cleared");
  BufferClearedLocked(u);
}

// The units from `index` on go out again, in their order, before anything newer.
void TSimCdcCore::ReplayFromLocked(int u, size_t index) {
  TSlot &s = FSlots[u];
  // A unit of this user that was on its way is superseded by the replay.
  std::deque<TUnit> again;
  for (size_t i = index; i < s.Ring.size(); ++i)
    if (s.Ring[i].Replayable) again.push_back(s.Ring[i]);
  const size_t keep = index;
  s.RingBytes = 0;
  s.Ring.resize(keep);
  for (const TUnit &x : s.Ring) s.RingBytes += x.Wire.size();
  s.Cursor = FSeq;
  for (TUnit &x : again) AddUnitLocked(u, std::move(x));
}

bool TSimCdcCore::FillWireLocked() {
  if (FWireAt < FWire.size()) return true;
  FWire.clear();
  FWireAt = 0;
  TUnit *best = nullptr;
  TSlot *bestSlot = nullptr;
  for (TSlot &s : FSlots) {
    auto it = std::lower_bound(s.Ring.begin(), s.Ring.end(), s.Cursor,
                               [](const TUnit &x, uint64_t seq) { return x.Seq < seq; });
    if (it != s.Ring.end() && (!best || it->Seq < best->Seq)) {
      best = &*it;
      bestSlot = &s;
    }
  }
  if (!best) return false;
  FWire = best->Wire;
  bestSlot->Cursor = best->Seq + 1;
  // Units for no user are not kept once sent.
  if (bestSlot == &FSlots[0]) {
    FSlots[0].RingBytes -= FSlots[0].Ring.front().Wire.size();
    FSlots[0].Ring.pop_front();
  }
  return true;
}

TZor_IoResult TSimCdcCore::Take(std::string &data, size_t maxBytes, uint32_t timeoutMs, TReader &reader,
                                TZor_SysError &error) {
  data.clear();
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  const double perMs = FOptions.BytesPerMs;
  const double burst = std::max(64.0, perMs * 4);
  std::unique_lock l(FLock);
  for (;;) {
    if (GoneLocked(reader)) return Fail(error, DeviceGone);
    if (reader.Cancel) {
      reader.Cancel = false;
      error = {platform::ERR_OPERATION_ABORTED, ECANCELED};
      return TZor_IoResult::ioCancelled;
    }
    const auto now = TClock::now();
    // A break that took the port away ends on the worker, which plugs it in again.
    if (FBreaking && !FBreakGone && now >= FBreakUntil) EndBreakLocked();
    const bool quiet = FBreaking || FSilent || reader.Paused || maxBytes == 0;
    if (!quiet && FillWireLocked()) {
      size_t n = std::min(maxBytes, FWire.size() - FWireAt);
      if (perMs > 0) {
        FCredit = std::min(burst, FCredit + std::chrono::duration<double, std::milli>(now - FCreditAt).count() * perMs);
        FCreditAt = now;
        if (FCredit < 1) {
          const auto slot = now + std::chrono::microseconds(static_cast<int64_t>((1 - FCredit) * 1000 / perMs) + 1);
          if (slot > deadline) return TZor_IoResult::ioTimeout;
          FCond.wait_until(l, slot);
          continue;
        }
        n = std::min(n, static_cast<size_t>(FCredit));
        FCredit -= static_cast<double>(n);
      }
      data.assign(FWire, FWireAt, n);
      FWireAt += n;
      return TZor_IoResult::ioOk;
    }
    if (now >= deadline) return TZor_IoResult::ioTimeout;
    auto until = deadline;
    if (FBreaking && FBreakUntil > now && FBreakUntil < until) until = FBreakUntil;
    FCond.wait_until(l, until);
  }
}

// ------------------------------------------------------------------ the link

class TSimCdcLink::TImpl {
 public:
  TImpl(TSimDevice &device, const TSimCdcOptions &options)
      : FDevice(device), FOptions(options), FCore(std::make_shared<TSimCdcCore>(device, options)) {
    if (FOptions.TickMs == 0) FOptions.TickMs = 1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      FWakeRead = fds[0];
      FWakeWrite = fds[1];
    }
    Attach();
    FWorker = std::thread(&TImpl::WorkerLoop, this);
  }
  ~TImpl() {
    Stop();
    if (FWakeRead >= 0) close(FWakeRead);
    if (FWakeWrite >= 0) close(FWakeWrite);
  }

  void Stop();
  bool Plug(std::string &error);
  void Unplug();
  std::string SysPath() const {
    std::lock_guard l(FWorkLock);
    if (FHid) return FHid->SysPath();
    return FSysPath;
  }
  std::string TtyNode() const {
    std::lock_guard l(FWorkLock);
    return FSysPath.empty() || FHid ? std::string() : "sim:tty" + FSysPath.substr(7);
  }
  platform::TZor_UsbDeviceInfo Identity() const;
  std::unique_ptr<platform::TZor_SerialPort> OpenPort(TZor_SysError &error) { return FCore->Open(error); }
  void ServeStream(int fd);
  void BreakStream(uint32_t ms, bool unplug);
  void SetOnPresence(std::function<void(bool)> handler) {
    std::lock_guard l(FWorkLock);
    FOnPresence = std::move(handler);
  }
  std::vector<std::string> LinkLog() const { return FCore->LinkLog(); }

 private:
  // The model's sink and event handler are this link's (not the boot loader's HID link's).
  void Attach() {
    FDevice.SetSink([core = FCore](const TSimOutput &out) { core->OnOutput(out); });
    FDevice.SetEventHandler([this](const TSimEvent &e) { OnDeviceEvent(e); });
    FCore->SetSilent(FDevice.IsSilent());
  }
  void OnDeviceEvent(const TSimEvent &event) {
    const bool leaving = event.Kind == TSimEventKind::RestartBegin;
    FCore->SetSilent(leaving);
    {
      std::lock_guard l(FWorkLock);
      (leaving ? FLeavePending : FBackPending) = true;
    }
    FWorkCond.notify_all();
  }
  void WorkerLoop();
  void OnBack();
  // Hands the device to a HID link for its boot loader; returns that link.
  TSimHidLink *StartBootLoader();
  bool PlugRegistryLocked(std::string &error);
  void UnplugRegistryLocked();
  void TellPresence(bool present) {
    std::function<void(bool)> handler;
    {
      std::lock_guard l(FWorkLock);
      handler = FOnPresence;
    }
    if (handler) handler(present);
  }
  void StreamIn(int fd, TSimCdcCore::TReader &host);
  void StreamOut(int fd, TSimCdcCore::TReader &host);
  bool WriteStream(int fd, const std::string &bytes);
  void Log(const std::string &text) const { LogText(FOptions.LogId, "SimCdcLink: " + text); }

  TSimDevice &FDevice;
  TSimCdcOptions FOptions;
  std::shared_ptr<TSimCdcCore> FCore;

  std::mutex FRegistryLock;  // plugging and unplugging, in order
  bool FWantPlugged = false;
  bool FInRegistry = false;
  int FIndex = 0;

  mutable std::mutex FWorkLock;  // the fields below
  std::condition_variable FWorkCond;
  bool FStopping = false;
  bool FLeavePending = false, FBackPending = false;
  bool FHidEnded = false;  // the boot loader's HID link saw the device back
  bool FBreakLeavePending = false;  // a break took the port away
  int FServing = 0;
  std::string FSysPath;
  std::function<void(bool)> FOnPresence;
  // While the ColdFire model is in its boot loader the device is a HID device.
  std::unique_ptr<TSimHidLink> FHid;
  std::thread FWorker;
  int FWakeRead = -1, FWakeWrite = -1;
};

void TSimCdcLink::TImpl::Stop() {
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
  std::unique_ptr<TSimHidLink> hid;
  {
    std::lock_guard l(FWorkLock);
    hid = std::move(FHid);
  }
  hid.reset();
  FDevice.SetSink({});
  FDevice.SetEventHandler({});
  FCore->Detach();
}

bool TSimCdcLink::TImpl::Plug(std::string &error) {
  std::lock_guard r(FRegistryLock);
  {
    std::lock_guard l(FWorkLock);
    if (FStopping) {
      error = "the link is stopped";
      return false;
    }
  }
  if (FWantPlugged) return true;
  FWantPlugged = true;
  FCore->SetPlugged(true);
  if (FDevice.IsSilent()) return true;  // plugged in when it is back
  if (FDevice.IsBootLoader()) {
    if (StartBootLoader()->Plug(error)) return true;
  } else if (PlugRegistryLocked(error)) {
    return true;
  }
  FWantPlugged = false;
  FCore->SetPlugged(false);
  return false;
}

void TSimCdcLink::TImpl::Unplug() {
  std::lock_guard r(FRegistryLock);
  if (!FWantPlugged) return;
  FWantPlugged = false;
  FCore->SetPlugged(false);  // ports fail before anybody hears of the removal
  UnplugRegistryLocked();
  TSimHidLink *hid = nullptr;
  {
    std::lock_guard l(FWorkLock);
    hid = FHid.get();
    FSysPath.clear();
  }
  // The HID link lives until the worker or Stop, which take FRegistryLock first, end it.
  if (hid) hid->Unplug();
}

bool TSimCdcLink::TImpl::PlugRegistryLocked(std::string &error) {
  // The name it had before, if still free: a device keeps its port.
  for (int step = 0; step < MaxSimIndex; ++step) {
    const int index = (FIndex > 0 ? FIndex - 1 + step : step) % MaxSimIndex + 1;
    {
      std::lock_guard l(FWorkLock);
      FSysPath = "sim:usb" + std::to_string(index);
    }
    platform::TZor_UsbDeviceInfo info = Identity();
    auto opener = [core = FCore](TZor_SysError &e) { return core->Open(e); };
    if (platform::PlugSimUsbDevice(info, nullptr, opener)) {
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

void TSimCdcLink::TImpl::UnplugRegistryLocked() {
  if (!FInRegistry) return;
  FInRegistry = false;
  std::string sysPath;
  {
    std::lock_guard l(FWorkLock);
    sysPath = FSysPath;
  }
  platform::UnplugSimUsbDevice(sysPath);
  Log("unplugged " + sysPath);
}

platform::TZor_UsbDeviceInfo TSimCdcLink::TImpl::Identity() const {
  {
    std::lock_guard l(FWorkLock);
    if (FHid) return FHid->Identity();
  }
  platform::TZor_UsbDeviceInfo info;
  const bool esp = FDevice.Family() == TSimFamily::Esp;
  info.VendorID = SimCdcVendorId;
  info.ProductID = esp ? SimEspProductId : SimColdfireCdcProductId;
  info.BcdDevice = FOptions.BcdDevice;
  info.Manufacturer = FOptions.Manufacturer;
  info.Product = esp ? "Zor ESP" : "Zor CDC";
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08X", static_cast<unsigned>(FDevice.GetSerialNumber()));
  info.SerialNumber = serial;
  info.SysPath = SysPath();
  const std::string tty = TtyNode();
  if (!tty.empty()) info.TtyNodes = {tty};
  return info;
}

TSimHidLink *TSimCdcLink::TImpl::StartBootLoader() {
  TSimHidOptions options;
  options.Manufacturer = FOptions.Manufacturer;
  options.BcdDevice = FOptions.BcdDevice;
  options.LogId = FOptions.LogId;
  options.TickMs = FOptions.TickMs;
  // The HID link takes the model's sink and events until the device leaves its boot loader.
  FCore->SetSilent(true);  // the serial port is away meanwhile
  auto hid = std::make_unique<TSimHidLink>(FDevice, options);
  TSimHidLink *link = hid.get();
  // Runs on the HID link's worker, which the link's destructor joins.
  link->SetOnPresence([this, link](bool present) {
    if (!present) {
      // Kept off the bus when it comes back: the application may be back
      // instead, which is a virtual COM port.
      link->Unplug();
      TellPresence(false);
      return;
    }
    {
      std::lock_guard l(FWorkLock);
      FHidEnded = true;
    }
    FWorkCond.notify_all();
  });
  {
    std::lock_guard l(FWorkLock);
    FHid = std::move(hid);
  }
  Log("device in its boot loader: a HID device");
  return link;
}

void TSimCdcLink::TImpl::BreakStream(uint32_t ms, bool unplug) {
  FCore->Break(ms, unplug);
  Log("stream broken for " + std::to_string(ms) + " ms" + (unplug ? ", port away" : ""));
  if (!unplug) return;
  {
    std::lock_guard r(FRegistryLock);
    UnplugRegistryLocked();
  }
  {
    std::lock_guard l(FWorkLock);
    FBreakLeavePending = true;
  }
  FWorkCond.notify_all();
}

void TSimCdcLink::TImpl::WorkerLoop() {
  std::unique_lock l(FWorkLock);
  while (!FStopping) {
    TClock::duration breakLeft;
    const bool breakWasGone = FCore->BreakGone();
    const bool breakEnded = FCore->EndBreakIfDue(breakLeft);
    auto wait = std::chrono::duration_cast<TClock::duration>(std::chrono::milliseconds(FOptions.TickMs));
    if (breakLeft < wait) wait = breakLeft;
    if (breakEnded && breakWasGone) {
      l.unlock();
      {
        std::lock_guard r(FRegistryLock);
        std::string error;
        if (FWantPlugged && !FInRegistry && !FDevice.IsSilent() && !PlugRegistryLocked(error))
          Log("break over, but " + error);
      }
      Log("break over");
      TellPresence(true);
      l.lock();
      continue;
    }
    FWorkCond.wait_for(l, wait, [this] {
      return FStopping || FLeavePending || FBackPending || FHidEnded || FBreakLeavePending;
    });
    if (FStopping) break;
    const bool hidMode = FHid != nullptr;
    l.unlock();
    if (!hidMode) FDevice.Tick();  // the HID link runs the model's timers while it serves
    l.lock();
    if (FBreakLeavePending) {
      FBreakLeavePending = false;
      l.unlock();
      TellPresence(false);
      l.lock();
    }
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
    if ((FBackPending && !FLeavePending) || FHidEnded) {
      FBackPending = false;
      FHidEnded = false;
      l.unlock();
      OnBack();
      l.lock();
    }
  }
}

// The device is back after a restart: as a virtual COM port, or in its boot
// loader as a HID device.
void TSimCdcLink::TImpl::OnBack() {
  {
    std::lock_guard r(FRegistryLock);
    std::unique_ptr<TSimHidLink> oldHid;
    {
      std::lock_guard l(FWorkLock);
      oldHid = std::move(FHid);
    }
    if (oldHid) {
      oldHid.reset();  // gives the model's sink and events back
      Attach();
    }
  }
  if (FDevice.IsSilent()) return;  // restarting again: its end comes to this link
  bool hid = false;
  {
    std::lock_guard r(FRegistryLock);
    std::string error;
    if (FWantPlugged && FDevice.IsBootLoader()) {
      hid = true;
      if (!StartBootLoader()->Plug(error)) Log("boot loader back, but " + error);
    } else if (FWantPlugged && !FInRegistry && !PlugRegistryLocked(error)) {
      Log("device back, but " + error);
    }
  }
  Log(std::string("device back") + (hid ? " in its boot loader" : ""));
  TellPresence(true);
}

// ------------------------------------------------------------------ served node

void TSimCdcLink::TImpl::ServeStream(int fd) {
  {
    std::lock_guard l(FWorkLock);
    if (FStopping || FWakeRead < 0) return;
    ++FServing;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);  // Stop never waits behind a blocked call
  FCore->SetStreaming(true);
  TSimCdcCore::TReader host;
  FCore->InitReader(host, true);
  Log("serving a tty node");
  std::thread out([&] { StreamOut(fd, host); });
  StreamIn(fd, host);
  FCore->Touch(host, [](TSimCdcCore::TReader &r) { r.Closed = true; });
  out.join();
  FCore->SetStreaming(false);
  if (flags >= 0) fcntl(fd, F_SETFL, flags);
  Log("tty node no longer served");
  {
    std::lock_guard l(FWorkLock);
    --FServing;
  }
  FWorkCond.notify_all();
}

void TSimCdcLink::TImpl::StreamIn(int fd, TSimCdcCore::TReader &host) {
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
      if (!idle) Log("tty node opened");
      FCore->Touch(host, [idle](TSimCdcCore::TReader &r) { r.Paused = idle; });
      continue;
    }
    if (fds[1].revents & POLLNVAL) return;
    bool hungUp = (fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLIN);
    if (fds[1].revents & POLLIN) {
      char buf[1024];
      const ssize_t got = read(fd, buf, sizeof buf);
      if (got > 0) {
        TZor_SysError error;
        if (FCore->Deliver(std::string(buf, static_cast<size_t>(got)), host, error) != TZor_IoResult::ioOk)
          Log("command bytes lost: the device is away");
        continue;
      }
      if (got < 0 && errno != EIO && errno != EAGAIN && errno != EINTR) return;
      hungUp = got == 0 || errno == EIO;
    }
    if (hungUp) {
      tcflush(fd, TCOFLUSH);
      idle = true;
      FCore->Touch(host, [](TSimCdcCore::TReader &r) { r.Paused = true; });
      Log("tty node closed by the host");
    }
  }
}

void TSimCdcLink::TImpl::StreamOut(int fd, TSimCdcCore::TReader &host) {
  for (;;) {
    std::string bytes;
    TZor_SysError error;
    const TZor_IoResult r = FCore->Take(bytes, 1024, StreamReadWaitMs, host, error);
    if (r == TZor_IoResult::ioError) return;  // closed
    if (r != TZor_IoResult::ioOk) continue;
    if (!WriteStream(fd, bytes)) return;
  }
}

bool TSimCdcLink::TImpl::WriteStream(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EIO) return true;  // the host closed the node meanwhile: the bytes are lost
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd fds[2] = {{FWakeRead, POLLIN, 0}, {fd, POLLOUT, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[0].revents) return false;
    if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  }
  return true;
}

// ------------------------------------------------------------------ public face

TSimCdcLink::TSimCdcLink(TSimDevice &device, TSimCdcOptions options)
    : FImpl(std::make_unique<TImpl>(device, options)) {}
TSimCdcLink::~TSimCdcLink() = default;
bool TSimCdcLink::Plug(std::string &error) { return FImpl->Plug(error); }
void TSimCdcLink::Unplug() { FImpl->Unplug(); }
std::string TSimCdcLink::SysPath() const { return FImpl->SysPath(); }
std::string TSimCdcLink::TtyNode() const { return FImpl->TtyNode(); }
platform::TZor_UsbDeviceInfo TSimCdcLink::Identity() const { return FImpl->Identity(); }
std::unique_ptr<platform::TZor_SerialPort> TSimCdcLink::OpenPort(platform::TZor_SysError &error) {
  return FImpl->OpenPort(error);
}
void TSimCdcLink::ServeStream(int fd) { FImpl->ServeStream(fd); }
void TSimCdcLink::Stop() { FImpl->Stop(); }
void TSimCdcLink::BreakStream(uint32_t ms, bool unplug) { FImpl->BreakStream(ms, unplug); }
void TSimCdcLink::SetOnPresence(std::function<void(bool present)> handler) {
  FImpl->SetOnPresence(std::move(handler));
}
std::vector<std::string> TSimCdcLink::LinkLog() const { return FImpl->LinkLog(); }

}  // namespace zor
