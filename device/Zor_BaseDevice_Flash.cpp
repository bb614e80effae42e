// Stored data of a device: the polled read of the ColdFire configuration
// block, the calibration table and the FHR table (text and wire forms, and the
// slice-by-slice read driven by the 0x7902 reports).
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "device/Zor_BaseDevice.h"
#include "device/Zor_ColdfireAddresses.h"
#include "device/Zor_ColdfireCommands.h"
#include "device/Zor_Commands.h"
#include "foundation/CircularBuffer.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

constexpr uint32_t cCalibAddress = 0x7E000;  // calibration table, FHR slice k at + 128 k
constexpr size_t cSliceSize = 128;
constexpr size_t cChannelsPerSlice = 6;
constexpr size_t cChannelWireSize = 17;  // A, B (little-endian doubles), E
constexpr int cFHRSlices = 4;
constexpr uint32_t cFlashWaitMs = 1000;
constexpr size_t cSerialNumberPos = 48;  // bytes 49 to 52, big-endian

// Text to double in the given locale: the text's own decimal separator is
// normalised first, as users type either form. Throws std::invalid_argument
// with the message the user sees.
double TextToFloat(const std::string &item, const TZor_FormatSettings &format) {
  std::string text = TrimText(NormalizeDecimalSeparator(item, format.DecimalSeparator));
  // from_chars reads '.' only; the locale's separator has been made the only one.
  std::string plain = text;
  for (char &c : plain)
    if (c == format.DecimalSeparator) c = '.';
  double value = 0;
  const char *first = plain.data();
  const char *last = plain.data() + plain.size();
  if (first != last && *first == '+') ++first;
  auto [ptr, ec] = std::from_chars(first, last, value);
  if (plain.empty() || ec != std::errc() || ptr != last || !std::isfinite(value))
    throw std::invalid_argument("'" + text + "' is not a valid floating point value");
  return value;
}

std::string FloatToText(double value, const TZor_FormatSettings &format) {
  if (value == 0) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.12f", value);
  std::string text = buf;
  for (char &c : text)
    if (c == '.') c = format.DecimalSeparator;
  return text;
}

void ResetTable(TFHRSettings &table) {
  for (TFHRChannel &ch : table.FHRChannels) ch = TFHRChannel();
  table.FHRChannelCount = 0;
  table.ErrorStr.clear();
}

void RecomputeTable(TFHRSettings &table) {
  table.FHRChannelCount = 0;
  for (TFHRChannel &ch : table.FHRChannels) {
    ch.R = (ch.A != 0 && ch.B != 0) ? 10000000.0L / (static_cast<long double>(ch.A) - ch.B) : 1.0L;
    if (ch.E) ++table.FHRChannelCount;
  }
}

std::string TableToText(const TFHRSettings &table) {
  std::string text;
  for (size_t i = 0; i < table.FHRChannels.size(); ++i) {
    const TFHRChannel &ch = table.FHRChannels[i];
    if (i) text += '/';
    text += FloatToText(ch.A, table.FormatSettings) + ';' + FloatToText(ch.B, table.FormatSettings) + ';' +
            (ch.E ? '1' : '0');
  }
  return text;
}

// Reads the text form into `table` (which keeps its format settings); false
// with ErrorStr set when the text is refused.
bool TextToTable(const std::string &text, TFHRSettings &table) {
  ResetTable(table);
  std::vector<std::string> channels = SplitText(text, "/");
  for (size_t i = 0; i < channels.size() && i < table.FHRChannels.size(); ++i) {
    std::vector<std::string> parts = SplitText(channels[i], ";");
    if (parts.size() < 3) {
      table.ErrorStr = "Format error";
      return false;
    }
    TFHRChannel &ch = table.FHRChannels[i];
    try {
      ch.A = TextToFloat(parts[0], table.FormatSettings);
      ch.B = TextToFloat(parts[1], table.FormatSettings);
    } catch (const std::exception &e) {
      table.ErrorStr = e.what();
      return false;
    }
    // A channel without both values cannot be measured, whatever its flag says.
    ch.E = ch.A != 0 && ch.B != 0 && TrimText(parts[2]) != "0";
  }
  RecomputeTable(table);
  return true;
}

void PutDoubleLE(std::string &out, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 8; ++i) out += static_cast<char>((bits >> (8 * i)) & 0xFF);
}

double GetDoubleLE(const std::string &in, size_t pos) {
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | static_cast<uint8_t>(in[pos + i]);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Slice k (1 to 4) of the wire form: its number, channels 6(k-1)+1 to 6k, zero padding.
std::string BuildSlice(const TFHRSettings &table, int k) {
  std::string slice(1, static_cast<char>(k));
  for (size_t c = 0; c < cChannelsPerSlice; ++c) {
    const TFHRChannel &ch = table.FHRChannels[(k - 1) * cChannelsPerSlice + c];
    PutDoubleLE(slice, ch.A);
    PutDoubleLE(slice, ch.B);
    slice += static_cast<char>(ch.E ? 1 : 0);
  }
  slice.resize(cSliceSize, '\0');
  return slice;
}

// Stores the complete channels present in a received slice (at most 103 bytes count).
void StoreSlice(TFHRSettings &table, const std::string &bytes, int k) {
  const size_t usable = std::min(bytes.size(), 1 + cChannelsPerSlice * cChannelWireSize);
  for (size_t c = 0; c < cChannelsPerSlice; ++c) {
    const size_t pos = 1 + c * cChannelWireSize;
    if (pos + cChannelWireSize > usable) break;
    TFHRChannel &ch = table.FHRChannels[(k - 1) * cChannelsPerSlice + c];
    ch.A = GetDoubleLE(bytes, pos);
    ch.B = GetDoubleLE(bytes, pos + 8);
    ch.E = bytes[pos + 16] != 0;
  }
}

// The raw form of a 0x7902 payload: " " + 8 hex digits per 4-byte group.
std::string GroupedHex(const std::string &bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 4) text += ' ' + BytesToHex(bytes.substr(i, 4));
  return text;
}

// Calibration value on the wire: scaled, rounded half to even.
double ScaleCalib(double value, int32_t factor) { return std::nearbyint(value * factor); }

bool FitsInt32(double value) {
  return value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max();
}

}  // namespace

// ---- configuration block ------------------------------------------------------

void TZor_BaseDevice::ReadFlash() {
  const std::string head = "TZor_BaseDevice.ReadFlash";
  if (FDevType != Zor_CDC && FDevType != Zor_Remote) {
    LogErr(FLogId, head + " not supported for device type " + DeviceTypeToText(FDevType));
    return;
  }
  if (FPeerType != ptColdfire) {
    LogErr(FLogId, head + " not supported for peer type " + PeerTypeToText(FPeerType));
    return;
  }
  if (FFirmwareVersionNumber <= 18) {
    LogErr(FLogId, head + " not supported FirmwareVersion=" + std::to_string(FFirmwareVersionNumber));
    return;
  }
  LogText(FLogId, head + " status=" + std::to_string(FStatusReadFlash));
  const uint32_t blockSize = CF_ConfigBlockNetSize;
  bool again = true;
  while (again) {
    again = false;
    switch (FStatusReadFlash) {
      case 0: {
        FToolsBuffer->Clear();
        FToolsBuffer->GetBufferCleared();  // a cleared ring delivers nothing until the flag is read
        FSerialNumberRead = false;
        FFlashVariables.clear();
        FReadFlashBlockSize = static_cast<uint8_t>(blockSize);
        const std::string cmd = CmdReadMemory(CF_ConfigBlockAddress, static_cast<uint8_t>(blockSize));
        FStatusReadFlash = 1;
        FTickReadFlash = platform::GetTicks();
        LogText(FLogId, "{" + BytesToHex(cmd) + "}");
        if (!DeviceWrite(cmd)) {
          FStatusReadFlash = 0;
          LogErr(FLogId, head + " Block1 failed: ErrorCode=" + ResultToText(GetErrorCode()));
        }
        break;
      }
      case 1: {
        const uint32_t amount = FToolsBuffer->GetAmount();
        if (amount < blockSize) {
          if (amount > 0) {
            LogText(FLogId, head + " failed Amount=" + std::to_string(amount) +
                                ", requested=" + std::to_string(FReadFlashBlockSize));
            FStatusReadFlash = 0;
          } else {
            LogText(FLogId, head + " start wait Amount=0");
            FStatusReadFlash = 2;
          }
          break;
        }
        std::string block;
        for (uint32_t n = 0; n + blockSize <= amount; n += blockSize) ToolsReadAnsi(blockSize, block);
        FStatusReadFlash = 3;
        LogText(FLogId, head + " ToolsBuffer=" + BytesToHex(block));
        FFlashVariables = block;
        const uint32_t serial = BigEndianTextToInt32(block, cSerialNumberPos).value_or(0xFFFFFFFF);
        LogText(FLogId, head + " SerialNumberValue=" + IntToHex(serial, 8));
        SetSerialNumberValue(serial);
        FSerialNumberRead = true;
        break;
      }
      case 2: {
        LogText(FLogId, head + " wait for Amount=" + std::to_string(FReadFlashBlockSize));
        const uint32_t amount = FToolsBuffer->GetAmount();
        if (amount >= blockSize) {
          FStatusReadFlash = 1;
          again = true;
        } else if (platform::TicksSince(FTickReadFlash) >= cFlashWaitMs) {
          LogErr(FLogId, head + " wait Failed Amount=" + std::to_string(amount) +
                             ", requested=" + std::to_string(FReadFlashBlockSize));
          FStatusReadFlash = 0;
        } else {
          LogErr(FLogId, head + " wait again, Amount=" + std::to_string(amount));
        }
        break;
      }
      default: break;
    }
  }
  LogText(FLogId, head + " END status=" + std::to_string(FStatusReadFlash));
}

// ---- calibration table ----------------------------------------------------------

bool TZor_BaseDevice::SetCalibrationDataString(const std::string &text) {
  const std::string head = "TZor_BaseDevice.SetCalibrationDataString";
  LogText(FLogId, head + ": " + text);
  std::array<double, FHRChannelMax> values{};
  std::vector<std::string> items = SplitText(text, ";");
  for (size_t i = 0; i < items.size(); ++i) {
    if (i >= values.size()) {
      LogErr(FLogId, head + " invalid index: " + std::to_string(i + 1));
      return false;
    }
    try {
      values[i] = TextToFloat(items[i], FFormatSettings);
    } catch (const std::exception &) {
      LogErr(FLogId, head + " not a float: " + items[i]);
      return false;
    }
    if (!FitsInt32(ScaleCalib(values[i], FCalibFactorFloatToInt))) {
      LogErr(FLogId, head + " out of range: " + items[i]);
      return false;
    }
  }
  if (FPeerType != ptColdfire && FPeerType != ptESP) return false;
  SetCalibrationData(values);
  return true;
}

void TZor_BaseDevice::SetCalibrationData(const std::array<double, FHRChannelMax> &values) {
  LogText(FLogId, "TZor_BaseDevice.SetCalibrationData");
  std::string table;
  for (double v : values)
    table += IntToBigEndianText32(
        static_cast<uint32_t>(static_cast<int32_t>(ScaleCalib(v, FCalibFactorFloatToInt))));
  std::string cmd;
  if (FPeerType == ptColdfire)
    cmd = CmdWriteFRAM(cCalibAddress, table);
  else if (FPeerType == ptESP)
    cmd = CmdWriteNVSBlock(0, table + std::string(cSliceSize - table.size(), '\0'));
  else
    return;
  if (!DeviceWrite(cmd)) LogErr(FLogId, "TZor_BaseDevice.SetCalibrationData failed cmd=" + BytesToHex(cmd));
}

// ---- FHR table ------------------------------------------------------------------

bool TZor_BaseDevice::SetFHRDataString(const std::string &text) {
  LogText(FLogId, "TZor_BaseDevice.SetFHRDataString " + text);
  TFHRSettings table;
  table.FormatSettings = FFormatSettings;
  if (!TextToTable(text, table)) {
    LogErr(FLogId, "TZor_BaseDevice.SetFHRDataString failed " + table.ErrorStr);
    return false;
  }
  SetFHRData(table);
  return true;
}

void TZor_BaseDevice::SetFHRData(const TFHRSettings &table) {
  for (int k = 1; k <= cFHRSlices; ++k) {
    const std::string slice = BuildSlice(table, k);
    const std::string cmd = FPeerType == ptColdfire ? CmdWriteFRAM(cCalibAddress + cSliceSize * k, slice)
                                                    : CmdWriteNVSBlock(static_cast<uint8_t>(k), slice);
    if (!DeviceWrite(cmd)) {
      LogErr(FLogId, "TZor_BaseDevice.SetFHRData failed cmd=" + BytesToHex(cmd));
      return;
    }
  }
}

void TZor_BaseDevice::Check7902Report(const std::string &bytes, std::string &text) {
  const std::string head = "TZor_BaseDevice.Check7902Report";
  LogText(FLogId, head + " " + BytesToHex(bytes));
  TFHRSettings &table = FFHRReadSettings;
  table.FormatSettings = FFormatSettings;
  auto forgetRead = [this] {
    FFHRReadCount = 0;
    FFHRReadCountLast = -1;
    FFHRSender = nullptr;
  };
  const int b = bytes.empty() ? -1 : static_cast<uint8_t>(bytes[0]);
  text.clear();
  if (b == 255) {
    if ((FHardFeature & 0x4000) != 0) {
      // This device answers "no table" while its table is still being read: ask again.
      if (FFHRSender) {
        LogText(FLogId, head + " repeat read " + std::to_string(FFHRReadCount));
        SetDelayNextCmdMs(0);
        ReadFHRData(FFHRSender);
      }
      return;
    }
    ResetTable(table);
    RecomputeTable(table);
    text = "7902; " + TableToText(table);
    forgetRead();
    LogText(FLogId, head + " empty Flash Result=" + text);
    SetDelayNextCmdMs(0);
  } else if (b >= 1 && b <= cFHRSlices) {
    LogText(FLogId, head + " slice=" + std::to_string(b));
    SetDelayNextCmdMs(0);
    if (b == 1) ResetTable(table);
    StoreSlice(table, bytes, b);
    if (b == cFHRSlices) {
      RecomputeTable(table);
      text = "7902; " + TableToText(table);
      forgetRead();
      LogText(FLogId, head + " Result=" + text);
    } else if (FFHRSender) {
      FFHRReadCount = b;
      LogText(FLogId, head + " next read " + std::to_string(b));
      ReadFHRData(FFHRSender);
    }
  } else {
    if (bytes.size() <= 1 || bytes.find_first_not_of('\0', 1) == std::string::npos) {
      ResetTable(table);
      RecomputeTable(table);
      text = "7902; " + TableToText(table);
      forgetRead();
      LogText(FLogId, head + " empty FRAM Result=" + text);
    } else {
      text = "7902;" + GroupedHex(bytes);
      LogText(FLogId, head + " Result=" + text);
    }
    SetDelayNextCmdMs(0);
  }
}

}  // namespace zor
