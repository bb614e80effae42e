// Any bytes as S-record input: single lines through the decoder and the
// classification of every kind, and the whole input as an image text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "firmware/SRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  zor::TSRecord record;
  const bool ok = zor::ParseSRecord(text, record);
  if (ok != record.Error.empty()) __builtin_trap();
  if (ok && record.Data.size() > 252) __builtin_trap();
  for (zor::TImageKind kind : {zor::ik_UserCode, zor::ik_Bootloader, zor::ik_SystemCode}) {
    const zor::TRecordClass cls = zor::ClassifyRecord(record, kind);
    if (cls.Action == zor::ra_Send && !record.IsData()) __builtin_trap();
  }
  zor::TSRecordImage image;
  image.OpenText(text, zor::ik_UserCode);
  const zor::TImageScan scan = zor::ScanSRecordImage(image);
  if (scan.Lines > image.GetLineCount()) __builtin_trap();
  if (!scan.Range.IsEmpty() && (scan.Range.FminAdr < 0x4000 || scan.Range.FmaxAdr > 0x7FFFF))
    __builtin_trap();
  return 0;
}
