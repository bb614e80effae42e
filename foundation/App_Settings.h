// The application's settings: name=value lines in one INI-style file. Every
// typed read names a default and adds the key with it when missing, so the file
// written back lists every setting the program ever asked for.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace zor {

// Number format of the system locale, taken when the settings are created.
struct TFormatSettings {
  char DecimalSeparator = '.';
};

// A stored value that does not convert to the type asked for.
class ESettingsConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TAppSettings {
 public:
  TAppSettings();

  // Reads; a missing name is added with the default, which is returned.
  bool GetValue(const std::string &name, bool defaultValue);
  int32_t GetValue(const std::string &name, int32_t defaultValue);  // throws ESettingsConvertError
  uint32_t GetUValue(const std::string &name, uint32_t defaultValue);
  char GetValue(const std::string &name, char defaultValue);
  double GetValue(const std::string &name, double defaultValue);  // NaN <-> empty value
  std::string GetValue(const std::string &name, const std::string &defaultValue);
  std::string GetValue(const std::string &name, const char *defaultValue) {
    return GetValue(name, std::string(defaultValue));
  }
  bool IsEnabled(const std::string &name, bool defaultValue) { return GetValue(name, defaultValue); }

  // Writes change the list (an empty text removes the line) and save at once
  // with auto-save, but only when the stored value really changes.
  void SetValue(const std::string &name, const std::string &value);
  void SetValue(const std::string &name, const char *value) { SetValue(name, std::string(value)); }
  void SetValue(const std::string &name, bool value);
  void SetValue(const std::string &name, int32_t value);
  void SetUValue(const std::string &name, uint32_t value);
  void SetValue(const std::string &name, double value);

  // Name/value access without defaults.
  bool HasKey(const std::string &name) const { return IndexOfName(name) >= 0; }
  const std::vector<std::string> &GetLines() const { return FLines; }

  void RemoveKeys(const std::string &prefix);
  bool TestKeys(const std::string &prefix) const;

  bool LoadFromFile(const std::string &fileName);
  bool SaveSettings(const std::string &fileName);
  bool SaveSettings();

  bool GetAutoSaveSettings() const { return FAutoSaveSettings; }
  void SetAutoSaveSettings(bool value);
  std::string GetFilename() const { return FFilename; }
  TFormatSettings GetFormatSettings() const { return FFormatSettings; }
  bool GetValuesLoaded() const { return FValuesLoaded; }
  // Reads "INI_Version" and keeps it; writing never lowers the stored format.
  int32_t GetVersionFormat();
  void SetVersionFormat(int32_t value);

 private:
  int IndexOfName(const std::string &name) const;
  std::string ReadOrAdd(const std::string &name, const std::string &defaultText, bool &found);
  // Replaces, adds or (for an empty value) removes the line; true if it changed.
  bool StoreValue(const std::string &name, const std::string &value);
  std::string DoubleToText(double value) const;

  std::vector<std::string> FLines;
  bool FAutoSaveSettings = false;
  std::string FFilename;
  bool FValuesLoaded = false;
  int32_t FVersionFormat = 0;
  TFormatSettings FFormatSettings;
};

}  // namespace zor
