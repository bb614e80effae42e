// Arbitrary bytes as a text frame stream: decoding must stay inside the input,
// always make progress, and every report it can frame must come back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "device/Zor_ProcessReport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace zor;
  std::string_view s(reinterpret_cast<const char *>(data), size);
  const std::string_view input = s;
  while (!s.empty()) {
    const TZor_FrameResult r = DecodeTextFrame(s);
    if (r.Status == fs_Incomplete) {
      if (r.Needed <= s.size() || r.Consumed != 0) std::abort();
      break;
    }
    if (r.Consumed == 0 || r.Consumed > s.size()) std::abort();
    s.remove_prefix(r.Consumed);
    if (r.Status == fs_IllegalBE || r.Status == fs_CheckSum) {
      const size_t end = FindFrameEnd(s);
      s.remove_prefix(end == std::string_view::npos ? s.size() : end + 1);
    } else if (r.Status == fs_Ok && !s.empty() && IsFrameEnd(static_cast<uint8_t>(s[0]))) {
      s.remove_prefix(1);
    }
  }
  const std::string frame = BuildTextFrame(input);
  if (!frame.empty()) {
    const TZor_FrameResult r = DecodeTextFrame(frame);
    if (r.Status != fs_Ok || r.Report != input || r.Consumed != frame.size() - 1) std::abort();
  }
  return 0;
}
