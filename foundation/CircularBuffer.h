// The 1 MiB byte ring of a device object. I/O threads write what the device
// sends; the main thread peeks at it and confirms bytes once it has recognised
// a whole report. Writes are all-or-nothing so a frame is never stored in part.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Zor_Sys.h"

namespace zor {

class TCircularBuffer {
 public:
  static constexpr uint32_t BufferSize = 1u << 20;
  static constexpr uint32_t IndexMask = BufferSize - 1;

  // `receiveEvent` (may be null, not owned) is signalled after every write.
  // Without `threadSafe` the buffer takes no lock at all.
  TCircularBuffer(int logId, bool threadSafe, platform::TZor_Event *receiveEvent);
  TCircularBuffer(const TCircularBuffer &) = delete;
  TCircularBuffer &operator=(const TCircularBuffer &) = delete;

  uint32_t GetAmount();
  uint32_t GetHighAmount();
  uint32_t GetAvailableSpace();
  void GetAmounts(uint32_t &amount, uint32_t &highAmount);
  // Returns the flag and clears it in one step: the reader has now seen the break.
  bool GetBufferCleared();
  bool GetDoResetEvent();
  void SetDoResetEvent(bool value);
  std::chrono::system_clock::time_point GetReceivedTime();
  platform::TZor_Event *GetReceiveEvent() const { return FReceiveEvent; }

  // All-or-nothing: false (and nothing written) when the bytes do not fit.
  bool Write(const uint8_t *data, size_t count);
  bool Write(const std::vector<uint8_t> &bytes) { return Write(bytes.data(), bytes.size()); }
  bool WriteAnsiString(const std::string &text);
  // `count` bytes of `text` from the 1-based `offset`. Frames waiting from
  // InsertAnsiString go in right after the first frame-end byte written.
  bool WriteAnsiString(const std::string &text, size_t offset, size_t count);
  // Places `text` between complete frames: before an unfinished frame at the
  // end of the buffer, or after the next frame end when only a frame start is stored.
  bool InsertAnsiString(const std::string &text);

  // Peeks deliver nothing while fewer bytes are stored or the cleared flag is set.
  bool PeekChar(uint8_t &value);
  std::vector<uint8_t> PeekData(size_t count);
  std::string PeekAnsiString(size_t count);
  // The count is 16 bits wide; Read and ReadAnsiString consume any count.
  bool ConfirmPeekedData(uint16_t count);
  std::vector<uint8_t> Read(size_t count);
  std::string ReadAnsiString(size_t count);

  void Clear();
  // Keeps the bytes but blocks peeks until the cleared flag has been read.
  void SetReceivedDataIgnored();
  // For streams without frame-end bytes: insertions become plain appends. Permanent.
  void SetNoEOL();

 private:
  using TLock = std::unique_lock<std::recursive_mutex>;
  TLock Lock() { return FLockObj ? TLock(*FLockObj) : TLock(); }

  bool WriteAnsiIntern(const char *data, size_t count);
  bool CanDeliver(size_t count, const char *caller);
  void CopyOut(uint32_t from, char *dest, size_t count) const;
  bool ConfirmIntern(size_t count);
  void ResetEventIfWanted();
  template <class TResult>
  TResult PeekAs(size_t count, const char *caller, bool consume);

  int FLogId;
  std::array<uint8_t, BufferSize> FBuffer;
  bool FBufferCleared = false;
  uint32_t FReadIndex = 0;
  uint32_t FWriteIndex = 0;
  bool FNoEOL = false;
  std::string FToBeInsertedData;
  uint32_t FAmount = 0;
  uint32_t FHighAmount = 0;
  std::unique_ptr<std::recursive_mutex> FLockObj;
  platform::TZor_Event *FReceiveEvent;
  std::chrono::system_clock::time_point FReceivedTime;
  bool FDoResetEvent = true;
};

}  // namespace zor
