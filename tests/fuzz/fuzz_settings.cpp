// Feeds arbitrary bytes to the settings store as its file: loading, typed
// reads, prefix removal and saving must neither crash nor hang.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "foundation/App_Settings.h"

namespace {

std::string TempName(const char *kind) {
  return "/tmp/zor_fuzz_settings_" + std::to_string(::getpid()) + kind;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string input = TempName(".ini"), output = TempName("_out.ini");
  std::ofstream(input, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char *>(data), size);

  zor::TAppSettings settings;
  if (!settings.LoadFromFile(input)) return 0;
  try {
    settings.GetValue("Main_Left", int32_t{0});
  } catch (const zor::ESettingsConvertError &) {
  }
  try {
    settings.GetValue("Ratio", 1.5);
  } catch (const zor::ESettingsConvertError &) {
  }
  try {
    settings.GetUValue("Mask", 7u);
    settings.GetVersionFormat();
  } catch (const zor::ESettingsConvertError &) {
  }
  settings.GetValue("Debug_Log", true);
  settings.GetValue("Sep", ';');
  settings.GetValue("Host", "none");
  settings.SetValue("Host_0", "zor");
  settings.TestKeys("IP");
  settings.RemoveKeys("IP");
  settings.SaveSettings(output);
  std::remove(output.c_str());
  return 0;
}
