// The device's command vocabulary: classification of command strings, the
// answer an ESP device gives to a command, the pauses a device needs after a
// command, the checker TZor_CommandInterpreter, and the command queue through
// which the report processor interleaves commands with reading reports.
//
// A command is a byte text (std::string of bytes 0-255) sent unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>

#include "foundation/Zor_CommonTypes.h"
#include "foundation/Zor_DllCommon.h"

namespace zor {

class TZor_BaseDevice;

// Measurement intervals in ms, selected by the low 4 bits of a rate.
inline constexpr std::array<uint32_t, 14> IntervalTableMs = {1,   2,   5,    10,   20,   50,    100,
                                                             200, 500, 1000, 2000, 5000, 10000, 20000};

// Extended commands start with this byte, followed by a command code.
inline constexpr uint8_t ExtendedCmd = 0x85;

// Setting commands an ESP device acknowledges with a 0x7020 report: one byte
// whose low 7 bits are 0x0A, 0x20-0x2F or 0x40-0x5F.
bool Is7020Cmd(const std::string &cmd);
// One byte with low 7 bits 0x30-0x3B, or two bytes starting with (low 7 bits) 0x3F.
bool IsChannelCmd(const std::string &cmd);
// 0x85 'E' ...: read NVS item or block.
bool IsReadNVSCmd(const std::string &cmd);
// The version command 0x01 (0x81 with buffer clearing).
bool IsVersionCmd(const std::string &cmd);
// The command makes the device clear its data buffer and restart its stream:
// first byte with bit 7 set, except the extended command byte 0x85 and the
// registration bytes 0xBC-0xBF.
bool IsBufferClearingCmd(const std::string &cmd);

// The answer an ESP device sends to `cmd`, crt_none when it sends none.
// `scramblerRefused`: the last binary report header is known and has both
// bits 0x30 set, so the device will not acknowledge a scrambler command.
TCmdResponseType CmdResponseFor(const std::string &cmd, bool scramblerRefused = false);

// Pause a device needs after `cmd` before the next command, with the end of
// the log line that explains it; Ms 0 = none.
struct TZor_CommandPause {
  uint32_t Ms = 0;
  const char *Reason = "";
};
// `espOverUsb`: ESP devices on USB also need short pauses after every command.
TZor_CommandPause CommandPauseFor(const std::string &cmd, bool espOverUsb);

// Checks a command string against the device's vocabulary and records what it
// asks for. Flag getters return their flag and clear it: a command is consumed once.
class TZor_CommandInterpreter {
 public:
  explicit TZor_CommandInterpreter(int logId) : FLogId(logId) {}

  // False (with ErrorCode Zor_CmdIgnored and ErrorMessage) for an empty,
  // unknown, unsupported or malformed command; flags stay untouched then.
  bool CheckCommand(const std::string &cmd);

  bool ChannelCountCmd() { return Take(FChannelCountCmd); }
  bool ClearBuffer() { return Take(FClearBuffer); }
  bool GetCalibCmd() { return Take(FGetCalibCmd); }
  bool GetFHRCmd() { return Take(FGetFHRCmd); }
  bool IntervalCmd() { return Take(FIntervalCmd); }
  bool ModeCmd() { return Take(FModeCmd); }
  bool ResetPhaseDiffCmd() { return Take(FResetPhaseDiffCmd); }
  bool ReSyncCmd() { return Take(FReSyncCmd); }
  bool ScramblerCmd() { return Take(FScramblerCmd); }
  bool SetDACCmd() { return Take(FSetDACCmd); }
  bool VersionCmd() { return Take(FVersionCmd); }
  bool WriteFRAMCmd() { return Take(FWriteFRAMCmd); }

  int GetChannelCount() const { return FChannelCount; }
  uint32_t GetDAC() const { return FDAC; }
  TZor_Result GetErrorCode() const { return FErrorCode; }
  const std::string &GetErrorMessage() const { return FErrorMessage; }
  int GetFHRBlock() const { return FFHRBlock; }
  uint16_t GetFRAMAdr() const { return FFRAMAdr; }
  const std::string &GetFRAMContent() const { return FFRAMContent; }
  int GetMode() const { return FMode; }
  void SetMode(int value) { FMode = value; }
  uint32_t GetInterval() const { return FInterval; }
  int GetRate() const { return FRate; }
  int GetScrambler() const { return FScrambler; }

 private:
  static bool Take(bool &flag) {
    bool was = flag;
    flag = false;
    return was;
  }
  const char *CheckSingleByte(uint8_t cmd);
  bool CheckMultiByte(const std::string &cmd);
  bool CheckWriteFRAM(const std::string &cmd);
  bool Fail(const char *what, const std::string &cmd);

  int FLogId;
  TZor_Result FErrorCode = Zor_No_Err;
  std::string FErrorMessage;
  int FChannelCount = 0;
  uint32_t FDAC = 0;
  int FFHRBlock = 0;
  uint16_t FFRAMAdr = 0;
  std::string FFRAMContent;
  int FMode = 0;
  uint32_t FInterval = 0;
  int FRate = 0;
  int FScrambler = 0;
  bool FChannelCountCmd = false;
  bool FClearBuffer = false;
  bool FGetCalibCmd = false;
  bool FGetFHRCmd = false;
  bool FIntervalCmd = false;
  bool FModeCmd = false;
  bool FResetPhaseDiffCmd = false;
  bool FReSyncCmd = false;
  bool FScramblerCmd = false;
  bool FSetDACCmd = false;
  bool FVersionCmd = false;
  bool FWriteFRAMCmd = false;
};

// rxCommand: the next processing step sends a command; rxData: it reads reports.
enum TReadModes : uint8_t { rxCommand = 0, rxData };

// The command side of the report processor. TZor_ReportDevice derives from it:
// callers queue commands with SendCommand; the report loop, after each report
// (or after finding none complete), calls ScheduleCommandStep, and when
// FRxMode is rxCommand runs BaseProcessCommand instead of reading. So at most
// one command goes out between two report reads, a command never overtakes
// an earlier one, and commands wait while the device pauses or a response is
// awaited. Runs on the caller's thread only.
class TZor_CommandQueue {
 public:
  // `device` is not owned and must outlive the queue.
  explicit TZor_CommandQueue(TZor_BaseDevice &device);
  virtual ~TZor_CommandQueue() = default;
  TZor_CommandQueue(const TZor_CommandQueue &) = delete;
  TZor_CommandQueue &operator=(const TZor_CommandQueue &) = delete;

  // Sends `cmd` at once when nothing holds it back, otherwise queues it.
  TZor_Result SendCommand(const std::string &cmd);
  // The command step: sends the oldest waiting command unless a pause runs or
  // a response is awaited; FRxMode returns to rxData in every case.
  TZor_Result BaseProcessCommand(std::string &errorText);
  // Takes the device's error state (and clears it): Zor_No_Err when none.
  TZor_Result CheckDeviceError(std::string &text);
  // Waiting commands here and in the transport.
  uint32_t GetPendingCmdsCount() const;

  // After a report or an empty read: switch to rxCommand if commands wait.
  void ScheduleCommandStep() {
    if (!FCmdList.empty()) FRxMode = rxCommand;
  }
  TReadModes GetRxMode() const { return FRxMode; }
  bool GetVersionReceived() const { return FVersionReceived; }
  TZor_BaseDevice &GetDevice() const { return *FDevice; }
  const std::string &GetDbgTag() const { return FDbgTag; }

 protected:
  void AddToCmdList(const std::string &cmd, const std::string &logText);

  std::string FDbgTag;  // "TZor_ReportDevice[" + MultiId + "]"
  int FLogId;
  std::deque<std::string> FCmdList;  // oldest first
  TZor_BaseDevice *FDevice;
  bool FIgnoreNextFormatError = false;
  TReadModes FRxMode = rxData;
  bool FVersionReceived = false;
};

}  // namespace zor
