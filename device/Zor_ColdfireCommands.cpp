#include "device/Zor_ColdfireCommands.h"

#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

std::string Extended(char code, const std::string &payload = std::string()) {
  std::string cmd("\x85", 1);
  cmd += code;
  return cmd + payload;
}

std::string Byte(uint8_t value) { return std::string(1, static_cast<char>(value)); }

std::string LittleEndian32(uint32_t value) {
  std::string text;
  for (int i = 0; i < 4; ++i) text += static_cast<char>((value >> (8 * i)) & 0xFF);
  return text;
}

}  // namespace

std::string CmdVersion() { return "\x01"; }

std::string CmdEnterTools() { return Extended(0x10); }
std::string CmdLeaveTools() { return Extended(0x11); }
std::string CmdLogin(const std::string &loginValue) { return Extended(0x12, loginValue); }

std::string CmdWriteMemory(uint32_t address, const std::string &data) {
  return Extended(0x20, IntToBigEndianText32(address) + data);
}
std::string CmdWriteConfigRecord(const std::string &record) { return Extended('"', record); }
std::string CmdWriteFRAM(uint32_t address, const std::string &data) {
  return Extended('#', IntToBigEndianText32(address) + data);
}
std::string CmdReadMemory(uint32_t address, uint8_t count) {
  return Extended(0x40, IntToBigEndianText32(address) + Byte(count));
}
std::string CmdStatusRequest(uint8_t subCode) { return Extended('B', Byte(subCode)); }

std::string CmdClearNVS() { return Extended('$'); }
std::string CmdWriteNVSBlock(uint8_t n, const std::string &data) {
  return Extended('%', "b" + Byte(n) + data);
}
std::string CmdWriteNVSInteger(uint8_t n, uint32_t value) {
  return Extended('%', "i" + Byte(n) + LittleEndian32(value));
}
std::string CmdWriteNVSString(uint8_t n, const std::string &text) {
  return Extended('%', "s" + Byte(n) + text);
}
std::string CmdReadNVSBlock(uint8_t n) { return Extended('E', "b" + Byte(n)); }
std::string CmdReadNVSInteger(uint8_t n) { return Extended('E', "i" + Byte(n)); }
std::string CmdReadNVSString(uint8_t n) { return Extended('E', "s" + Byte(n)); }

std::string CmdStoreImagePiece(uint32_t offset, const std::string &piece) {
  return Extended('&', IntToBigEndianText32(offset) + piece);
}
std::string CmdDecryptImage(uint32_t size) { return Extended(0x27, IntToBigEndianText32(size)); }
std::string CmdStartProgramming() { return Extended('0'); }
std::string CmdStartProgramming(uint32_t size) { return Extended('0', IntToBigEndianText32(size)); }
std::string CmdFactoryPartition() { return Extended('1'); }
std::string CmdRun() { return Extended('2'); }

std::string CmdReset() { return Extended('P'); }
std::string CmdResetBoth() { return Extended('Q'); }
std::string CmdStop() { return Extended(0x60); }

std::string CmdResumeFromSeconds(uint32_t seconds) { return Extended('r', Byte(seconds & 0xFF)); }
std::string CmdResumeFromAddress(uint32_t address) { return Extended('s', IntToBigEndianText32(address)); }
std::string CmdResumeUser(uint8_t slot, uint32_t address) {
  char code = slot >= 1 && slot <= 4 ? static_cast<char>('t' + slot - 1) : 't';
  return Extended(code, IntToBigEndianText32(address));
}
std::string CmdSwitchUser(uint8_t slot) { return Extended(static_cast<char>(0x27 + slot)); }

}  // namespace zor
