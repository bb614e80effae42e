#include "platform/Zor_HidDescriptor.h"

#include <algorithm>
#include <vector>

namespace zor::platform {

namespace {

// Largest report the Linux HID core passes on (HID_MAX_BUFFER_SIZE).
constexpr uint64_t MaxReportBits = 16384 * 8;
constexpr size_t MaxGlobalStack = 16;

struct TGlobals {
  uint32_t ReportSize = 0;
  uint32_t ReportCount = 0;
  uint8_t ReportId = 0;
};

enum : uint8_t { itemMain = 0, itemGlobal = 1 };
enum : uint8_t { mainInput = 0x8, mainOutput = 0x9 };
enum : uint8_t { globalReportSize = 0x7, globalReportId = 0x8, globalReportCount = 0x9, globalPush = 0xA, globalPop = 0xB };

constexpr uint8_t LongItemPrefix = 0xFE;

uint32_t ByteLength(uint64_t bits) { return static_cast<uint32_t>((bits + 7) / 8); }

}  // namespace

bool ParseHidReportDescriptor(const uint8_t *data, size_t size, TZor_HidReportLayout &layout) {
  layout = {};
  TGlobals globals;
  std::vector<TGlobals> stack;
  std::map<uint8_t, uint64_t> inputBits, outputBits;
  size_t i = 0;
  while (i < size) {
    const uint8_t prefix = data[i++];
    if (prefix == LongItemPrefix) {  // carries nothing about lengths: skip it whole
      if (size - i < 2) return false;
      const size_t dataSize = data[i];
      i += 2;
      if (size - i < dataSize) return false;
      i += dataSize;
      continue;
    }
    static constexpr size_t sizes[4] = {0, 1, 2, 4};
    const size_t n = sizes[prefix & 3];
    if (size - i < n) return false;
    uint32_t value = 0;
    for (size_t k = 0; k < n; ++k) value |= static_cast<uint32_t>(data[i + k]) << (8 * k);
    i += n;
    const uint8_t type = (prefix >> 2) & 3, tag = prefix >> 4;
    if (type == itemGlobal) {
      switch (tag) {
      case globalReportSize: globals.ReportSize = value; break;
      case globalReportCount: globals.ReportCount = value; break;
      case globalReportId:
        if (value == 0 || value > 0xFF) return false;
        globals.ReportId = static_cast<uint8_t>(value);
        layout.Numbered = true;
        break;
      case globalPush:
        if (stack.size() >= MaxGlobalStack) return false;
        stack.push_back(globals);
        break;
      case globalPop:
        if (stack.empty()) return false;
        globals = stack.back();
        stack.pop_back();
        break;
      default: break;
      }
    } else if (type == itemMain && (tag == mainInput || tag == mainOutput)) {
      auto &bits = (tag == mainInput ? inputBits : outputBits)[globals.ReportId];
      // Both factors are below 2^32, so the product cannot overflow 64 bits.
      bits += static_cast<uint64_t>(globals.ReportSize) * globals.ReportCount;
      if (bits > MaxReportBits) return false;
    }
  }
  // Items before the first Report ID of a numbered device belong to no report.
  const auto unnamed = [](const auto &bits) { return bits.count(0) && bits.at(0) > 0; };
  if (layout.Numbered && (unnamed(inputBits) || unnamed(outputBits))) return false;
  uint64_t maxIn = 0, maxOut = 0;
  for (const auto &[id, bits] : inputBits) {
    layout.InputBytes[id] = ByteLength(bits);
    maxIn = std::max<uint64_t>(maxIn, bits);
  }
  for (const auto &[id, bits] : outputBits) maxOut = std::max<uint64_t>(maxOut, bits);
  if (maxIn == 0 || maxOut == 0) return false;
  layout.InputLength = ByteLength(maxIn) + 1;
  layout.OutputLength = ByteLength(maxOut) + 1;
  return true;
}

}  // namespace zor::platform
