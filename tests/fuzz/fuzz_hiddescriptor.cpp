// Arbitrary bytes as a HID report descriptor: lengths stay in range or the
// descriptor is refused.
#include <cstdint>
#include <cstdlib>

#include "platform/Zor_HidDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::platform::TZor_HidReportLayout layout;
  if (zor::platform::ParseHidReportDescriptor(data, size, layout)) {
    if (layout.InputLength < 2 || layout.OutputLength < 2 || layout.InputLength > 16385 ||
        layout.OutputLength > 16385)
      std::abort();
    for (const auto &[id, bytes] : layout.InputBytes)
      if (bytes + 1 > layout.InputLength) std::abort();
  }
  return 0;
}
