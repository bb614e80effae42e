#include "firmware/Uploader_Common.h"

#include <array>
#include <mutex>
#include <random>

#include "firmware/Zor_ConfigChecks.h"

namespace zor {

namespace {

// Indexed by -code for the failures.
const std::array<const char *, 23> kFailureTexts = {
    "",
    "File not found",
    "Open error",
    "Write error",
    "Format error in S-Record",
    "Read error",
    "Programming failed",
    "Download failed",
    "Invalid parameter",
    "Zor device missing",
    "Timeout",
    "No connection",
    "Command denied",
    "Access via network not supported, Firmwareversion >=19 needed",
    "Not a bootloader file",
    "Not a firmware file",
    "No reset, please reset Zor device manually",
    "Too many user",
    "Re-Power needed",
    "Reference clock error",
    "Hardware fault",
    "Verify failed",
    "Not an ESP image",
};

}  // namespace

std::string ErrorText(int code) {
  switch (code) {
    case fwr_NoError: return "No error";
    case fwr_Canceled: return "Canceled by user";
    case fwr_FlashUnchanged: return "Flash unchanged";
    default: break;
  }
  if (code < 0 && code >= fwr_LowestCode) return kFailureTexts[static_cast<size_t>(-code)];
  return "Unknown: " + std::to_string(code);
}

std::string MessageTypeToText(TMessageType mType) {
  switch (mType) {
    case mtInfo: return "Info";
    case mtOk: return "Ok";
    case mtErr: return "Error";
    case mtErrInfo: return "ErrorInfo";
    case mtWarning: return "Warning";
  }
  return std::to_string(static_cast<int>(mType));
}

std::optional<uint32_t> ParsePassword(const std::string &text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  return ParseHex32(text);
}

std::string MakeLoginText(uint32_t password) {
  constexpr uint32_t loginKey = 0x3D71C4A9;
  static std::mutex lock;
  static std::mt19937 random{std::random_device{}()};
  uint32_t r;
  {
    std::lock_guard<std::mutex> g(lock);
    r = std::uniform_int_distribution<uint32_t>(0, 0x7FFFFFFE)(random);
  }
  const uint32_t x = password ^ loginKey;
  auto byte = [](uint32_t v, int n) { return static_cast<char>((v >> (8 * n)) & 0xFF); };
  return {byte(r, 3), byte(r, 2), byte(x, 2), byte(x, 1), byte(r, 1), byte(x, 0), byte(r, 0), byte(x, 3)};
}

}  // namespace zor
