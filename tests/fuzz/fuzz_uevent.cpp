// Arbitrary bytes as uevent datagrams in both forms, and what they parse to
// through the mapping (its sysfs root does not exist, so only the event's
// own fields count).
#include <cstdint>
#include <string_view>

#include "platform/Zor_DeviceNotify.h"
#include "platform/Zor_UEventMapper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace zor::platform;
  const std::string_view message(reinterpret_cast<const char *>(data), size);
  TZor_UEventMapper mapper("/nonexistent-zor-sysfs");
  for (auto event : {ParseUEvent(message), ParseUdevMessage(message)}) {
    if (!event) continue;
    (void)event->Get("SUBSYSTEM");
    (void)mapper.Map(*event);
  }
  return 0;
}
