// Report lengths from a HID report descriptor. The descriptor comes from
// the device, so the parser trusts nothing: every item is bounds-checked
// and report sizes are capped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

namespace zor::platform {

struct TZor_HidReportLayout {
  // Lengths including the report-ID byte (largest report of the kind + 1).
  uint32_t InputLength = 0;
  uint32_t OutputLength = 0;
  // The device prefixes every report with its ID.
  bool Numbered = false;
  // Bytes of each input report after its ID byte, by report ID (0 when unnumbered).
  std::map<uint8_t, uint32_t> InputBytes;
};

// False when the descriptor is malformed or declares no input or no output report.
bool ParseHidReportDescriptor(const uint8_t *data, size_t size, TZor_HidReportLayout &layout);

}  // namespace zor::platform
