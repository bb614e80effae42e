#include "session/Zor_DialogState.h"

#include <algorithm>

#include "firmware/Uploader_Common.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"
#include "net/NetUtils.h"

namespace zor::session {

char IpInputChar(char c) {
  if (c == ',') return '.';
  if (c == '_') return '-';
  const bool digit = c >= '0' && c <= '9';
  const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  return digit || letter || c == '-' || c == '.' ? c : 0;
}

char HexInputChar(char c) {
  const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
  return hex ? c : 0;
}

bool MapInputText(std::string &text, char (*map)(char)) {
  std::string mapped = text;
  for (char &c : mapped) {
    c = map(c);
    if (c == 0) return false;
  }
  text = std::move(mapped);
  return true;
}

namespace {

bool IsHostName(const std::string &text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    return c == '-' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  });
}

// What a resolver answered, reduced to distinct valid addresses: the choice
// among several must never offer the same address twice or a broken one.
std::vector<std::string> UsableAddresses(const std::vector<std::string> &ips) {
  std::vector<std::string> result;
  for (const std::string &ip : ips) {
    if (IsValidIPv4(ip) && std::find(result.begin(), result.end(), ip) == result.end()) result.push_back(ip);
  }
  return result;
}

}  // namespace

TRemoteIPCheck CheckRemoteIP(const std::string &input, const TChooseIP &choose, int logId) {
  const std::string tag = "TFormIpInput.CheckRemoteIP ";
  LogText(logId, tag + input);
  TRemoteIPCheck check;
  const std::string text = TrimText(input);
  if (text.empty()) return check;
  if (IsValidIPv4(text)) {
    check.DeviceIP = text;
    check.Accepted = true;
    return check;
  }
  if (!IsHostName(text)) {
    check.ErrorText = "invalid IP";
    return check;
  }
  std::string errorText;
  std::vector<std::string> ips;
  if (auto answer = GetIPsFromHost(text, errorText)) ips = UsableAddresses(*answer);
  if (ips.empty()) {
    if (errorText.empty()) errorText = HostErrorText(platform::WSA_HOST_NOT_FOUND);
    LogErr(logId, tag + input + " failed: " + errorText);
    check.ErrorText = errorText;
    return check;
  }
  if (ips.size() == 1) {
    check.DeviceHost = text;
    check.DeviceIP = ips.front();
  } else {
    // Several addresses: the user's pick is kept as an address, not the
    // host, since the name alone would not say which one was meant.
    std::string chosen = choose ? choose(text, ips) : std::string();
    if (std::find(ips.begin(), ips.end(), chosen) == ips.end()) {
      LogErr(logId, tag + input + " IP not selected");
      check.ErrorText = "IP not selected";
      return check;
    }
    check.DeviceIP = chosen;
  }
  LogText(logId, tag + input + " -> " + check.DeviceIP);
  check.Accepted = true;
  return check;
}

uint16_t HardFeatureOf(THardware hardware, bool softwareClock) {
  uint16_t value = 1;
  switch (hardware) {
    case THardware::Lum: value = 1; break;
    case THardware::Norva: value = 2; break;
    case THardware::Pelq: value = 8; break;
    case THardware::LumAndNorva: value = 3; break;
  }
  return softwareClock ? value | HardFeatureSoftwareClock : value;
}

THardware HardwareOf(uint16_t value) {
  if ((value & 3) == 3) return THardware::LumAndNorva;
  if (value & 8) return THardware::Pelq;
  if (value & 2) return THardware::Norva;
  return THardware::Lum;
}

std::optional<uint32_t> ParseHexInput(const std::string &text, const std::string &missingText,
                                      std::string &errorText) {
  errorText.clear();
  if (text.empty()) {
    errorText = missingText;
    return std::nullopt;
  }
  auto value = ParsePassword(text);
  if (!value) errorText = "'" + text + "' is not a valid hexadecimal number of up to 8 digits";
  return value;
}

// The serial number XOR "ZOR1", then the 32-bit finaliser of MurmurHash3.
// Every step is invertible, so two serial numbers never share a default
// password, while neighbouring numbers give unrelated ones.
uint32_t DefaultPassword(uint32_t serialNumber) {
  uint32_t x = serialNumber ^ 0x5A4F5231u;
  x ^= x >> 16;
  x *= 0x85EBCA6Bu;
  x ^= x >> 13;
  x *= 0xC2B2AE35u;
  x ^= x >> 16;
  return x;
}

}  // namespace zor::session
