// The rules of the window's dialogs that need no widgets: which keys an edit
// takes, how a typed address or host name is checked, the hardware-feature
// choice and the serial number's default password. The dialogs in app/ and
// their tests use these same functions.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zor::session {

// --- Key rules: the character an edit takes for a typed one, 0 when refused.
// Address or host name: digits, letters, "-" and "."; "," becomes "." and
// "_" becomes "-", so my_device and 10,0,0,1 can be typed as they come.
char IpInputChar(char c);
// Hexadecimal digits only (passwords and serial numbers).
char HexInputChar(char c);
// Maps every character of `text` in place; false (text unchanged) when one is refused.
bool MapInputText(std::string &text, char (*map)(char));

// --- Address or host name of a network device.
// The user's pick among several addresses of one host; empty when cancelled.
using TChooseIP = std::function<std::string(const std::string &host, const std::vector<std::string> &ips)>;

struct TRemoteIPCheck {
  bool Accepted = false;
  std::string DeviceHost;  // set only for a host name with exactly one address
  std::string DeviceIP;
  std::string ErrorText;   // shown under the edit; empty for an empty input
};

// Checks `text`: a dotted IPv4 address is taken as it is, a text with a letter
// or "-" is resolved (GetIPsFromHost), several addresses go to `choose`.
// Logs to `logId`.
TRemoteIPCheck CheckRemoteIP(const std::string &text, const TChooseIP &choose, int logId);

// --- Hardware feature word of a device that does not report one.
enum class THardware { Lum, Norva, Pelq, LumAndNorva };

constexpr uint16_t HardFeatureSoftwareClock = 4;

uint16_t HardFeatureOf(THardware hardware, bool softwareClock);
// The choice that shows `value`: bits 0 and 1 -> LUM and Norva, else bit 3
// Pelq, else bit 1 Norva, else LUM.
THardware HardwareOf(uint16_t value);

// --- Hexadecimal inputs of the login and serial-number dialogs.
// Empty text gives `missingText`, a text that is no number of up to 8 hex
// digits gives a conversion error naming it.
std::optional<uint32_t> ParseHexInput(const std::string &text, const std::string &missingText,
                                      std::string &errorText);

// Password proposed for a serial number (the "Default" choice of the
// serial-number dialog). Deterministic, so the maker can recompute it from
// the number; see the definition for the derivation.
uint32_t DefaultPassword(uint32_t serialNumber);

}  // namespace zor::session
