// Arbitrary bytes as a binary report record stream: reading, translating and
// describing records stays inside the input, and resynchronisation always
// makes progress.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "device/Zor_ProcessReport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace zor;
  std::string_view s(reinterpret_cast<const char *>(data), size);
  const std::string_view input = s;
  while (!s.empty()) {
    TZor_Record rec;
    const TZor_RecordStatus st = ReadRecord(s, rec);
    (void)HasMagicAtOffset8(s);
    if (st == rs_Ok) {
      if (rec.Header.Size() > s.size() || rec.Values.size() != rec.Header.Size() - cRecordHeaderSize)
        std::abort();
      for (uint8_t fv = 0; fv < 2; ++fv) (void)TranslateRecord(rec, fv, static_cast<uint8_t>(fv ? 0 : 255));
      (void)DescribeRecord(rec, 1);
      (void)RecordStreamLogLine(rec);
      (void)RecordCheckError(s.substr(0, rec.Header.Size()));
      const int slot = FindMagicInValues(s);
      if (slot < 0 || slot > rec.Header.Count) std::abort();
      s.remove_prefix(rec.Header.Size());
      continue;
    }
    if (st == rs_BadCount || st == rs_BadMagic) (void)DescribeRecord(rec);
    const size_t next = FindNextMagic(s);
    if (next != std::string_view::npos && next == 0) std::abort();
    s.remove_prefix(next == std::string_view::npos ? s.size() : next);
  }
  TZor_Record rec;
  if (ReadRecord(BuildMessageRecord(input), rec) != rs_Ok) std::abort();
  return 0;
}
