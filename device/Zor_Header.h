// Version reports (classic ColdFire form, ESP form, recorded text-file lines)
// and the header word of measurement reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zor {

// What a version report tells about a device. The report processor keeps one
// of these; every extraction starts from Reset().
struct TZor_VersionInfo {
  std::string FFirmwareDate;
  std::string FFPGAVersion;
  std::string FFWVersionString;
  uint16_t FHardFeature = 0x8000;
  std::string FHardFeatureString;
  std::string FMajorMinorStr;
  int FMajor = -1;
  int FMinor = -1;
  int FVersion = -1;
  std::string FVersionIP;
  std::string FVersionString;
  uint32_t FVersionSerialNumber = 0xFFFFFFFF;
  uint8_t FVersionUser = 255;

  void Reset() { *this = TZor_VersionInfo(); }
};

// Where the extraction functions log: a log id and the caller's tag
// ("TZor_ReportDevice[..]"), which starts every line.
struct TZor_LogTag {
  int LogId = -1;
  std::string Tag;
};

// Hardware feature base of a classic product prefix ("LUM:", "Pelq:" ...).
uint16_t HardFeatureOfPrefix(std::string_view prefix);

// Classic form. False without any change unless the report's id is 0x7001.
// On success the caller sets the device's HardFeature to info.FHardFeature.
bool ExtractFirmware(std::string_view report, TZor_VersionInfo &info, const TZor_LogTag &log);
// ESP form; deviceHardFeature is the device's current hardware feature word.
bool ESPExtractFirmware(std::string_view report, uint16_t deviceHardFeature, TZor_VersionInfo &info,
                        const TZor_LogTag &log);
// A "7001VERSION..." line of a recorded text file.
bool ExtractFirmwareVersionDateTextReport(std::string_view line, TZor_VersionInfo &info,
                                          const TZor_LogTag &log);
// The serial number in the third " / " part; 0xFFFFFFFF and false when there is none.
bool ExtractSerialNumber(std::string_view text, uint32_t &serial);
// The user digit after "User" (blanks between are skipped).
bool ExtractUserID(std::string_view text, uint8_t &user, const TZor_LogTag &log);
// The version report an ESP device's version is delivered as, rebuilt from `info`.
std::string BuildESPVersionReport(const TZor_VersionInfo &info);

// The 16-bit header word of a measurement report taken apart.
class TZorHeader {
 public:
  explicit TZorHeader(uint16_t word = 0xFFFF) { SetHeader(word); }
  // Trimmed decimal text; anything that is not a number 0-65535 counts as 0xFFFF.
  explicit TZorHeader(std::string_view text);

  // Interval in ms (1, 2, 5 per decade, up to 20000) -> index within its decade
  // (0, 1 or 2); -1 for anything else.
  static int IntervalMsToIndex(int ms);

  uint16_t GetHeader() const { return FHeader; }
  // Decodes `word` again.
  void SetHeader(uint16_t word);

  bool GetLost() const { return FLost; }
  uint32_t GetGateTime() const { return FGateTime; }
  bool GetModeValid() const { return FModeValid; }
  bool GetIntervalIndexValid() const { return FIntervalIndexValid; }
  uint8_t GetMode() const { return FMode; }
  int GetIntervalIndex() const { return FIntervalIndex; }
  int GetFilterIndex() const { return FFilterIndex; }
  bool GetFpgaBit() const { return FFpgaBit; }
  uint8_t GetMeasFrequence() const { return FMeasFrequence; }
  bool GetScrambling() const { return FScrambling; }
  bool GetDithering() const { return FDithering; }
  const std::string &GetBand() const { return FBand; }
  double GetMultiplier() const { return FMultiplier; }
  uint8_t GetPPIindex() const { return FPPIindex; }
  uint8_t GetScramblerIndex() const { return FScramblerIndex; }
  bool GetIsLUMData() const { return (FHeader & 0x7FFF) < 0x7000; }

  std::string GetIntervalText() const;
  std::string GetModeText() const;
  std::string GetMeasFrequenceText() const;
  std::string GetScramblingText() const;
  std::string GetDitheringText() const;
  std::string GetBandText() const;
  std::string GetMultiplierText() const;
  std::string GetPPItext() const;
  std::string GetScramblerText() const;

 private:
  bool FLost = false;
  uint32_t FGateTime = 0;
  uint16_t FHeader = 0;
  bool FModeValid = false;
  bool FIntervalIndexValid = false;
  uint8_t FMode = 0;
  int FIntervalIndex = 0;
  int FFilterIndex = 0;
  bool FFpgaBit = false;
  uint8_t FMeasFrequence = 0;
  bool FScrambling = false;
  bool FDithering = false;
  std::string FBand;
  double FMultiplier = 0;
  uint8_t FPPIindex = 0;
  uint8_t FScramblerIndex = 0;
};

}  // namespace zor
