// Arbitrary bytes as a stream of CDC blocks: headers are read and their
// payload taken only from inside the block body.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "device/Zor_CDCBlockData.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace zor;
  std::string_view s(reinterpret_cast<const char *>(data), size);
  TCDCBlockHeader h;
  while (h.Read(s)) {
    (void)h.GetUser();
    (void)h.GetWaitingBytes();
    (void)h.IsConsistent();
    (void)h.Description();
    (void)h.WordsText();
    (void)h.WordsLogLine();
    if (!h.IsValid()) {
      // Resynchronise behind the first byte so a bad header at the start cannot stall.
      const size_t next = s.find("\xBF\xBF\xBF\xBF", 1);
      s.remove_prefix(next == std::string_view::npos ? s.size() : next);
      continue;
    }
    s.remove_prefix(cCDCHeaderSize);
    const std::string_view body = s.substr(0, h.GetSize());
    const std::string_view payload = h.Payload(body);
    if (!payload.empty() &&
        (payload.data() < body.data() || payload.data() + payload.size() > body.data() + body.size()))
      std::abort();
    s.remove_prefix(body.size());
  }
  return 0;
}
