// Small shared enumerations with their display texts.
#pragma once

#include <cstdint>
#include <string>

namespace zor {

// Transport kind of a device object; ordinals are compared as ranges.
enum TZor_DeviceType : uint8_t {
  Zor_Serial = 0,
  Zor_HID,
  Zor_CDC,
  Zor_Remote,
  Zor_BinFile,
  Zor_TxtFile,
  Zor_RawFile,
  Zor_CAN_Dev,
  Zor_TCP_Device,
  Zor_TCP_Archive,
  Zor_Simul,
  Zor_FPGAUSB,
  Zor_FPGANet,
};

// Controller family running the device firmware.
enum TZor_PeerType : uint8_t { ptUnknown = 0, ptColdfire, ptESP };

// Vendor of the device FPGA.
enum TZor_FPGAType : uint8_t { ft_unknown = 0, ft_Altera, ft_MicroSemi };

enum TZor_DeviceStartState : uint8_t { ds_unknown = 0, ds_ColdStart, ds_WarmStart };

// Which response a device object waits for after sending a command.
enum TCmdResponseType : uint8_t {
  crt_none = 0,
  crt_interval,
  crt_mode,
  crt_scrambler,
  crt_channel,
  crt_phaseReset,
  crt_login,
  crt_ReadNVS,
};

std::string DeviceTypeToText(unsigned type);
// The two functions below leave `text` as it was for an unknown value.
void PeerTypeToText(unsigned type, std::string &text);
std::string PeerTypeToText(unsigned type);
void FPGATypeToText(unsigned type, std::string &text);
std::string FPGATypeToText(unsigned type);
std::string StartStateToText(unsigned state);
std::string CmdResponseTypeToText(unsigned kind);

}  // namespace zor
