// Arbitrary bytes as version reports of every form and as header word texts.
#include <cstdint>
#include <string>

#include "device/Zor_Header.h"
#include "device/Zor_ProcessReport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace zor;
  const std::string text(reinterpret_cast<const char *>(data), size);
  const TZor_LogTag log;
  TZor_VersionInfo info;
  (void)ExtractFirmware(text, info, log);
  (void)ExtractFirmware(MakeReport(rid_Version, text), info, log);
  if (ESPExtractFirmware(MakeReport(rid_Version, text), 0x8000, info, log)) (void)BuildESPVersionReport(info);
  (void)ExtractFirmwareVersionDateTextReport("7001VERSION" + text, info, log);
  uint32_t serial = 0;
  (void)ExtractSerialNumber(text, serial);
  uint8_t user = 0;
  (void)ExtractUserID(text, user, log);
  const TZorHeader h(text);
  (void)h.GetIntervalText();
  (void)h.GetModeText();
  if (size >= 2) {
    const TZorHeader w(static_cast<uint16_t>(data[0] << 8 | data[1]));
    (void)w.GetIntervalText();
    (void)w.GetModeText();
    (void)w.GetPPItext();
    (void)w.GetScramblerText();
  }
  return 0;
}
