#include "foundation/Zor_CommonTypes.h"

#include <array>

namespace zor {

std::string DeviceTypeToText(unsigned type) {
  static constexpr std::array<const char *, 13> names = {
      "Zor_Serial",  "Zor_HID",        "Zor_CDC",         "Zor_Remote", "Zor_BinFile",
      "Zor_TxtFile", "Zor_RawFile",    "Zor_CAN_Dev",     "Zor_TCP_Device",
      "Zor_TCP_Archive", "Zor_Simul",  "Zor_FPGAUSB",     "Zor_FPGANet"};
  return type < names.size() ? names[type] : std::to_string(type);
}

void PeerTypeToText(unsigned type, std::string &text) {
  static constexpr std::array<const char *, 3> names = {"unknown", "Coldfire", "ESP"};
  if (type < names.size()) text = names[type];
}

std::string PeerTypeToText(unsigned type) {
  std::string text;
  PeerTypeToText(type, text);
  return text;
}

void FPGATypeToText(unsigned type, std::string &text) {
  static constexpr std::array<const char *, 3> names = {"unknown", "Altera", "MicroSemi"};
  if (type < names.size()) text = names[type];
}

std::string FPGATypeToText(unsigned type) {
  std::string text;
  FPGATypeToText(type, text);
  return text;
}

std::string StartStateToText(unsigned state) {
  static constexpr std::array<const char *, 3> names = {"unknown", "ColdStart", "WarmStart"};
  return state < names.size() ? names[state] : "";
}

std::string CmdResponseTypeToText(unsigned kind) {
  static constexpr std::array<const char *, 8> names = {"none",    "interval",   "mode",  "scrambler",
                                                        "channel", "PhaseReset", "Login", "readNVS"};
  return kind < names.size() ? names[kind] : "unknown " + std::to_string(kind);
}

}  // namespace zor
