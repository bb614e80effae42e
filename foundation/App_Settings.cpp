#include "foundation/App_Settings.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

namespace zor {

namespace {

const std::string AutoSaveKey = "AutoSaveSettings";
const std::string VersionKey = "INI_Version";

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Setting names compare without regard to ASCII case, as INI keys do.
bool StartsWithNoCase(const std::string &text, size_t textLen, const std::string &prefix) {
  if (prefix.size() > textLen) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  return true;
}

std::string Trim(const std::string &text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

[[noreturn]] void ConvertError(const std::string &name, const std::string &value, const char *kind) {
  throw ESettingsConvertError("'" + value + "' is not a valid " + kind + " value (setting " + name + ")");
}

template <typename T>
bool ParseNumber(std::string text, T &result) {
  text = Trim(text);
  if (!text.empty() && text[0] == '+') text.erase(0, 1);
  const char *end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, result);
  return !text.empty() && ec == std::errc() && ptr == end;
}

}  // namespace

TAppSettings::TAppSettings() {
  FAutoSaveSettings = GetValue(AutoSaveKey, false);
  const std::lconv *conv = std::localeconv();
  if (conv && conv->decimal_point && conv->decimal_point[0])
    FFormatSettings.DecimalSeparator = conv->decimal_point[0];
}

int TAppSettings::IndexOfName(const std::string &name) const {
  for (size_t i = 0; i < FLines.size(); ++i) {
    const auto eq = FLines[i].find('=');
    if (eq != std::string::npos && eq == name.size() && StartsWithNoCase(FLines[i], eq, name))
      return static_cast<int>(i);
  }
  return -1;
}

std::string TAppSettings::ReadOrAdd(const std::string &name, const std::string &defaultText, bool &found) {
  const int index = IndexOfName(name);
  found = index >= 0;
  if (found) return FLines[index].substr(name.size() + 1);
  FLines.push_back(name + "=" + defaultText);
  return defaultText;
}

bool TAppSettings::GetValue(const std::string &name, bool defaultValue) {
  bool found;
  const std::string value = ReadOrAdd(name, defaultValue ? "True" : "False", found);
  return found ? value == "True" : defaultValue;
}

int32_t TAppSettings::GetValue(const std::string &name, int32_t defaultValue) {
  bool found;
  const std::string value = ReadOrAdd(name, std::to_string(defaultValue), found);
  if (!found) return defaultValue;
  int32_t result = 0;
  if (!ParseNumber(value, result)) ConvertError(name, value, "integer");
  return result;
}

uint32_t TAppSettings::GetUValue(const std::string &name, uint32_t defaultValue) {
  bool found;
  const std::string value = ReadOrAdd(name, std::to_string(defaultValue), found);
  if (!found) return defaultValue;
  int64_t result = 0;
  if (!ParseNumber(value, result)) ConvertError(name, value, "integer");
  return static_cast<uint32_t>(result);
}

char TAppSettings::GetValue(const std::string &name, char defaultValue) {
  bool found;
  const std::string value =
      ReadOrAdd(name, defaultValue ? std::string(1, defaultValue) : std::string(), found);
  // A present but empty value gives the default.
  return found && !value.empty() ? value[0] : defaultValue;
}

double TAppSettings::GetValue(const std::string &name, double defaultValue) {
  bool found;
  std::string value = ReadOrAdd(name, DoubleToText(defaultValue), found);
  if (!found) return defaultValue;
  if (value.empty()) return std::numeric_limits<double>::quiet_NaN();
  // Files written under another locale: the first "." or "," after the first
  // character is the decimal separator.
  const auto sep = value.find_first_of(".,", 1);
  std::string text = value;
  if (sep != std::string::npos) std::replace(text.begin(), text.end(), value[sep], '.');
  double result = 0;
  if (!ParseNumber(text, result)) ConvertError(name, value, "floating point");
  return result;
}

std::string TAppSettings::GetValue(const std::string &name, const std::string &defaultValue) {
  bool found;
  return ReadOrAdd(name, defaultValue, found);
}

bool TAppSettings::StoreValue(const std::string &name, const std::string &value) {
  const int index = IndexOfName(name);
  const std::string current = index >= 0 ? FLines[index].substr(name.size() + 1) : std::string();
  if (current == value) return false;
  if (value.empty())
    FLines.erase(FLines.begin() + index);
  else if (index >= 0)
    FLines[index] = name + "=" + value;
  else
    FLines.push_back(name + "=" + value);
  return true;
}

void TAppSettings::SetValue(const std::string &name, const std::string &value) {
  if (StoreValue(name, value) && FAutoSaveSettings) SaveSettings();
}

void TAppSettings::SetValue(const std::string &name, bool value) { SetValue(name, value ? "True" : "False"); }

void TAppSettings::SetValue(const std::string &name, int32_t value) { SetValue(name, std::to_string(value)); }

void TAppSettings::SetUValue(const std::string &name, uint32_t value) {
  SetValue(name, std::to_string(value));
}

void TAppSettings::SetValue(const std::string &name, double value) { SetValue(name, DoubleToText(value)); }

std::string TAppSettings::DoubleToText(double value) const {
  if (std::isnan(value)) return {};
  char buf[64];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, value);
  std::string text(buf, ec == std::errc() ? ptr : buf);
  std::replace(text.begin(), text.end(), '.', FFormatSettings.DecimalSeparator);
  return text;
}

void TAppSettings::RemoveKeys(const std::string &prefix) {
  for (size_t i = FLines.size(); i-- > 0;) {
    const auto eq = FLines[i].find('=');
    if (!prefix.empty() && eq != std::string::npos && StartsWithNoCase(FLines[i], eq, prefix))
      FLines.erase(FLines.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

bool TAppSettings::TestKeys(const std::string &prefix) const {
  return !prefix.empty() && std::any_of(FLines.begin(), FLines.end(), [&](const std::string &line) {
    const auto eq = line.find('=');
    return eq != std::string::npos && StartsWithNoCase(line, eq, prefix);
  });
}

bool TAppSettings::LoadFromFile(const std::string &fileName) {
  FFilename = fileName;
  std::error_code ec;
  if (!std::filesystem::exists(fileName, ec)) std::ofstream(fileName, std::ios::binary);
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  std::string text = content.str();
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);  // UTF-8 byte order mark

  // Lines end with CR LF, LF or CR; a last line without one still counts.
  FLines.clear();
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    FLines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) FLines.push_back(text.substr(start));
  FValuesLoaded = !FLines.empty();
  return true;
}

bool TAppSettings::SaveSettings(const std::string &fileName) {
  FFilename = fileName;
  return SaveSettings();
}

bool TAppSettings::SaveSettings() {
  StoreValue(VersionKey, std::to_string(FVersionFormat));
  if (FFilename.empty()) return false;
  std::ofstream out(FFilename, std::ios::binary | std::ios::trunc);
  for (const auto &line : FLines) out << line << '\n';
  out.close();
  return !out.fail();
}

void TAppSettings::SetAutoSaveSettings(bool value) {
  FAutoSaveSettings = value;
  SetValue(AutoSaveKey, value);
}

int32_t TAppSettings::GetVersionFormat() {
  FVersionFormat = GetValue(VersionKey, int32_t{0});
  return FVersionFormat;
}

void TAppSettings::SetVersionFormat(int32_t value) { FVersionFormat = std::max(FVersionFormat, value); }

}  // namespace zor
