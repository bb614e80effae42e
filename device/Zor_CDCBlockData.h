// The 32-byte header a ColdFire device puts in front of every block it sends
// over USB (virtual COM port) or the network: eight big-endian 32-bit words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zor {

inline constexpr uint32_t cCDCMagic = 0xBFBFBFBF;
inline constexpr size_t cCDCHeaderSize = 32;
// Column heading of the stream log for header words (CDCHeaderWordsLogLine).
inline constexpr char cCDCStreamLogHeading[] =
    "Magic     Size      ByteCount Offset    Flags     WritePtr  ReadPtr   Reserved";

// Flag bits of word 4.
enum TZor_CDCFlag : uint32_t {
  cdc_BufferCleared = 0x01,
  cdc_ToolsData = 0x02,
  cdc_ChannelSelection = 0x04,  // bits 8-31 carry channel selection data
  cdc_RepeatAddr = 0x08,        // word 6 carries the repeat address
  cdc_MultiUser = 0x20,
};

inline constexpr uint8_t cCDCNoUser = 255;

class TCDCBlockHeader {
 public:
  uint32_t FWords[8] = {};

  // Reads the words from the first 32 bytes; false when there are fewer.
  bool Read(std::string_view bytes);

  uint32_t GetMagic() const { return FWords[0]; }
  uint32_t GetSize() const { return FWords[1]; }
  uint32_t GetByteCount() const { return FWords[2]; }
  // Payload position within the block: word 3 AND (size - 1).
  uint32_t GetOffset() const { return FWords[3] & (FWords[1] - 1u); }
  uint32_t GetFlags() const { return FWords[4]; }
  uint32_t GetWritePtr() const { return FWords[5]; }
  uint32_t GetReadPtr() const { return FWords[6]; }
  bool HasFlag(TZor_CDCFlag flag) const { return (FWords[4] & flag) != 0; }
  uint32_t GetChannelSelection() const { return FWords[4] >> 8; }
  uint32_t GetRepeatAddr() const { return FWords[6] & 0x300FFFFF; }

  // Magic present and the payload lies inside the block.
  bool IsValid() const;
  // User slot 1-4 taken from the write pointer; 255 when no user owns the block.
  uint8_t GetUser() const;
  // Bytes still waiting in the device's ring.
  uint32_t GetWaitingBytes() const;
  // After a reconnect: the repeat address matches this block (the device did not restart).
  bool IsConsistent() const;

  // The payload inside a block body; empty when the body is too short for it.
  std::string_view Payload(std::string_view body) const;

  // "CDC ByteCount=.., Offset=.., Flags=xxxxxx.xx[ ToolsData]".
  std::string Description() const;
  // The eight words as 8 hex digits, separated by ", " (error lines).
  std::string WordsText() const;
  // The eight words under cCDCStreamLogHeading.
  std::string WordsLogLine() const;
};

}  // namespace zor
