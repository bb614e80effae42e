// A HID device for tests of the USB device object: plugged into the
// simulated-device registry, so the object opens it the way it opens any
// "sim:" node. The test feeds input reports, sees every output report and
// can make writes fail, reads block without deadline, or the device vanish.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/Zor_Utils.h"
#include "platform/Zor_SimUsb.h"
#include "usb/Zor_UsbDevice.h"

namespace zor::test {

struct TFakeHidState {
  std::mutex Lock;
  std::condition_variable Cond;
  uint32_t InputLength = 65;
  uint32_t OutputLength = 65;
  std::deque<std::string> Input;
  std::vector<std::string> Written;
  int WriteCalls = 0;
  int FailWriteAt = -1;        // this write call (counted from 0) fails
  bool Gone = false;           // reads and writes fail with 1167
  bool IgnoreDeadline = false;  // a read waits for data, cancel or removal only
  bool Cancelled = false;
  int ReadsPending = 0;
  int OpenPorts = 0;
  platform::TZor_SysError OpenError{};  // a code here makes the open fail

  void Feed(const std::string &report) {
    {
      std::lock_guard<std::mutex> g(Lock);
      Input.push_back(report);
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
  std::vector<std::string> WrittenReports() {
    std::lock_guard<std::mutex> g(Lock);
    return Written;
  }
  // Waits until at least `count` reports were written.
  bool WaitWritten(size_t count, int ms = 2000) {
    std::unique_lock<std::mutex> g(Lock);
    return Cond.wait_for(g, std::chrono::milliseconds(ms), [&] { return Written.size() >= count; });
  }
  bool WaitReadPending(int ms = 2000) {
    std::unique_lock<std::mutex> g(Lock);
    return Cond.wait_for(g, std::chrono::milliseconds(ms), [&] { return ReadsPending > 0; });
  }
  int Pending() {
    std::lock_guard<std::mutex> g(Lock);
    return ReadsPending;
  }
  int Open() {
    std::lock_guard<std::mutex> g(Lock);
    return OpenPorts;
  }
};

class TFakeHidPort : public platform::TZor_HidPort {
 public:
  explicit TFakeHidPort(std::shared_ptr<TFakeHidState> state) : FState(std::move(state)) {
    std::lock_guard<std::mutex> g(FState->Lock);
    ++FState->OpenPorts;
  }
  ~TFakeHidPort() override {
    std::lock_guard<std::mutex> g(FState->Lock);
    --FState->OpenPorts;
  }
  uint32_t InputReportLength() const override { return FState->InputLength; }
  uint32_t OutputReportLength() const override { return FState->OutputLength; }

  platform::TZor_IoResult Read(std::string &report, uint32_t timeoutMs) override {
    std::unique_lock<std::mutex> g(FState->Lock);
    ++FState->ReadsPending;
    FState->Cond.notify_all();
    auto ready = [&] { return !FState->Input.empty() || FState->Cancelled || FState->Gone; };
    if (FState->IgnoreDeadline)
      FState->Cond.wait(g, ready);
    else
      FState->Cond.wait_for(g, std::chrono::milliseconds(timeoutMs), ready);
    --FState->ReadsPending;
    if (FState->Gone) return Fail(platform::ERR_DEVICE_NOT_CONNECTED);
    if (!FState->Input.empty()) {
      report = FState->Input.front();
      FState->Input.pop_front();
      return platform::TZor_IoResult::ioOk;
    }
    if (FState->Cancelled) {
      FState->Cancelled = false;
      return platform::TZor_IoResult::ioCancelled;
    }
    return platform::TZor_IoResult::ioTimeout;
  }

  platform::TZor_IoResult Write(const std::string &report, uint32_t) override {
    std::lock_guard<std::mutex> g(FState->Lock);
    if (FState->Gone) return Fail(platform::ERR_DEVICE_NOT_CONNECTED);
    if (FState->WriteCalls++ == FState->FailWriteAt) return Fail(31);
    FState->Written.push_back(report);
    FState->Cond.notify_all();
    return platform::TZor_IoResult::ioOk;
  }

  void CancelRead() override {
    {
      std::lock_guard<std::mutex> g(FState->Lock);
      FState->Cancelled = true;
    }
    FState->Cond.notify_all();
  }

  platform::TZor_SysError GetLastError() const override { return FLastError; }

 private:
  platform::TZor_IoResult Fail(uint32_t code) {
    FLastError = {code, 0};
    return platform::TZor_IoResult::ioError;
  }
  std::shared_ptr<TFakeHidState> FState;
  platform::TZor_SysError FLastError{};
};

// One input report of `length` bytes (report ID included) carrying `data`
// and the device's two counters.
inline std::string InputReport(const std::string &data, uint32_t readCounter = 0, uint32_t length = 65) {
  std::string report(length, '\0');
  report[1] = static_cast<char>(data.size() + 8);
  report.replace(2, data.size(), data);
  for (int i = 0; i < 4; ++i) report[length - 5 + i] = static_cast<char>(readCounter >> (24 - 8 * i));
  return report;
}

// The reports of a message longer than one report: length byte, data and
// the two counters, cut into pieces of length - 2 bytes.
inline std::vector<std::string> MessageReports(const std::string &data, uint32_t length = 65) {
  std::string stream = static_cast<char>(data.size() + 8) + data + std::string(8, '\x11');
  std::vector<std::string> reports;
  for (size_t at = 0; at < stream.size(); at += length - 2) {
    std::string report(length, '\0');
    std::string piece = stream.substr(at, length - 2);
    report.replace(1, piece.size(), piece);
    reports.push_back(report);
  }
  return reports;
}

// `n` bytes counting up from `first`.
inline std::string Counting(size_t n, int first = 1) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>((first + i) & 0xFF);
  return s;
}

// A fake HID device plugged in as "sim:hidN" for the lifetime of the object.
class TPluggedHid {
 public:
  explicit TPluggedHid(uint16_t pid = 0x0611, const std::string &product = "Zor HID",
                       const std::string &serial = "00001001")
      : State(std::make_shared<TFakeHidState>()), FPid(pid), FProduct(product), FSerial(serial) {
    static int next = 1;
    const std::string n = std::to_string(next++);
    FInfo.VendorID = 0x16D0;
    FInfo.ProductID = pid;
    FInfo.Product = product;
    FInfo.SerialNumber = serial;
    FInfo.SysPath = "sim:usb" + n;
    FInfo.HidNodes = {"sim:hid" + n};
    auto state = State;
    platform::PlugSimUsbDevice(FInfo, [state](platform::TZor_SysError &error) -> std::unique_ptr<platform::TZor_HidPort> {
      if (state->OpenError.Code) {
        error = state->OpenError;
        return nullptr;
      }
      return std::make_unique<TFakeHidPort>(state);
    });
  }
  ~TPluggedHid() { platform::UnplugSimUsbDevice(FInfo.SysPath); }

  std::string Path() const { return FInfo.HidNodes[0] + "#VID_16D0&PID_" + IntToHex(FPid, 4) + "#" + FSerial; }
  std::unique_ptr<TZor_UsbDevice> MakeDevice(int logId = -1) const {
    return std::make_unique<TZor_UsbDevice>(logId, 0, nullptr, true, Zor_HID, Path(), 0x16D0, FPid, FSerial,
                                            FProduct);
  }

  std::shared_ptr<TFakeHidState> State;

 private:
  platform::TZor_UsbDeviceInfo FInfo;
  uint16_t FPid;
  std::string FProduct;
  std::string FSerial;
};

}  // namespace zor::test
