#include "device/Zor_Header.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <vector>

#include "device/Zor_ProcessReport.h"
#include "foundation/LogUnit.h"
#include "foundation/Zor_Utils.h"

namespace zor {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whole text as a decimal number (at most 9 digits, so it fits an int).
bool ParseDecimal(std::string_view s, int &value) {
  if (s.empty() || s.size() > 9) return false;
  int v = 0;
  for (char c : s) {
    if (!IsDigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  return true;
}

// Whole text as a hexadecimal number of at most 32 bits.
bool ParseHex32(std::string_view s, uint32_t &value) {
  if (s.empty() || s.size() > 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d;
    if (IsDigit(c))
      d = c - '0';
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else
      return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  value = v;
  return true;
}

std::string Trim(std::string_view s) { return TrimText(std::string(s)); }

void DropTrailingControls(std::string &s) {
  while (!s.empty() && static_cast<uint8_t>(s.back()) < 0x20) s.pop_back();
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Prefix, version number, feature letters and date of the classic form (and of
// the text-file form): "LUM: 112US CF 2019-05-10 ...". True when the version
// number parses.
bool TakeApartClassic(std::string text, TZor_VersionInfo &info) {
  const size_t colon = text.find(": ");
  info.FHardFeature = HardFeatureOfPrefix(colon == std::string::npos ? "" : text.substr(0, colon + 1));
  if (colon != std::string::npos) text.erase(0, colon + 2);

  size_t digits = 0;
  while (digits < text.size() && IsDigit(text[digits])) ++digits;
  const bool ok = ParseDecimal(std::string_view(text).substr(0, digits), info.FVersion);

  const size_t cf = text.find("CF ");
  const size_t lettersEnd = cf != std::string::npos ? cf : std::min(text.find(' ', digits), text.size());
  for (size_t i = digits; i < lettersEnd; ++i) {
    if (text[i] == 'U') info.FHardFeature |= 0x0002;
    if (text[i] == 'S') info.FHardFeature |= 0x0004;
    if (text[i] == 'F') info.FHardFeature |= 0x4000;
  }
  if (cf != std::string::npos) {
    const std::string rest = text.substr(cf + 3);
    info.FFirmwareDate = rest.substr(0, rest.find(' '));
  }
  return ok;
}

void SetUnknownVersion(TZor_VersionInfo &info, const std::string &text) {
  info.FVersion = -1;
  info.FVersionString = text;
  info.FFirmwareDate.clear();
  info.FHardFeature = 0x8000;
}

// "FW: LUM2-1.14 2023-10-05": major, minor and date. True when both numbers parse.
bool TakeApartESPFirmware(const std::string &fw, TZor_VersionInfo &info, const TZor_LogTag &log) {
  const std::string p = log.Tag + ".ESPExtractFirmware";
  std::string s = fw;
  const size_t dash = s.find('-');
  if (dash != std::string::npos) s.erase(0, dash + 1);
  const size_t dot = s.find('.');
  const std::string majorText = s.substr(0, dot);
  const bool majorOk = ParseDecimal(majorText, info.FMajor);
  LogText(log.LogId, p + (majorOk ? ": major=" : ": invalid major=") + majorText);
  if (!majorOk) info.FMajor = -1;

  const size_t minorStart = dot == std::string::npos ? s.size() : dot + 1;
  size_t minorEnd = minorStart;
  while (minorEnd < s.size() && IsDigit(s[minorEnd])) ++minorEnd;
  const std::string minorText = s.substr(minorStart, minorEnd - minorStart);
  const bool minorOk = ParseDecimal(minorText, info.FMinor);
  LogText(log.LogId, p + (minorOk ? ": minor=" : ": invalid minor=") + minorText);
  if (!minorOk) info.FMinor = -1;

  // A version number is only known with both parts.
  if (majorOk && minorOk) info.FVersion = info.FMajor * 100 + info.FMinor;
  info.FMajorMinorStr = majorText + "." + minorText;
  info.FFirmwareDate = Trim(std::string_view(s).substr(std::min(s.size(), minorEnd + 1)));
  LogText(log.LogId, p + ": date=" + info.FFirmwareDate);
  return majorOk && minorOk;
}

constexpr std::array<const char *, 20> cIntervalTexts = {
    "1ms", "2ms", "5ms", "10ms", "20ms", "50ms", "100ms", "200ms", "500ms", "1s",
    "2s",  "5s",  "10s", "20s",  "50s",  "100s", "200s",  "500s",  "1000s", "2000s"};
constexpr std::array<const char *, 7> cModeTexts = {"Phase",          "Phase Average",    "Frequency",
                                                    "Frequency Avg.", "Phase Difference", "Phase Avg Diff.",
                                                    "Raw Data"};
constexpr std::array<const char *, 4> cPPITexts = {"default", "control PPI", "----", "used"};
constexpr std::array<const char *, 4> cScramblerTexts = {"off", "Auto", "Trim", "used"};

const char *OnOff(bool on) { return on ? "ON" : "OFF"; }

}  // namespace

uint16_t HardFeatureOfPrefix(std::string_view prefix) {
  if (prefix == "LUM:" || prefix == "RawLUM:") return 0x0001;
  if (prefix == "Pelq:") return 0x0008;
  if (prefix == "Norva:") return 0x0002;
  if (prefix == "Tavik:") return 0x2001;
  return 0x8000;
}

bool ExtractFirmware(std::string_view report, TZor_VersionInfo &info, const TZor_LogTag &log) {
  if (ReportId(report) != rid_Version) return false;
  info.Reset();
  std::string text(report.substr(2));
  const size_t version = text.find("VERSION");
  if (version == std::string::npos || text.find(": ") == std::string::npos) {
    SetUnknownVersion(info, text);
    LogErr(log.LogId, log.Tag + ".ExtractFirmware: unknown version string=" + text);
    return false;
  }
  text.erase(0, std::min(text.size(), version + 8));
  DropTrailingControls(text);
  info.FVersionString = text;
  LogText(log.LogId, log.Tag + ".GetReport: VERSION" + text);

  const bool ok = TakeApartClassic(text, info);
  LogText(log.LogId, log.Tag + ".ExtractFirmware Version: " + std::to_string(info.FVersion) +
                         " Date: " + info.FFirmwareDate);

  const std::vector<std::string> parts = SplitText(info.FVersionString, "/");
  if (parts.size() > 1) {
    info.FFPGAVersion = Trim(parts[1]);
    LogText(log.LogId, log.Tag + ".ExtractFirmware FPGAVersion: " + info.FFPGAVersion);
  }
  if (info.FVersion >= 40 && parts.size() > 3) {
    for (size_t i = 2; i < parts.size(); ++i) {
      if (ParseHex32(Trim(parts[i]), info.FVersionSerialNumber)) {
        LogText(log.LogId,
                log.Tag + ".ExtractFirmware SerialNumber: " + IntToHex(info.FVersionSerialNumber, 8));
        break;
      }
    }
  }
  if (info.FVersion >= 50 && parts.size() > 4) {
    info.FVersionIP = Trim(parts[3]);
    LogText(log.LogId, log.Tag + ".ESPExtractFirmware: IP=" + info.FVersionIP);
  }
  return ok;
}

bool ESPExtractFirmware(std::string_view report, uint16_t deviceHardFeature, TZor_VersionInfo &info,
                        const TZor_LogTag &log) {
  if (ReportId(report) != rid_Version) return false;
  std::string text(report.substr(2));
  DropTrailingControls(text);
  text = Trim(text);
  info.Reset();
  const std::string p = log.Tag + ".ESPExtractFirmware";
  if (text.empty()) {
    LogErr(log.LogId, p + ": empty VersionString");
    return false;
  }
  info.FVersionString = text;
  LogText(log.LogId, p + ": VersionString=" + text);
  std::vector<std::string> parts = SplitText(text, " / ");
  parts.resize(std::max<size_t>(parts.size(), 5));

  info.FHardFeatureString = parts[0];
  LogText(log.LogId, p + " device hardfeature string=" + parts[0]);
  info.FHardFeature = deviceHardFeature;

  const size_t blank = parts[1].find(' ');
  const std::string serialText = parts[1].substr(0, blank);
  if (ParseHex32(serialText, info.FVersionSerialNumber)) {
    LogText(log.LogId, p + " SerialNumber=" + IntToHex(info.FVersionSerialNumber, 8));
  } else {
    info.FVersionSerialNumber = 0xFFFFFFFF;
    LogText(log.LogId, p + " invalid SerialNumber=" + serialText);
  }
  const std::string userText = blank == std::string::npos ? "" : Trim(parts[1].substr(blank + 1));
  int user = 0;
  if (ParseDecimal(userText, user) && user < 255) {
    info.FVersionUser = static_cast<uint8_t>(user);
    LogText(log.LogId, p + " UserID=" + userText);
  } else {
    LogText(log.LogId, p + " invalid UserID=" + userText);
  }

  bool ok = false;
  if (StartsWith(parts[2], "FW: ")) {
    info.FFWVersionString = parts[2].substr(4);
    LogText(log.LogId, p + " FW-String=" + info.FFWVersionString);
    ok = TakeApartESPFirmware(info.FFWVersionString, info, log);
  } else {
    LogErr(log.LogId, p + " invalid FW=" + parts[2]);
  }

  if (StartsWith(parts[3], "HW:")) {
    info.FFPGAVersion = Trim(parts[3].substr(3));
    LogText(log.LogId, p + ": FPGA=" + info.FFPGAVersion);
  } else {
    LogErr(log.LogId, p + " invalid HW=" + parts[3]);
  }

  uint32_t ip = 0;
  if (StartsWith(parts[4], "IP: ") && ParseHex32(Trim(parts[4].substr(4)), ip)) {
    info.FVersionIP = IntToIPv4(ip);
    LogText(log.LogId, p + ": IP=" + info.FVersionIP);
  } else {
    LogErr(log.LogId, p + " invalid IP=" + parts[4]);
  }
  return ok;
}

bool ExtractFirmwareVersionDateTextReport(std::string_view line, TZor_VersionInfo &info,
                                          const TZor_LogTag &log) {
  constexpr std::string_view cStart = "7001VERSION";
  if (!StartsWith(line, cStart)) return false;
  info.Reset();
  const std::string rest = Trim(line.substr(cStart.size()));
  const std::string p = log.Tag + ".ExtractFirmwareVersionDateTextReport";
  if (rest.find(": ") == std::string::npos) {
    SetUnknownVersion(info, rest);
    LogErr(log.LogId, p + ": unknown version string=" + rest);
    return false;
  }
  info.FVersionString = rest;
  const bool ok = TakeApartClassic(rest, info);
  LogText(log.LogId, p + " Version: " + std::to_string(info.FVersion) + " Date: " + info.FFirmwareDate +
                         " HardFeature=" + IntToHex(info.FHardFeature, 4));
  return ok;
}

bool ExtractSerialNumber(std::string_view text, uint32_t &serial) {
  serial = 0xFFFFFFFF;
  if (text.find("VERSION") == std::string_view::npos) return false;
  const std::vector<std::string> parts = SplitText(std::string(text), " / ");
  if (parts.size() <= 2 || !ParseHex32(Trim(parts[2]), serial)) {
    serial = 0xFFFFFFFF;
    return false;
  }
  return true;
}

bool ExtractUserID(std::string_view text, uint8_t &user, const TZor_LogTag &log) {
  const size_t at = text.find("User");
  if (text.find("VERSION") == std::string_view::npos || at == std::string_view::npos) return false;
  // The ESP form writes "User 2", older firmware "User2".
  size_t i = at + 4;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i < text.size() && IsDigit(text[i])) {
    user = static_cast<uint8_t>(text[i] - '0');
    LogText(log.LogId, log.Tag + ".ExtractUserID: " + std::to_string(user));
    return true;
  }
  const std::string found = i < text.size() ? std::string(1, text[i]) : std::string();
  LogExcept(log.LogId, log.Tag + ".ExtractUserID failed",
            std::invalid_argument("'" + found + "' is not a valid integer value"));
  return false;
}

std::string BuildESPVersionReport(const TZor_VersionInfo &info) {
  return MakeReport(rid_Version, "VERSION " + info.FHardFeatureString + " / # " +
                                     IntToHex(info.FVersionSerialNumber, 8) + " User " +
                                     std::to_string(info.FVersionUser) + " / " + info.FFWVersionString +
                                     " /" + " HW: " + info.FFPGAVersion + " /" + " IP: " + info.FVersionIP);
}

// --- TZorHeader ------------------------------------------------------------------

TZorHeader::TZorHeader(std::string_view text) {
  int value = 0;
  const bool ok = ParseDecimal(Trim(text), value) && value <= 0xFFFF;
  SetHeader(ok ? static_cast<uint16_t>(value) : 0xFFFF);
}

int TZorHeader::IntervalMsToIndex(int ms) {
  switch (ms) {
    case 1:
    case 10:
    case 100:
    case 1000:
    case 10000: return 0;
    case 2:
    case 20:
    case 200:
    case 2000:
    case 20000: return 1;
    case 5:
    case 50:
    case 500:
    case 5000: return 2;
    default: return -1;
  }
}

void TZorHeader::SetHeader(uint16_t h) {
  const bool valid = h != 0xFFFF;
  FLost = (h & 0x8000) != 0;
  FHeader = h & 0x7FFF;
  FMode = (h >> 12) & 7;
  FModeValid = valid && FMode < 7;
  FIntervalIndex = (h >> 8) & 0x0F;
  const bool extended = (h & 0x02) != 0;
  FIntervalIndexValid = valid && !(FIntervalIndex == 0 && extended) && FIntervalIndex <= 13;
  if (extended) FIntervalIndex += 13;
  if (FIntervalIndex >= 20) FIntervalIndexValid = false;
  static constexpr uint32_t cSteps[3] = {1, 2, 5};
  uint64_t gate = cSteps[FIntervalIndex % 3];
  for (int i = 0; i < FIntervalIndex / 3; ++i) gate *= 10;
  FGateTime = static_cast<uint32_t>(gate);
  FFilterIndex = (h >> 6) & 3;
  FPPIindex = static_cast<uint8_t>((h >> 6) & 3);
  FMeasFrequence = (h & 0x20) ? 5 : 10;
  FScrambling = (h & 0x10) != 0;
  FScramblerIndex = static_cast<uint8_t>((h >> 4) & 3);
  FDithering = (h & 0x08) != 0;
  FFpgaBit = (h & 0x01) != 0;
  FMultiplier = FFpgaBit ? 100000 : 1000;
  if (h & 0x04) {  // broadband
    FBand = "BB";
    FFilterIndex = 0;
    FMeasFrequence = 0;
    FMultiplier = 1;
  } else {
    FBand = "NB";
  }
}

std::string TZorHeader::GetIntervalText() const {
  return FIntervalIndexValid ? cIntervalTexts[FIntervalIndex] : "";
}
std::string TZorHeader::GetModeText() const { return FMode < 7 ? cModeTexts[FMode] : ""; }
std::string TZorHeader::GetMeasFrequenceText() const { return std::to_string(FMeasFrequence * 1000000u); }
std::string TZorHeader::GetScramblingText() const { return OnOff(FScrambling); }
std::string TZorHeader::GetDitheringText() const { return OnOff(FDithering); }
std::string TZorHeader::GetBandText() const { return FBand == "BB" ? "Broadband" : "Narrowband"; }
std::string TZorHeader::GetMultiplierText() const {
  if (FMultiplier == 1) return "1E+0";
  return FMultiplier == 1000 ? "1E+3" : "1E+5";
}
std::string TZorHeader::GetPPItext() const { return cPPITexts[FPPIindex]; }
std::string TZorHeader::GetScramblerText() const { return cScramblerTexts[FScramblerIndex]; }

}  // namespace zor
