#include "tests/support/Zor_TestDevice.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/CircularBuffer.h"
#include "foundation/LogUnit.h"

namespace zor {

TZor_LogCapture::TZor_LogCapture() : FId(CreateLog()) {
  static std::atomic<int> counter{0};
  auto path = std::filesystem::temp_directory_path() /
              ("zor_logcapture_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + ".log");
  FFileName = path.string();
  SetLogFile(FId, FFileName, false);
}

TZor_LogCapture::~TZor_LogCapture() {
  SetLogFile(FId, "", false);
  std::error_code ec;
  std::filesystem::remove(FFileName, ec);
}

std::string TZor_LogCapture::Text() const {
  std::ifstream in(FFileName, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int TZor_LogCapture::Count(const std::string &part) const {
  std::istringstream lines(Text());
  int count = 0;
  for (std::string line; std::getline(lines, line);)
    if (line.find(part) != std::string::npos) ++count;
  return count;
}

TZor_TestDevice::TZor_TestDevice(TZor_DeviceType devType, TZor_PeerType peerType, int logId, int multiId)
    : TZor_BaseDevice(logId, true, nullptr, multiId) {
  FDevType = devType;
  FPeerType = peerType;
  FDevicePath = "test";
}

bool TZor_TestDevice::CheckDeviceClosed() {
  if (FLinkLost) SetError(Zor_DeviceNotConnected, "device not connected");
  return FLinkLost;
}

void TZor_TestDevice::ClosePort() {
  ++CloseCount;
  FPortIsOpened = false;
}

bool TZor_TestDevice::OpenPort(std::string &errorMessage) {
  ++OpenCount;
  errorMessage.clear();
  FPortIsOpened = true;
  return true;
}

bool TZor_TestDevice::DeviceWrite(const std::string &command) {
  {
    std::lock_guard<std::mutex> g(FWritesLock);
    if (FFailWrites > 0) {
      --FFailWrites;
      SetError(FFailCode, FFailMessage);
      return false;
    }
    FWrites.push_back(command);
  }
  if (OnWrite) OnWrite(command);
  return true;
}

bool TZor_TestDevice::Feed(const std::string &bytes) { return GetReceiveBuffer().WriteAnsiString(bytes); }

bool TZor_TestDevice::FeedTools(const std::string &bytes) { return GetToolsBuffer().WriteAnsiString(bytes); }

std::vector<std::string> TZor_TestDevice::Writes() const {
  std::lock_guard<std::mutex> g(FWritesLock);
  return FWrites;
}

void TZor_TestDevice::ClearWrites() {
  std::lock_guard<std::mutex> g(FWritesLock);
  FWrites.clear();
}

void TZor_TestDevice::FailNextWrites(int count, TZor_Result code, const std::string &message) {
  std::lock_guard<std::mutex> g(FWritesLock);
  FFailWrites = count;
  FFailCode = code;
  FFailMessage = message;
}

}  // namespace zor
