// Simulated device: the link-independent model behind every simulator link.
// A link hands each command string to HandleCommand exactly as the tool sent
// it and forwards whatever the model emits through its sink. The model owns
// the device's memory, its persistent state (which survives restarts), its
// timers and the faults it can be told to show.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zor {

enum class TSimFamily : uint8_t { Coldfire, Esp };

// How the device routes a piece of output.
enum class TSimOutputKind : uint8_t {
  Report,  // report stream (text frames of a ColdFire device, binary records of an ESP device)
  Tools,   // answer for the tool's tools buffer (memory reads, status answers, NVS answers)
};

// One piece of output. ColdFire: Report bytes are one or more complete text
// frames, Tools bytes are the raw answer; a link carries either in a CDC block
// (tools flag for Tools). ESP: Bytes is exactly one binary record, ready for
// the wire in both kinds; Kind only says how the tool will route it.
struct TSimOutput {
  TSimOutputKind Kind = TSimOutputKind::Report;
  std::string Bytes;
  uint8_t User = 0;            // 0: every connected user, 1..4: only this user slot
  bool BufferCleared = false;  // the device cleared its transmit buffer just before (CDC flag bit 0)
};
using TSimSink = std::function<void(const TSimOutput &)>;

// Changes a link must follow.
enum class TSimEventKind : uint8_t {
  RestartBegin,  // the device goes silent: close every connection, stop answering pings
  RestartEnd,    // the device is back (possibly under a new address, GetIpAddress)
};
struct TSimEvent {
  TSimEventKind Kind = TSimEventKind::RestartBegin;
  uint32_t SilentMs = 0;  // RestartBegin: how long the device stays silent
};
using TSimEventHandler = std::function<void(const TSimEvent &)>;

// What the device answers to the command itself (the acknowledgement a link
// turns into its own answer words).
enum class TSimAnswer : uint8_t {
  Ok,       // taken
  Refused,  // not taken: unknown, malformed, not allowed now, refused login
  Silent,   // no answer at all: the device is restarting
};

// Who occupies a user slot, as the connected-users status answer shows it.
enum class TSimUserKind : uint8_t { None, Usb, Can, Serial, Ip };

struct TSimTimings {
  uint32_t RestartSilentMs = 300;       // silence after a reset or after programming
  uint32_t ResetDelayMs = 20;           // a reset command is answered first, then the device goes silent
  uint32_t TimeStampIntervalMs = 1000;  // 0: no time stamps
  uint32_t HeartbeatIntervalMs = 2000;  // ESP heartbeat records; 0: none
  uint32_t EspCheckMs = 100;            // ESP: time to check (and decrypt) an image before the ready report
};

struct TSimConfig {
  TSimFamily Family = TSimFamily::Coldfire;
  // ColdFire: the version number of the classic report (e.g. 112).
  // ESP: major * 100 + minor of the factory firmware (e.g. 114 = 1.14).
  int FirmwareVersion = 112;
  // Version the device reports after a successful firmware update (the
  // images carry no version the device could read); -1: unchanged.
  int UpdateFirmwareVersion = -1;
  std::string FirmwareDate = "2019-05-10";
  std::string FpgaVersion = "190510.0A";
  std::string ProductPrefix = "LUM:";  // ColdFire version report
  std::string FirmwareName = "LUM2";   // ESP version report ("FW: LUM2-1.14 ...")
  uint32_t SerialNumber = 0x0000ABCD;
  // ColdFire: 16-bit word of the configuration block (letters U, S, F of the
  // version report follow bits 0x0002, 0x0004, 0x4000); ESP: NVS integer 5.
  uint32_t HardFeature = 0x0007;
  uint32_t IpAddress = 0x0A000007;  // a.b.c.d as (a << 24) | (b << 16) | (c << 8) | d
  uint32_t Subnetmask = 0xFFFFFF00;
  uint32_t Gateway = 0x0A000001;
  std::string NickName;
  std::string LoginPassword;       // empty: every login value is accepted
  bool StartInBootLoader = false;  // ColdFire: power up in boot-loader mode
  bool OldBootLoader = false;      // ColdFire: the boot loader is the old "V1.0"
  TSimTimings Timings;
  int LogId = -1;
};

// Faults the model shows on request.
struct TSimFaults {
  bool NeverReady = false;     // ESP: no ready report after the image check
  bool NoRestart = false;      // resets and the end of programming leave the device running
  uint32_t ProgramStatus = 0;  // ColdFire: status word the system code leaves (0 = success)
  bool RefuseLogin = false;
  int CorruptOutputs = 0;  // corrupt the check byte of the next N frames/records; -1: all
};

// Everything that survives a restart.
struct TSimPersistent {
  // ColdFire
  std::string Flash;        // 0x80000 bytes
  std::string Fram;         // configuration memory 0x7E000..0x7E27F (calibration, FHR slices)
  int FirmwareVersion = 0;  // version of the programmed application
  bool BootLoaderMode = false;
  // ESP
  bool UpdatePartitionActive = false;
  std::string UpdateImage;  // the checked (decrypted) image in the update partition
  bool UpdateImageValid = false;
  int UpdateFirmwareVersion = -1;  // version the update partition reports (-1: as the factory one)
  std::map<uint8_t, uint32_t> NvsIntegers;
  std::map<uint8_t, std::string> NvsStrings;
  std::map<uint8_t, std::string> NvsBlocks;
};

struct TSimCommandRecord {
  uint32_t Ticks = 0;
  uint8_t User = 0;
  std::string Bytes;
  bool Accepted = false;
  std::string Note;  // what the device did, or why it did not
};

class TSimDevice {
 public:
  virtual ~TSimDevice() = default;
  TSimDevice(const TSimDevice &) = delete;
  TSimDevice &operator=(const TSimDevice &) = delete;

  // Sink and event handler are called with the model's lock held, on the
  // caller's thread: they must not block on a lock that another thread holds
  // while it calls into the model.
  void SetSink(TSimSink sink);
  void SetEventHandler(TSimEventHandler handler);

  // One command string from user slot `user` (1..4), unchanged.
  TSimAnswer HandleCommand(const std::string &cmdBytes, uint8_t user = 1);
  // Block transfer (BLO/BLK): start, payload pieces, end. Only ESP devices take them.
  TSimAnswer BlockStart(uint32_t len, uint32_t addr, bool crypted, uint8_t user = 1);
  TSimAnswer BlockData(const std::string &bytes);
  TSimAnswer BlockEnd();
  // A data connection of `user` was made (ESP: sends its version report unasked).
  void OnConnected(uint8_t user);
  void SetUser(int slot, TSimUserKind kind, uint32_t ipv4 = 0);

  // Timers: time stamps, heartbeats, delayed reports and the end of a restart.
  // Call it often (every few ms to 100 ms); time comes from platform::GetTicks.
  void Tick();
  // Power cycle: silent for the configured time, then running again.
  void Restart();
  bool IsSilent() const;
  bool IsBootLoader() const;

  TSimFamily Family() const { return FConfig.Family; }
  TSimConfig GetConfig() const;
  // The address the device answers under (taken from its configuration at start-up).
  uint32_t GetIpAddress() const;
  // The address its configuration holds now, which it takes at the next start.
  uint32_t GetConfiguredIpAddress() const;
  // The firmware version the running firmware reports.
  int GetFirmwareVersion() const;
  uint32_t GetSerialNumber() const;

  TSimFaults GetFaults() const;
  void SetFaults(const TSimFaults &faults);

  TSimPersistent GetPersistent() const;
  void SetPersistent(const TSimPersistent &state);

  // The newest commands (a ring, so a long-running device keeps flat memory).
  std::vector<TSimCommandRecord> CommandLog() const;
  void ClearCommandLog();
  // How many records the log keeps; 0 keeps every one (for tests that need
  // the whole history of a long run). Shrinking drops the oldest.
  void SetCommandLogLimit(size_t records);
  static constexpr size_t DefaultCommandLogLimit = 20000;

 protected:
  explicit TSimDevice(const TSimConfig &config);

  // Family parts. A command reaches them only after the dispatch both
  // families share has dealt with registration, the common extended commands
  // and classic commands the device does not know or does not take in its
  // boot loader.
  // An extended command (0x85 + code) of the family's own; `cmd` holds at least 2 bytes.
  virtual TSimAnswer DoExtended(const std::string &cmd, uint8_t user, std::string &note) = 0;
  // A known classic command.
  virtual TSimAnswer DoClassic(const std::string &cmd, uint8_t user, std::string &note) = 0;
  virtual TSimAnswer DoBlockStart(uint32_t len, uint32_t addr, bool crypted, std::string &note);
  virtual TSimAnswer DoBlockData(const std::string &bytes, std::string &note);
  virtual TSimAnswer DoBlockEnd(std::string &note);
  virtual void DoConnected(uint8_t user) { (void)user; }
  virtual void DoTick(uint32_t now) { (void)now; }
  // Called when a restart ends: volatile state starts afresh.
  virtual void DoPowerUp() = 0;
  virtual uint32_t DoIpAddress() const = 0;
  virtual int DoFirmwareVersion() const = 0;
  virtual uint32_t DoSerialNumber() const = 0;

  // Emits output (applies the corruption fault through CorruptOutput).
  void Emit(TSimOutputKind kind, std::string bytes, uint8_t user = 0, bool bufferCleared = false);
  // Damages the check byte of one piece of output; the family knows where it is.
  virtual void CorruptOutput(TSimOutput &out) = 0;
  // Schedules a restart after the reset delay; honours the NoRestart fault.
  void ScheduleRestart(const std::string &why);
  // Goes silent now; the device powers up again after the silent time.
  void BeginRestart(const std::string &why, uint32_t now);
  // Puts the volatile state in its power-up form; derived constructors call it.
  void PowerUp();
  void Log(const std::string &text) const;
  std::string UserEntry(int slot) const;  // 4 bytes of the connected-users answer

  mutable std::recursive_mutex FLock;
  TSimConfig FConfig;
  TSimFaults FFaults;
  TSimPersistent FState;
  uint32_t FActiveIp = 0;

 private:
  TSimAnswer Dispatch(const std::string &cmd, uint8_t user, std::string &note);
  // Single-byte and short classic commands: true when the device knows them.
  static bool IsClassicCommand(const std::string &cmd, std::string &note);
  // Extended commands both families treat alike (tools mode, login, resets);
  // `handled` tells whether `cmd` was one of them. `cmd` holds at least 2 bytes.
  TSimAnswer CommonExtended(const std::string &cmd, std::string &note, bool &handled);
  void RunTimers(uint32_t now);
  void Record(const std::string &bytes, uint8_t user, bool accepted, const std::string &note);

  TSimSink FSink;
  TSimEventHandler FEventHandler;
  bool FSilent = false;
  uint32_t FSilentSince = 0;
  bool FRestartPending = false;
  uint32_t FRestartAt = 0;
  std::array<TSimUserKind, 4> FUserKinds{};
  std::array<uint32_t, 4> FUserIps{};
  mutable std::mutex FLogLock;
  std::deque<TSimCommandRecord> FCommandLog;
  size_t FCommandLogLimit = DefaultCommandLogLimit;
};

// Creates the model for the configured family.
std::unique_ptr<TSimDevice> CreateSimDevice(const TSimConfig &config);

}  // namespace zor
