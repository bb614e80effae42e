#include "foundation/CircularBuffer.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "foundation/LogUnit.h"

namespace zor {

namespace {

bool IsFrameEnd(uint8_t b) { return b == 0xBD || b == 0xBF; }

// Position of the first frame-end byte in data[0, count), or count.
size_t FirstFrameEnd(const char *data, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (IsFrameEnd(static_cast<uint8_t>(data[i]))) return i;
  return count;
}

}  // namespace

TCircularBuffer::TCircularBuffer(int logId, bool threadSafe, platform::TZor_Event *receiveEvent)
    : FLogId(logId),
      FLockObj(threadSafe ? std::make_unique<std::recursive_mutex>() : nullptr),
      FReceiveEvent(receiveEvent) {}

uint32_t TCircularBuffer::GetAmount() {
  auto lock = Lock();
  return FAmount;
}

uint32_t TCircularBuffer::GetHighAmount() {
  auto lock = Lock();
  return FHighAmount;
}

uint32_t TCircularBuffer::GetAvailableSpace() {
  auto lock = Lock();
  return BufferSize - FAmount;
}

void TCircularBuffer::GetAmounts(uint32_t &amount, uint32_t &highAmount) {
  auto lock = Lock();
  amount = FAmount;
  highAmount = FHighAmount;
}

bool TCircularBuffer::GetBufferCleared() {
  auto lock = Lock();
  return std::exchange(FBufferCleared, false);
}

bool TCircularBuffer::GetDoResetEvent() {
  auto lock = Lock();
  return FDoResetEvent;
}

void TCircularBuffer::SetDoResetEvent(bool value) {
  auto lock = Lock();
  FDoResetEvent = value;
}

std::chrono::system_clock::time_point TCircularBuffer::GetReceivedTime() {
  auto lock = Lock();
  return FReceivedTime;
}

// Caller holds the lock.
bool TCircularBuffer::WriteAnsiIntern(const char *data, size_t count) {
  if (count > BufferSize - FAmount) return false;
  FReceivedTime = std::chrono::system_clock::now();
  if (count > 0) {
    const size_t first = std::min<size_t>(count, BufferSize - FWriteIndex);
    std::memcpy(FBuffer.data() + FWriteIndex, data, first);
    if (first < count) std::memcpy(FBuffer.data(), data + first, count - first);
  }
  FWriteIndex = (FWriteIndex + static_cast<uint32_t>(count)) & IndexMask;
  FAmount += static_cast<uint32_t>(count);
  FHighAmount = std::max(FHighAmount, FAmount);
  if (FReceiveEvent) FReceiveEvent->Signal();
  return true;
}

bool TCircularBuffer::Write(const uint8_t *data, size_t count) {
  auto lock = Lock();
  return WriteAnsiIntern(reinterpret_cast<const char *>(data), count);
}

bool TCircularBuffer::WriteAnsiString(const std::string &text) {
  return WriteAnsiString(text, 1, text.size());
}

bool TCircularBuffer::WriteAnsiString(const std::string &text, size_t offset, size_t count) {
  if (offset == 0 || count == 0 || offset - 1 > text.size() || count > text.size() - (offset - 1))
    return false;
  const char *data = text.data() + (offset - 1);
  try {
    auto lock = Lock();
    if (FToBeInsertedData.empty()) return WriteAnsiIntern(data, count);
    if (FAmount == 0) {
      // Nothing unfinished is stored, so the waiting frames can go first.
      if (!WriteAnsiIntern(FToBeInsertedData.data(), FToBeInsertedData.size())) return false;
      FToBeInsertedData.clear();
      return WriteAnsiIntern(data, count);
    }
    const size_t p = FirstFrameEnd(data, count);
    if (p == count) return WriteAnsiIntern(data, count);
    if (count + FToBeInsertedData.size() > BufferSize - FAmount) return false;
    WriteAnsiIntern(data, p + 1);
    WriteAnsiIntern(FToBeInsertedData.data(), FToBeInsertedData.size());
    FToBeInsertedData.clear();
    return WriteAnsiIntern(data + p + 1, count - p - 1);
  } catch (const std::exception &e) {
    LogExcept(FLogId, "TCircularBuffer.WriteAnsiString failed", e);
    throw;
  }
}

bool TCircularBuffer::InsertAnsiString(const std::string &text) {
  try {
    auto lock = Lock();
    if (text.size() > BufferSize - FAmount) return false;
    if (FAmount == 0 || FNoEOL) return WriteAnsiIntern(text.data(), text.size());
    // Bytes stored after the last frame end: the unfinished frame.
    uint32_t tail = 0;
    while (tail < FAmount && !IsFrameEnd(FBuffer[(FWriteIndex - 1 - tail) & IndexMask])) ++tail;
    if (tail == FAmount) {
      // Only the start of a frame is stored; the next frame end takes it.
      FToBeInsertedData += text;
      return true;
    }
    if (tail == 0) return WriteAnsiIntern(text.data(), text.size());
    std::string unfinished(tail, '\0');
    FWriteIndex = (FWriteIndex - tail) & IndexMask;
    FAmount -= tail;
    CopyOut(FWriteIndex, unfinished.data(), tail);
    WriteAnsiIntern(text.data(), text.size());
    WriteAnsiIntern(unfinished.data(), unfinished.size());
    return true;
  } catch (const std::exception &e) {
    LogExcept(FLogId, "TCircularBuffer.InsertAnsiString failed", e);
    throw;
  }
}

void TCircularBuffer::ResetEventIfWanted() {
  if (FReceiveEvent && FDoResetEvent) FReceiveEvent->Reset();
}

// Caller holds the lock and has checked that `count` bytes are stored from `from` on.
void TCircularBuffer::CopyOut(uint32_t from, char *dest, size_t count) const {
  const size_t first = std::min<size_t>(count, BufferSize - from);
  std::memcpy(dest, FBuffer.data() + from, first);
  if (first < count) std::memcpy(dest + first, FBuffer.data(), count - first);
}

// Caller holds the lock. False when the bytes cannot be delivered; the
// reader is then about to wait, so the event is reset.
bool TCircularBuffer::CanDeliver(size_t count, const char *caller) {
  if (FBufferCleared)
    LogText(FLogId, std::string("CircularBuffer.") + caller + " nichts liefern, BufferCleared");
  if (FBufferCleared || count > FAmount) {
    ResetEventIfWanted();
    return false;
  }
  return true;
}

bool TCircularBuffer::PeekChar(uint8_t &value) {
  auto lock = Lock();
  if (!CanDeliver(1, "PeekChar")) return false;
  value = FBuffer[FReadIndex];
  return true;
}

template <class TResult>
TResult TCircularBuffer::PeekAs(size_t count, const char *caller, bool consume) {
  TResult result;
  if (count == 0) return result;
  auto lock = Lock();
  if (!CanDeliver(count, caller)) return result;
  result.resize(count);
  CopyOut(FReadIndex, reinterpret_cast<char *>(result.data()), count);
  if (consume) ConfirmIntern(count);
  return result;
}

std::vector<uint8_t> TCircularBuffer::PeekData(size_t count) {
  return PeekAs<std::vector<uint8_t>>(count, "PeekData", false);
}

std::string TCircularBuffer::PeekAnsiString(size_t count) {
  return PeekAs<std::string>(count, "PeekAnsiString", false);
}

std::vector<uint8_t> TCircularBuffer::Read(size_t count) {
  return PeekAs<std::vector<uint8_t>>(count, "PeekData", true);
}

std::string TCircularBuffer::ReadAnsiString(size_t count) {
  return PeekAs<std::string>(count, "PeekAnsiString", true);
}

// Caller holds the lock.
bool TCircularBuffer::ConfirmIntern(size_t count) {
  if (count > FAmount) return false;
  FReadIndex = (FReadIndex + static_cast<uint32_t>(count)) & IndexMask;
  FAmount -= static_cast<uint32_t>(count);
  if (FAmount == 0) FHighAmount = 0;
  return true;
}

bool TCircularBuffer::ConfirmPeekedData(uint16_t count) {
  auto lock = Lock();
  return ConfirmIntern(count);
}

void TCircularBuffer::Clear() {
  auto lock = Lock();
  FReadIndex = 0;
  FWriteIndex = 0;
  if (FAmount > 0) {
    FBufferCleared = true;
    LogText(FLogId, "CircularBuffer.Clear: set BufferCleared");
  } else if (!FBufferCleared) {
    LogText(FLogId, "CircularBuffer.Clear: without set BufferCleared");
  }
  FAmount = 0;
  FHighAmount = 0;
  ResetEventIfWanted();
}

void TCircularBuffer::SetReceivedDataIgnored() {
  auto lock = Lock();
  if (!FBufferCleared) LogText(FLogId, "CircularBuffer.SetReceivedDataIgnored: set BufferCleared");
  FBufferCleared = true;
}

void TCircularBuffer::SetNoEOL() {
  // Locked although the flag only ever goes on: InsertAnsiString reads it on another thread.
  auto lock = Lock();
  LogText(FLogId, "CircularBuffer.SetNoEOL");
  FNoEOL = true;
}

}  // namespace zor
