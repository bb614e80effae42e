#include "device/Zor_CDCBlockData.h"

#include "device/Zor_ProcessReport.h"

namespace zor {

bool TCDCBlockHeader::Read(std::string_view bytes) {
  if (bytes.size() < cCDCHeaderSize) return false;
  for (size_t w = 0; w < 8; ++w) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(bytes[4 * w + i]);
    FWords[w] = v;
  }
  return true;
}

bool TCDCBlockHeader::IsValid() const {
  // 64-bit sum: a huge byte count must not wrap around and pass.
  return GetMagic() == cCDCMagic && uint64_t{GetSize()} >= uint64_t{GetByteCount()} + GetOffset();
}

uint8_t TCDCBlockHeader::GetUser() const {
  if (FWords[5] == 0 && FWords[6] == 0) return cCDCNoUser;
  const int shift = FWords[5] >= 0x70000000 ? 19 : 17;
  return static_cast<uint8_t>(((FWords[5] >> shift) & 3) + 1);
}

uint32_t TCDCBlockHeader::GetWaitingBytes() const {
  const uint32_t m = FWords[5] > 0x6FFFFFFF ? 0x7FFFF : 0x1FFFF;
  const int64_t diff = int64_t{FWords[5] & m} - int64_t{FWords[6] & m};
  return static_cast<uint32_t>(diff < 0 ? diff + m : diff);
}

bool TCDCBlockHeader::IsConsistent() const {
  return ((GetRepeatAddr() - GetOffset() - GetByteCount()) & 0xFFFF) == 0;
}

std::string_view TCDCBlockHeader::Payload(std::string_view body) const {
  const uint64_t end = uint64_t{GetOffset()} + GetByteCount();
  if (GetByteCount() == 0 || end > body.size()) return {};
  return body.substr(GetOffset(), GetByteCount());
}

std::string TCDCBlockHeader::Description() const {
  std::string s = "CDC ByteCount=" + std::to_string(GetByteCount()) +
                  ", Offset=" + std::to_string(GetOffset()) + ", Flags=" + IntToHex(GetFlags() >> 8, 6) +
                  "." + IntToHex(GetFlags() & 0xFF, 2);
  if (HasFlag(cdc_ToolsData)) s += " ToolsData";
  return s;
}

std::string TCDCBlockHeader::WordsText() const {
  std::string s;
  for (size_t w = 0; w < 8; ++w) s += (w ? ", " : "") + IntToHex(FWords[w], 8);
  return s;
}

std::string TCDCBlockHeader::WordsLogLine() const {
  std::string s;
  for (size_t w = 0; w < 8; ++w) s += (w ? "  " : "") + IntToHex(FWords[w], 8);
  return s;
}

}  // namespace zor
