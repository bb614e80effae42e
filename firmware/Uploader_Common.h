// What the update engine shares with its front ends: the integer result codes
// of every engine action with their texts, and the message and progress
// callbacks through which the engine reports each step.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zor {

// Result of an engine action. Separate from TZor_Result: these are what the
// window, the command line and scripts see. Values are fixed.
enum TFwResult : int {
  fwr_NoError = 0,
  fwr_Canceled = 1,
  fwr_FlashUnchanged = 2,
  fwr_FileNotFound = -1,
  fwr_OpenError = -2,
  fwr_WriteError = -3,
  fwr_FormatError = -4,
  fwr_ReadError = -5,
  fwr_ProgrammingFailed = -6,
  fwr_DownloadFailed = -7,
  fwr_InvalidParameter = -8,
  fwr_DeviceMissing = -9,
  fwr_Timeout = -10,
  fwr_NoConnection = -11,
  fwr_CommandDenied = -12,
  fwr_NetworkNotSupported = -13,
  fwr_NotBootloaderFile = -14,
  fwr_NotFirmwareFile = -15,
  fwr_NoReset = -16,
  fwr_TooManyUser = -17,
  fwr_RePowerNeeded = -18,
  fwr_ReferenceClockError = -19,
  fwr_HardwareFault = -20,
  fwr_VerifyFailed = -21,
  fwr_NotEspImage = -22,
};

inline constexpr int fwr_LowestCode = fwr_NotEspImage;

// Text of a result code; codes without a text give "Unknown: " + the number.
std::string ErrorText(int code);

// Level of a message line.
enum TMessageType : uint8_t { mtInfo = 0, mtOk, mtErr, mtErrInfo, mtWarning };

// "Info", "Ok", "Error", "ErrorInfo", "Warning"; any other value as its number.
std::string MessageTypeToText(TMessageType mType);

enum TProgressType : uint8_t { tpt_SetMax = 0, tpt_SetPosition, tpt_StepBy };

// Callbacks of the engine; `sender` is the engine itself. `unitText` of a
// progress call is empty, "bytes" or "seconds".
using TNotifyMessage = std::function<void(void *sender, const std::string &text, TMessageType mType)>;
using TNotifyProgress =
    std::function<void(void *sender, TProgressType progressType, int64_t value, const std::string &unitText)>;

// The device password both front ends take: up to 8 hexadecimal digits;
// nothing when the text is not one.
std::optional<uint32_t> ParsePassword(const std::string &text);
// The 8-byte login value of a password: the password XOR the login key mixed
// with a fresh random number, so it differs on every call.
std::string MakeLoginText(uint32_t password);

}  // namespace zor
