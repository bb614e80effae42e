// A virtual COM port for tests of the USB I/O thread: plugged into the
// simulated-device registry as "sim:ttyN", so the thread opens it the way it
// opens any port. The test feeds the byte stream the device sends, sees every
// command written, and can make the device vanish.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Zor_Utils.h"
#include "platform/Zor_SimUsb.h"
#include "usb/Zor_UsbDevice.h"

namespace zor::test {

struct TFakeSerialState {
  std::mutex Lock;
  std::condition_variable Cond;
  std::string Input;
  std::vector<std::string> Written;
  bool Gone = false;        // reads and writes fail with 1167
  bool FailWrites = false;  // writes fail with 1167, reads wait on
  bool Cancelled = false;
  int OpenPorts = 0;
  // Called (without the lock) with every command written; may Feed answers.
  std::function<void(const std::string &)> OnWrite;

  void Feed(const std::string &bytes) {
    {
      std::lock_guard<std::mutex> g(Lock);
      Input += bytes;
    }
    Cond.notify_all();
  }
  void Vanish() {
    {
      std::lock_guard<std::mutex> g(Lock);
      Gone = true;
    }
    Cond.notify_all();
  }
  std::vector<std::string> WrittenCommands() {
    std::lock_guard<std::mutex> g(Lock);
    return Written;
  }
  bool WaitWritten(size_t count, int ms = 2000) {
    std::unique_lock<std::mutex> g(Lock);
    return Cond.wait_for(g, std::chrono::milliseconds(ms), [&] { return Written.size() >= count; });
  }
  // Waits until the device's bytes have all been taken by reads.
  bool WaitConsumed(int ms = 2000) {
    std::unique_lock<std::mutex> g(Lock);
    return Cond.wait_for(g, std::chrono::milliseconds(ms), [&] { return Input.empty(); });
  }
};

class TFakeSerialPort : public platform::TZor_SerialPort {
 public:
  explicit TFakeSerialPort(std::shared_ptr<TFakeSerialState> state) : FState(std::move(state)) {
    std::lock_guard<std::mutex> g(FState->Lock);
    ++FState->OpenPorts;
  }
  ~TFakeSerialPort() override {
    std::lock_guard<std::mutex> g(FState->Lock);
    --FState->OpenPorts;
  }

  platform::TZor_IoResult Read(std::string &data, size_t maxBytes, uint32_t timeoutMs) override {
    std::unique_lock<std::mutex> g(FState->Lock);
    FState->Cond.wait_for(g, std::chrono::milliseconds(timeoutMs),
                          [&] { return !FState->Input.empty() || FState->Cancelled || FState->Gone; });
    if (FState->Gone) return Fail(platform::ERR_DEVICE_NOT_CONNECTED);
    if (!FState->Input.empty()) {
      data = FState->Input.substr(0, maxBytes);
      FState->Input.erase(0, data.size());
      FState->Cond.notify_all();
      return platform::TZor_IoResult::ioOk;
    }
    if (FState->Cancelled) {
      FState->Cancelled = false;
      return platform::TZor_IoResult::ioCancelled;
    }
    return platform::TZor_IoResult::ioTimeout;
  }

  platform::TZor_IoResult Write(const std::string &data, uint32_t, size_t &written) override {
    std::function<void(const std::string &)> hook;
    {
      std::lock_guard<std::mutex> g(FState->Lock);
      written = 0;
      if (FState->Gone || FState->FailWrites) return Fail(platform::ERR_DEVICE_NOT_CONNECTED);
      FState->Written.push_back(data);
      written = data.size();
      hook = FState->OnWrite;
    }
    FState->Cond.notify_all();
    if (hook) hook(data);
    return platform::TZor_IoResult::ioOk;
  }

  bool SetBaudRate(uint32_t) override { return true; }

  void CancelRead() override {
    {
      std::lock_guard<std::mutex> g(FState->Lock);
      FState->Cancelled = true;
    }
    FState->Cond.notify_all();
  }

  platform::TZor_SysError GetLastError() const override {
    std::lock_guard<std::mutex> g(FState->Lock);
    return FLastError;
  }

 private:
  platform::TZor_IoResult Fail(uint32_t code) {
    FLastError = {code, 0};
    return platform::TZor_IoResult::ioError;
  }
  std::shared_ptr<TFakeSerialState> FState;
  platform::TZor_SysError FLastError{};
};

// A fake virtual-COM-port device plugged in as "sim:ttyN" while the object lives.
class TPluggedSerial {
 public:
  static constexpr uint16_t EspPid = 0x0612;
  static constexpr uint16_t ColdfirePid = 0x0610;

  explicit TPluggedSerial(uint16_t pid = EspPid, const std::string &serial = "0000A001")
      : State(std::make_shared<TFakeSerialState>()), FPid(pid), FSerial(serial) {
    static std::atomic<int> next{1};
    const std::string n = std::to_string(next++);
    FInfo.VendorID = 0x16D0;
    FInfo.ProductID = pid;
    FInfo.Product = pid == EspPid ? "Zor ESP" : "Zor CDC";
    FInfo.SerialNumber = serial;
    FInfo.SysPath = "sim:usbtty" + n;
    FInfo.TtyNodes = {"sim:tty" + n};
    auto state = State;
    platform::PlugSimUsbDevice(FInfo, nullptr, [state](platform::TZor_SysError &) {
      return std::unique_ptr<platform::TZor_SerialPort>(std::make_unique<TFakeSerialPort>(state));
    });
  }
  ~TPluggedSerial() { platform::UnplugSimUsbDevice(FInfo.SysPath); }
  TPluggedSerial(const TPluggedSerial &) = delete;
  TPluggedSerial &operator=(const TPluggedSerial &) = delete;

  std::string Path() const {
    return FInfo.TtyNodes[0] + "#VID_16D0&PID_" + IntToHex(FPid, 4) + "#" + FSerial;
  }
  // A device object of one user; `slot` is the user slot it asks for (255: any).
  std::unique_ptr<TZor_UsbDevice> MakeDevice(uint8_t slot = 255, uint32_t readTimeoutMs = 20) const {
    auto device = std::make_unique<TZor_UsbDevice>(-1, 0, nullptr, true, Zor_CDC, Path(), 0x16D0, FPid,
                                                   FSerial, FInfo.Product);
    device->SetUserID(slot);
    device->SetReadTimeoutMs(readTimeoutMs);
    return device;
  }

  std::shared_ptr<TFakeSerialState> State;

 private:
  uint16_t FPid;
  std::string FSerial;
  platform::TZor_UsbDeviceInfo FInfo;
};

// Polls `done` every millisecond for up to `ms`.
template <class F>
bool WaitUntil(F done, int ms = 2000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace zor::test
