// Builders of the extended command strings (0x85, code, payload) that the
// tool sends to ColdFire and ESP devices. Addresses, offsets and sizes go out
// as 4-byte big-endian numbers, NVS integers least significant byte first.
#pragma once

#include <cstdint>
#include <string>

namespace zor {

// Sub-code of the status request that asks for the connected users (16-byte answer).
inline constexpr uint8_t StatusConnectedUsers = 0x01;
// NVS integer that holds the hardware feature word.
inline constexpr uint8_t NVSItemHardFeature = 5;

// Single-byte version command.
std::string CmdVersion();

// Tool connections.
std::string CmdEnterTools();                          // 0x85 0x10
std::string CmdLeaveTools();                          // 0x85 0x11
std::string CmdLogin(const std::string &loginValue);  // 0x85 0x12 + value

// Device memory and configuration (ColdFire).
std::string CmdWriteMemory(uint32_t address, const std::string &data);  // 0x85 0x20
std::string CmdWriteConfigRecord(const std::string &record);            // 0x85 '"'
std::string CmdWriteFRAM(uint32_t address, const std::string &data);    // 0x85 '#'
std::string CmdReadMemory(uint32_t address, uint8_t count);             // 0x85 0x40
std::string CmdStatusRequest(uint8_t subCode);                          // 0x85 'B'

// Non-volatile storage (ESP).
std::string CmdClearNVS();                                          // 0x85 '$'
std::string CmdWriteNVSBlock(uint8_t n, const std::string &data);   // 0x85 '%' 'b'
std::string CmdWriteNVSInteger(uint8_t n, uint32_t value);          // 0x85 '%' 'i'
std::string CmdWriteNVSString(uint8_t n, const std::string &text);  // 0x85 '%' 's'
std::string CmdReadNVSBlock(uint8_t n);                             // 0x85 'E' 'b'
std::string CmdReadNVSInteger(uint8_t n);                           // 0x85 'E' 'i'
std::string CmdReadNVSString(uint8_t n);                            // 0x85 'E' 's'

// Firmware.
std::string CmdStoreImagePiece(uint32_t offset, const std::string &piece);  // 0x85 '&'
std::string CmdDecryptImage(uint32_t size);                                 // 0x85 0x27
std::string CmdStartProgramming();                                          // 0x85 '0' (ColdFire)
std::string CmdStartProgramming(uint32_t size);                             // 0x85 '0' (ESP)
std::string CmdFactoryPartition();                                          // 0x85 '1'
// Runs the loaded code (ColdFire) or switches to the update partition (ESP).
std::string CmdRun();  // 0x85 '2'

// Device control.
std::string CmdReset();      // 0x85 'P'
std::string CmdResetBoth();  // 0x85 'Q'
std::string CmdStop();       // 0x85 0x60

// Resuming a ColdFire data stream after a broken link.
std::string CmdResumeFromSeconds(uint32_t seconds);  // 0x85 'r', seconds mod 256
std::string CmdResumeFromAddress(uint32_t address);  // 0x85 's' (firmware below 64)
// 0x85 't'..'w' for user slots 1 to 4; any other slot resumes as slot 1.
std::string CmdResumeUser(uint8_t slot, uint32_t address);
// Switches a multi-user USB link to user slot 1 to 4: 0x85 (0x27 + slot).
std::string CmdSwitchUser(uint8_t slot);

}  // namespace zor
