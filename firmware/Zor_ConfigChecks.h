// Checks of the configuration values a user types in, shared by the window and
// the command line. Each Apply... function checks one input and, when it is
// valid, stores it in the record and marks the item changed; otherwise it
// returns the message to show and leaves the record alone. An empty returned
// text means success. Several messages are joined with ", ".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "firmware/Zor_FlashVariables.h"

namespace zor {

// List captions the front ends show; the index is the stored code.
extern const std::array<const char *, 6> ReportModeTexts;
extern const std::array<const char *, 14> ReportIntervalTexts;
extern const std::array<const char *, 14> PPIIntervalTexts;
extern const std::array<const char *, 3> RefErrorTexts;

inline constexpr size_t MaxNickNameLength = 40;
inline constexpr size_t MaxHostNameLength = 40;
inline constexpr uint32_t MaxPPIoffset = 19999;  // exclusive

// --- plain number checks ---
// Up to 8 hexadecimal digits.
std::optional<uint32_t> ParseHex32(const std::string &text);
// Decimal digits only, value within 32 bits.
std::optional<uint32_t> ParseDecimal32(const std::string &text);

// Length in milliseconds of a PPI interval index; "no PPI" counts as 1 so that
// only offset 0 fits it. 0 for an index that does not exist.
uint32_t PPIIntervalLengthMs(uint8_t index);

// --- start-up measurement setting (bits 24..31 of the ESP feature word) ---
struct TZor_StartSetting {
  bool UserDefined = false;  // false: the device's default
  uint8_t Mode = 0;          // index into ReportModeTexts
  uint8_t Interval = 0;      // index into ReportIntervalTexts
};
// mode * 16 + interval; (0, 0) is stored as 127 because 0 means "default".
// nullopt for a mode or interval that does not exist.
std::optional<uint8_t> StartSettingCode(uint8_t mode, uint8_t interval);
// The setting a stored code stands for; nullopt for a code no list can show.
std::optional<TZor_StartSetting> DecodeStartSetting(uint8_t code);

// --- checks that fill the record ---
enum TZor_AddressItem : uint8_t { adr_IPAddress, adr_Subnetmask, adr_Gateway };

std::string ApplyAddress(TZor_FlashVariables &record, TZor_AddressItem item, const std::string &text);
// The identifier without its extended-format bit, then bit 31 from `extended`.
std::string ApplyCANID(TZor_FlashVariables &record, bool transmit, const std::string &text, bool extended);
// ColdFire nick name: at most 40 characters, none of "," "." ":".
std::string ApplyNickName(TZor_FlashVariables &record, const std::string &text);
// ESP host name: 1 to 40 of a..z, A..Z, 0..9, "-".
std::string ApplyHostName(TZor_FlashVariables &record, const std::string &text);
// ESP static address (true) or DHCP.
void ApplyStaticIP(TZor_FlashVariables &record, bool isStatic);
// ESP serial baud rate, a multiple of 100.
std::string ApplyBaudRate(TZor_FlashVariables &record, const std::string &text);
// ESP start-up setting; `userDefined` false restores the device default.
std::string ApplyStartSetting(TZor_FlashVariables &record, const TZor_StartSetting &setting);
// ESP reference-clock option, an index into RefErrorTexts.
std::string ApplyRefError(TZor_FlashVariables &record, uint8_t index);
// PPI output. The offset is checked against the interval the record holds, so
// apply a new interval first.
std::string ApplyPPIinterval(TZor_FlashVariables &record, uint8_t index);
std::string ApplyPPIoffset(TZor_FlashVariables &record, const std::string &text);
void ApplyPPIuserDependend(TZor_FlashVariables &record, bool value);

// Appends `error` to `errors` with ", " between them.
void AddConfigError(std::string &errors, const std::string &error);

}  // namespace zor
