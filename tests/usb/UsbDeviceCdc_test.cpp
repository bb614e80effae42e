// The USB device object on a virtual COM port: opening and closing through
// the shared I/O thread, several users on one device, and the recovery of a
// broken stream, against a scripted serial port in the simulated USB registry.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/CircularBuffer.h"
#include "foundation/Zor_Utils.h"
#include "platform/Zor_SimUsb.h"
#include "sim/SimFormats.h"
#include "tests/support/Zor_TestDevice.h"
#include "usb/USBUtils.h"
#include "usb/Zor_UsbDevice.h"
#include "usb/Zor_UsbThread.h"

namespace zor {
namespace {

// ---- a scripted serial port ---------------------------------------------------------

struct TSerialState {
  std::mutex Lock;
  std::condition_variable Cond;
  std::string Input;
  std::vector<std::string> Written;  // every write, in order, across reopenings
  int Opened = 0;                    // ports opened so far
  int OpenPorts = 0;                 // ports open now
  uint32_t OpenError = 0;            // a code here makes the next opens fail
  uint32_t FailCode = 0;             // a code here makes reads and writes of open ports fail

  void Feed(const std::string &bytes) {
    {
      std::lock_guard<std::mutex> g(Lock);
      Input += bytes;
    }
    Cond.notify_all();
  }
  void Fail(uint32_t code) {
    {
      std::lock_guard<std::mutex> g(Lock);
      FailCode = code;
    }
    Cond.notify_all();
  }
  std::vector<std::string> Wire() {
    std::lock_guard<std::mutex> g(Lock);
    return Written;
  }
  int Count(const std::string &command) {
    std::lock_guard<std::mutex> g(Lock);
    int n = 0;
    for (const std::string &w : Written) n += w == command;
    return n;
  }
  bool WaitWritten(const std::string &command, int times = 1, int ms = 3000) {
    std::unique_lock<std::mutex> g(Lock);
    return Cond.wait_for(g, std::chrono::milliseconds(ms), [&] {
      int n = 0;
      for (const std::string &w : Written) n += w == command;
      return n >= times;
    });
  }
  int Open() {
    std::lock_guard<std::mutex> g(Lock);
    return OpenPorts;
  }
};

class TScriptedSerial : public platform::TZor_SerialPort {
 public:
  explicit TScriptedSerial(std::shared_ptr<TSerialState> state) : FState(std::move(state)) {
    std::lock_guard<std::mutex> g(FState->Lock);
    ++FState->Opened;
    ++FState->OpenPorts;
  }
  ~TScriptedSerial() override {
    std::lock_guard<std::mutex> g(FState->Lock);
    --FState->OpenPorts;
  }
  platform::TZor_IoResult Read(std::string &data, size_t maxBytes, uint32_t timeoutMs) override {
    std::unique_lock<std::mutex> g(FState->Lock);
    FState->Cond.wait_for(g, std::chrono::milliseconds(timeoutMs),
                          [&] { return !FState->Input.empty() || FCancelled || FState->FailCode; });
    data.clear();
    if (FState->FailCode) return Failed(FState->FailCode);
    if (FCancelled) {
      FCancelled = false;
      return platform::TZor_IoResult::ioCancelled;
    }
    if (FState->Input.empty()) return platform::TZor_IoResult::ioTimeout;
    data = FState->Input.substr(0, maxBytes);
    FState->Input.erase(0, data.size());
    return platform::TZor_IoResult::ioOk;
  }
  platform::TZor_IoResult Write(const std::string &data, uint32_t, size_t &written) override {
    std::lock_guard<std::mutex> g(FState->Lock);
    written = 0;
    if (FState->FailCode) return Failed(FState->FailCode);
    FState->Written.push_back(data);
    written = data.size();
    FState->Cond.notify_all();
    return platform::TZor_IoResult::ioOk;
  }
  bool SetBaudRate(uint32_t) override { return true; }
  void CancelRead() override {
    {
      std::lock_guard<std::mutex> g(FState->Lock);
      FCancelled = true;
    }
    FState->Cond.notify_all();
  }
  platform::TZor_SysError GetLastError() const override { return FError; }

 private:
  platform::TZor_IoResult Failed(uint32_t code) {
    FError = {code, 0};
    return platform::TZor_IoResult::ioError;
  }
  std::shared_ptr<TSerialState> FState;
  bool FCancelled = false;  // under FState->Lock
  platform::TZor_SysError FError{};
};

// One device with a serial port, plugged in for the life of the object.
class TPluggedCdc {
 public:
  explicit TPluggedCdc(uint16_t pid, const std::string &serial = "00002001")
      : State(std::make_shared<TSerialState>()), FPid(pid), FSerial(serial) {
    static int next = 1;
    const std::string n = std::to_string(next++);
    FInfo.VendorID = 0x16D0;
    FInfo.ProductID = pid;
    FInfo.Product = "Zor CDC";
    FInfo.SerialNumber = serial;
    FInfo.SysPath = "sim:cdcusb" + n;
    FInfo.TtyNodes = {"sim:cdctty" + n};
    Plug();
  }
  ~TPluggedCdc() { Unplug(); }

  void Plug() {
    auto state = State;
    platform::PlugSimUsbDevice(FInfo, nullptr, [state](platform::TZor_SysError &error) {
      std::unique_ptr<platform::TZor_SerialPort> port;
      std::lock_guard<std::mutex> g(state->Lock);
      if (state->OpenError)
        error = {state->OpenError, 0};
      else
        port = std::make_unique<TScriptedSerial>(state);
      return port;
    });
  }
  void Unplug() { platform::UnplugSimUsbDevice(FInfo.SysPath); }

  std::unique_ptr<TZor_UsbDevice> MakeDevice(int logId = -1) const {
    return std::make_unique<TZor_UsbDevice>(logId, 0, nullptr, true, Zor_CDC,
                                            MakeUsbDevicePath(FInfo.TtyNodes[0], 0x16D0, FPid, FSerial), 0x16D0,
                                            FPid, FSerial, "Zor CDC");
  }

  std::shared_ptr<TSerialState> State;

 private:
  platform::TZor_UsbDeviceInfo FInfo;
  uint16_t FPid;
  std::string FSerial;
};

constexpr uint16_t ColdfirePid = 0x0610;
constexpr uint16_t EspPid = 0x0612;

std::string Framed(const std::string &command) { return static_cast<char>(command.size()) + command; }

bool Eventually(const std::function<bool()> &condition, int ms = 3000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// ---- opening and closing -----------------------------------------------------------

TEST(UsbDeviceCdc, ColdfireStreamAndToolsModeSendTheirFirstCommandAndCloseCompletely) {
  TPluggedCdc port(ColdfirePid);
  {
    auto device = port.MakeDevice();
    std::string error;
    ASSERT_TRUE(device->OpenPort(error)) << error;
    EXPECT_TRUE(port.State->WaitWritten(Framed("\xBE")));
    EXPECT_FALSE(UsbThreadList().IsEmpty());
    device->ClosePort();
    EXPECT_TRUE(port.State->WaitWritten(Framed(std::string("\x85\x60", 2)), 1, 0));
    EXPECT_TRUE(UsbThreadList().IsEmpty());
    EXPECT_EQ(port.State->Open(), 0);
  }
  {
    auto device = port.MakeDevice();
    device->SetContextTool(true);
    device->SetUserID(3);
    std::string error;
    ASSERT_TRUE(device->OpenPort(error)) << error;
    // Tools mode writes on the caller's thread: it is on the wire at once.
    EXPECT_TRUE(port.State->WaitWritten(Framed(std::string("\x85\x10", 2)), 1, 0));
    device->ClosePort();
    EXPECT_TRUE(port.State->WaitWritten(Framed(std::string("\x85\x11", 2)), 1, 0));
    EXPECT_TRUE(port.State->WaitWritten(Framed(std::string("\x85\x60", 2)), 2, 0));
    EXPECT_TRUE(UsbThreadList().IsEmpty());
    EXPECT_EQ(port.State->Open(), 0);
  }
}

TEST(UsbDeviceCdc, EspRegistersForItsSlotAsksForTheHardwareFeatureAndDropsTheFirstVersionCommand) {
  TPluggedCdc port(EspPid);
  TZor_LogCapture log;
  auto device = port.MakeDevice(log.Id());
  device->SetUserID(2);
  std::string error;
  ASSERT_TRUE(device->OpenPort(error)) << error;
  EXPECT_TRUE(port.State->WaitWritten(Framed(std::string("\xBE\x01", 2))));
  EXPECT_EQ(device->GetCmdResponse(), crt_login);
  EXPECT_EQ(log.Count("TZor_UsbDevice.OpenPort ESP -> read HardFeature"), 1);

  EXPECT_TRUE(device->DeviceWrite("\x01"));
  EXPECT_EQ(log.Count("ignore first version command"), 1);
  EXPECT_TRUE(device->DeviceWrite("\x01"));
  EXPECT_EQ(log.Count("ignore first version command"), 1);
  device->SetCmdResponse(crt_none);
  EXPECT_TRUE(port.State->WaitWritten(Framed("\x01")));
  EXPECT_EQ(port.State->Count(Framed("\x01")), 1);
  device->ClosePort();
  EXPECT_TRUE(UsbThreadList().IsEmpty());
  EXPECT_EQ(port.State->Open(), 0);
}

TEST(UsbDeviceCdc, UsersOfAMultiUserDeviceShareOneThreadUntilTheLastLeaves) {
  TPluggedCdc port(EspPid);
  auto first = port.MakeDevice();
  auto second = port.MakeDevice();
  std::string error;
  ASSERT_TRUE(first->OpenPort(error)) << error;
  ASSERT_TRUE(second->OpenPort(error)) << error;
  EXPECT_EQ(first->GetUsbThread(), second->GetUsbThread());
  EXPECT_EQ(port.State->Open(), 1);

  // The owner goes first: the other user keeps the thread and the port.
  std::shared_ptr<TZor_UsbThread> thread = first->GetUsbThread();
  first->ClosePort();
  EXPECT_FALSE(thread->GetTerminated());
  EXPECT_FALSE(UsbThreadList().IsEmpty());
  EXPECT_EQ(thread->GetOwner(), second.get());
  thread.reset();

  second->ClosePort();
  EXPECT_TRUE(UsbThreadList().IsEmpty());
  EXPECT_EQ(port.State->Open(), 0);
}

TEST(UsbDeviceCdc, ASingleUserDeviceRefusesASecondObject) {
  TPluggedCdc port(ColdfirePid);
  auto first = port.MakeDevice();
  auto second = port.MakeDevice();
  std::string error;
  ASSERT_TRUE(first->OpenPort(error)) << error;
  EXPECT_FALSE(second->OpenPort(error));
  EXPECT_EQ(error, "Error open Zor device \"USB: 00002001\": USB device is already in use");
  EXPECT_EQ(second->GetErrorCode(), Zor_TooManyUser);
  EXPECT_EQ(port.State->Open(), 1);
  second->ClosePort();
  first->ClosePort();
  EXPECT_TRUE(UsbThreadList().IsEmpty());
}

TEST(UsbDeviceCdc, ToolsModeAllowsNoSecondUsbConnection) {
  TPluggedCdc stream(ColdfirePid, "00002002");
  TPluggedCdc tools(ColdfirePid, "00002003");
  auto held = stream.MakeDevice();
  auto device = tools.MakeDevice();
  device->SetContextTool(true);
  std::string error;
  ASSERT_TRUE(held->OpenPort(error)) << error;
  EXPECT_FALSE(device->OpenPort(error));
  EXPECT_EQ(error, "No other USB connection allowed");
  EXPECT_EQ(device->GetErrorCode(), Zor_DLL_internalError);
  held->ClosePort();
  EXPECT_TRUE(UsbThreadList().IsEmpty());
}

// ---- recovery -------------------------------------------------------------------------

class UsbDeviceCdcRecovery : public ::testing::Test {
 protected:
  void SetUp() override {
    device = port.MakeDevice(log.Id());
    std::string error;
    ASSERT_TRUE(device->OpenPort(error)) << error;
    ASSERT_TRUE(port.State->WaitWritten(Framed("\xBE")));
    // The device confirms the user and tells where its ring stands.
    port.State->Feed(stream.Block("", simCdcBufferCleared | simCdcRepeatAddr));
    port.State->Feed(stream.Block(std::string(40, 'a'), simCdcRepeatAddr));
    ASSERT_TRUE(Eventually([&] { return device->GetPeerRepeatAddr() != 0; }));
    device->SetReceivedSec(5);
  }
  void TearDown() override {
    device->ClosePort();
    EXPECT_TRUE(UsbThreadList().IsEmpty());
    EXPECT_EQ(port.State->Open(), 0);
  }
  // The port breaks and comes back: the thread ends, the next read notices.
  void Break() {
    port.State->Fail(31);
    ASSERT_TRUE(Eventually([&] { return device->GetUsbThread() && device->GetUsbThread()->GetTerminated(); }));
    port.State->Fail(0);
  }
  void ReadOnce() {
    device->GetReceiveBuffer().Clear();
    std::string text;
    device->DeviceRead(10, text);
  }
  std::string ResumeCommand() const {
    return Framed(std::string("\x85\x73", 2) + SimBE32(device->GetPeerRepeatAddr()));
  }

  TPluggedCdc port{ColdfirePid};
  TZor_LogCapture log;
  TSimCdcStream stream{1};
  std::unique_ptr<TZor_UsbDevice> device;
};

TEST_F(UsbDeviceCdcRecovery, ResumesFromTheRingAddressAndTheNextBufferReportConfirms) {
  const std::string resume = ResumeCommand();
  Break();
  ReadOnce();
  EXPECT_EQ(port.State->Count(resume), 1);
  EXPECT_TRUE(device->GetIsReconnected());
  EXPECT_EQ(device->GetErrorCode(), Zor_Err_DataTransferInterrupted);
  EXPECT_TRUE(device->IsSessionOpen());
  port.State->Feed(stream.Block(std::string(8, 'b'), simCdcRepeatAddr));
  EXPECT_TRUE(Eventually([&] { return !device->GetIsReconnected(); }));
}

TEST_F(UsbDeviceCdcRecovery, AnUnconfirmedResumptionIsRecoveredAgainEveryTime) {
  device->SetReconnectTimeout(300);
  Break();
  ReadOnce();
  ASSERT_TRUE(device->GetIsReconnected());
  const std::string lost = "RecoverFromUSBError after reconnect: Data lost! Data transfer restarted";
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(Eventually([&] {
      ReadOnce();
      return log.Count(lost) == round;
    })) << "round " << round;
    EXPECT_EQ(device->GetErrorCode(), Zor_Err_Reconnected);
    EXPECT_EQ(device->GetErrorMessage(), "Data lost! Data transfer restarted");
    EXPECT_TRUE(device->GetIsReconnected());
    EXPECT_EQ(device->GetPeerRepeatAddr(), 0u);
    // The user registers again on a fresh connection.
    EXPECT_TRUE(port.State->WaitWritten(Framed("\xBE"), round + 1));
  }
}

TEST_F(UsbDeviceCdcRecovery, AReopenThatFindsNoPortLeavesTheDeviceNotConnectedAndTriesAgainLater) {
  Break();
  port.State->OpenError = 2;
  ReadOnce();
  EXPECT_EQ(device->GetErrorCode(), Zor_DeviceNotConnected);
  EXPECT_TRUE(device->GetRecoverNeeded());
  EXPECT_TRUE(UsbThreadList().IsEmpty());

  port.State->OpenError = 0;
  ReadOnce();
  EXPECT_FALSE(device->GetRecoverNeeded());
  EXPECT_TRUE(device->IsSessionOpen());
  EXPECT_FALSE(UsbThreadList().IsEmpty());
}

TEST_F(UsbDeviceCdcRecovery, APortThatVanishesIsADeviceNotConnected) {
  port.Unplug();
  port.State->Fail(platform::ERR_DEVICE_NOT_CONNECTED);
  ASSERT_TRUE(Eventually([&] { return device->GetUsbThread() && device->GetUsbThread()->GetTerminated(); }));
  ReadOnce();
  EXPECT_EQ(device->GetErrorCode(), Zor_DeviceNotConnected);
  EXPECT_TRUE(device->GetRecoverNeeded());

  // Back again: the next read takes the stream up where it broke off.
  port.State->Fail(0);
  port.Plug();
  const std::string resume = ResumeCommand();
  ReadOnce();
  EXPECT_TRUE(device->IsSessionOpen());
  EXPECT_TRUE(port.State->WaitWritten(resume));
}

}  // namespace
}  // namespace zor
