// The USB device object on a virtual COM port: opening and closing through
// the shared I/O thread, several users on one device, and the recovery of a
// broken stream, against a scripted serial port in the simulated USB registry.
#include <gtest/gtest.h>

#include <algorithm>
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
#include "tests/usb/FakeHidPort.h"
#include "tests/usb/FakeSerialPort.h"
#include "usb/USBUtils.h"
#include "usb/Zor_UsbDevice.h"
#include "usb/Zor_UsbThread.h"

namespace zor {
namespace {

using test::TFakeSerialPort;
using test::TFakeSerialState;
using test::TPluggedSerial;

// The serial port device of the I/O thread's tests, with what these tests
// need on top: devices logging where the test reads, counting of commands
// on the wire, and plugging the device in again with another way of opening.
class TPluggedCdc : public TPluggedSerial {
 public:
  explicit TPluggedCdc(uint16_t pid, const std::string &serial = "00002001")
      : TPluggedSerial(pid, serial), FPid(pid), FSerial(serial) {}

  std::unique_ptr<TZor_UsbDevice> MakeDevice(int logId = -1, uint32_t readTimeoutMs = 0) const {
    auto device = std::make_unique<TZor_UsbDevice>(logId, 0, nullptr, true, Zor_CDC, Path(), 0x16D0, FPid,
                                                   FSerial, "Zor CDC");
    if (readTimeoutMs) device->SetReadTimeoutMs(readTimeoutMs);
    return device;
  }
  int Count(const std::string &command) {
    std::lock_guard<std::mutex> g(State->Lock);
    return static_cast<int>(std::count(State->Written.begin(), State->Written.end(), command));
  }
  bool WaitWritten(const std::string &command, int times = 1, int ms = 3000) {
    return test::WaitUntil([&] { return Count(command) >= times; }, ms);
  }
  int Open() {
    std::lock_guard<std::mutex> g(State->Lock);
    return State->OpenPorts;
  }
  std::string SysPath() const { return "sim:usbtty" + DeviceNodeOfPath(Path()).substr(7); }
  void Unplug() { platform::UnplugSimUsbDevice(SysPath()); }
  // Plugged in again; opening fails with `openError` unless it is 0.
  void Replug(uint32_t openError = 0) {
    Unplug();
    platform::TZor_UsbDeviceInfo info;
    info.VendorID = 0x16D0;
    info.ProductID = FPid;
    info.Product = "Zor CDC";
    info.SerialNumber = FSerial;
    info.SysPath = SysPath();
    info.TtyNodes = {DeviceNodeOfPath(Path())};
    auto state = State;
    platform::PlugSimUsbDevice(info, nullptr, [state, openError](platform::TZor_SysError &error) {
      std::unique_ptr<platform::TZor_SerialPort> port;
      if (openError)
        error = {openError, 0};
      else
        port = std::make_unique<TFakeSerialPort>(state);
      return port;
    });
  }

 private:
  uint16_t FPid;
  std::string FSerial;
};

constexpr uint16_t ColdfirePid = 0x0610;
constexpr uint16_t EspPid = 0x0612;

std::string Framed(const std::string &command) { return static_cast<char>(command.size()) + command; }

// ---- opening and closing -----------------------------------------------------------

TEST(UsbDeviceCdc, ColdfireStreamAndToolsModeSendTheirFirstCommandAndCloseCompletely) {
  TPluggedCdc port(ColdfirePid);
  {
    auto device = port.MakeDevice();
    std::string error;
    ASSERT_TRUE(device->OpenPort(error)) << error;
    EXPECT_TRUE(port.WaitWritten(Framed("\xBE")));
    EXPECT_FALSE(UsbThreadList().IsEmpty());
    device->ClosePort();
    EXPECT_TRUE(port.WaitWritten(Framed(std::string("\x85\x60", 2)), 1, 0));
    EXPECT_TRUE(UsbThreadList().IsEmpty());
    EXPECT_EQ(port.Open(), 0);
  }
  {
    auto device = port.MakeDevice();
    device->SetContextTool(true);
    device->SetUserID(3);
    std::string error;
    ASSERT_TRUE(device->OpenPort(error)) << error;
    // Tools mode writes on the caller's thread: it is on the wire at once.
    EXPECT_TRUE(port.WaitWritten(Framed(std::string("\x85\x10", 2)), 1, 0));
    device->ClosePort();
    EXPECT_TRUE(port.WaitWritten(Framed(std::string("\x85\x11", 2)), 1, 0));
    EXPECT_TRUE(port.WaitWritten(Framed(std::string("\x85\x60", 2)), 2, 0));
    EXPECT_TRUE(UsbThreadList().IsEmpty());
    EXPECT_EQ(port.Open(), 0);
  }
}

TEST(UsbDeviceCdc, EspRegistersForItsSlotAsksForTheHardwareFeatureAndDropsTheFirstVersionCommand) {
  TPluggedCdc port(EspPid);
  TZor_LogCapture log;
  auto device = port.MakeDevice(log.Id());
  device->SetUserID(2);
  std::string error;
  ASSERT_TRUE(device->OpenPort(error)) << error;
  EXPECT_TRUE(port.WaitWritten(Framed(std::string("\xBE\x01", 2))));
  EXPECT_EQ(device->GetCmdResponse(), crt_login);
  EXPECT_EQ(log.Count("TZor_UsbDevice.OpenPort ESP -> read HardFeature"), 1);

  EXPECT_TRUE(device->DeviceWrite("\x01"));
  EXPECT_EQ(log.Count("ignore first version command"), 1);
  EXPECT_TRUE(device->DeviceWrite("\x01"));
  EXPECT_EQ(log.Count("ignore first version command"), 1);
  // The version request waits behind the login and the hardware-feature read
  // (their answers stand in here).
  device->SetCmdResponse(crt_none);
  EXPECT_TRUE(port.WaitWritten(Framed(std::string("\x85\x45\x69\x05", 4))));
  // The thread marks the read as awaited just after the write.
  EXPECT_TRUE(test::WaitUntil([&] { return device->GetCmdResponse() == crt_ReadNVS; }));
  device->SetCmdResponse(crt_none);
  EXPECT_TRUE(port.WaitWritten(Framed("\x01"))) << log.Text();
  EXPECT_EQ(port.Count(Framed("\x01")), 1);
  device->ClosePort();
  EXPECT_TRUE(UsbThreadList().IsEmpty()) << log.Text();
  EXPECT_EQ(port.Open(), 0);
}

TEST(UsbDeviceCdc, UsersOfAMultiUserDeviceShareOneThreadUntilTheLastLeaves) {
  TPluggedCdc port(EspPid);
  auto first = port.MakeDevice();
  auto second = port.MakeDevice();
  std::string error;
  ASSERT_TRUE(first->OpenPort(error)) << error;
  ASSERT_TRUE(second->OpenPort(error)) << error;
  EXPECT_EQ(first->GetUsbThread(), second->GetUsbThread());
  EXPECT_EQ(port.Open(), 1);

  std::shared_ptr<TZor_UsbThread> thread = first->GetUsbThread();
  second->ClosePort();
  EXPECT_FALSE(thread->GetTerminated());
  EXPECT_EQ(thread->GetOwner(), first.get());
  ASSERT_TRUE(second->OpenPort(error)) << error;
  EXPECT_EQ(second->GetUsbThread(), thread);

  // The owner goes: the other user keeps the thread and the port.
  first->ClosePort();
  EXPECT_FALSE(thread->GetTerminated());
  EXPECT_FALSE(UsbThreadList().IsEmpty());
  EXPECT_EQ(thread->GetOwner(), second.get());
  thread.reset();

  second->ClosePort();
  EXPECT_TRUE(UsbThreadList().IsEmpty());
  EXPECT_EQ(port.Open(), 0);
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
  EXPECT_EQ(port.Open(), 1);
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
    device = port.MakeDevice(log.Id(), 200);
    std::string error;
    ASSERT_TRUE(device->OpenPort(error)) << error;
    ASSERT_TRUE(port.WaitWritten(Framed("\xBE")));
    // The device confirms the user and tells where its ring stands.
    port.State->Feed(stream.Block("", simCdcBufferCleared | simCdcRepeatAddr));
    port.State->Feed(stream.Block(std::string(40, 'a'), simCdcRepeatAddr));
    ASSERT_TRUE(test::WaitUntil([&] { return device->GetPeerRepeatAddr() != 0; }));
    device->SetReceivedSec(5);
  }
  void TearDown() override {
    device->ClosePort();
    EXPECT_TRUE(UsbThreadList().IsEmpty());
    EXPECT_EQ(port.Open(), 0);
  }
  void WaitThreadEnd() {
    ASSERT_TRUE(test::WaitUntil(
        [&] { return device->GetUsbThread() && device->GetUsbThread()->GetTerminated(); }, 3000));
  }
  void SetGone(bool gone) {
    {
      std::lock_guard<std::mutex> g(port.State->Lock);
      port.State->Gone = gone;
    }
    port.State->Cond.notify_all();
  }
  // The next read of the object notices what happened to its thread.
  void ReadOnce() {
    device->GetReceiveBuffer().Clear();
    std::string text;
    device->DeviceRead(10, text);
  }
  std::string ResumeCommand() const {
    return Framed(std::string("\x85\x73", 2) + SimBE32(device->GetPeerRepeatAddr()));
  }
  std::string WireText() {
    std::string text;
    for (const std::string &w : port.State->WrittenCommands()) text += BytesToHex(w) + " ";
    return text + "\n" + log.Text();
  }

  TPluggedCdc port{ColdfirePid};
  TZor_LogCapture log;
  TSimCdcStream stream{1};
  std::unique_ptr<TZor_UsbDevice> device;
};

TEST_F(UsbDeviceCdcRecovery, ASilentDeviceIsResumedFromTheRingAddressAndTheNextBufferReportConfirms) {
  const std::string resume = ResumeCommand();
  WaitThreadEnd();  // the thread gives up after its read timeouts
  ReadOnce();
  EXPECT_EQ(device->GetErrorCode(), Zor_Err_DataTransferInterrupted);
  EXPECT_TRUE(port.WaitWritten(resume)) << WireText();
  EXPECT_TRUE(device->GetIsReconnected());
  EXPECT_TRUE(device->IsSessionOpen());
  EXPECT_EQ(port.Open(), 1);
  port.State->Feed(stream.Block(std::string(8, 'b'), simCdcRepeatAddr));
  EXPECT_TRUE(test::WaitUntil([&] { return !device->GetIsReconnected(); }));
}

TEST_F(UsbDeviceCdcRecovery, AnUnconfirmedResumptionIsRecoveredAgainEveryTime) {
  device->SetReconnectTimeout(300);
  SetGone(true);
  WaitThreadEnd();
  SetGone(false);
  ReadOnce();
  ASSERT_TRUE(device->GetIsReconnected()) << WireText();
  const std::string lost = "RecoverFromUSBError after reconnect: Data lost! Data transfer restarted";
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(test::WaitUntil([&] {
      ReadOnce();
      return log.Count(lost) == round;
    }, 3000)) << "round " << round;
    EXPECT_EQ(device->GetErrorCode(), Zor_Err_Reconnected);
    EXPECT_EQ(device->GetErrorMessage(), "Data lost! Data transfer restarted");
    EXPECT_TRUE(device->GetIsReconnected());
    EXPECT_EQ(device->GetPeerRepeatAddr(), 0u);
    // The user registers again, for the slot the device gave it, on a fresh connection.
    EXPECT_TRUE(port.WaitWritten(Framed(std::string("\xBE\x00", 2)), round)) << WireText();
    EXPECT_EQ(port.Open(), 1);
  }
}

TEST_F(UsbDeviceCdcRecovery, AReopenThatFindsNoPortLeavesTheDeviceNotConnectedAndTriesAgainLater) {
  SetGone(true);
  WaitThreadEnd();
  SetGone(false);
  port.Replug(platform::ERR_FILE_NOT_FOUND);
  ReadOnce();
  EXPECT_EQ(device->GetErrorCode(), Zor_DeviceNotConnected);
  EXPECT_TRUE(device->GetRecoverNeeded());
  EXPECT_TRUE(UsbThreadList().IsEmpty());

  port.Replug();
  ReadOnce();
  EXPECT_FALSE(device->GetRecoverNeeded());
  EXPECT_TRUE(device->IsSessionOpen());
  EXPECT_EQ(port.Open(), 1);
}

TEST_F(UsbDeviceCdcRecovery, APortThatVanishesIsADeviceNotConnectedUntilItComesBack) {
  port.Unplug();
  SetGone(true);
  WaitThreadEnd();
  ReadOnce();
  EXPECT_EQ(device->GetErrorCode(), Zor_DeviceNotConnected);
  EXPECT_TRUE(device->GetRecoverNeeded());

  // Back again: the next read takes the stream up where it broke off.
  SetGone(false);
  port.Replug();
  const std::string resume = ResumeCommand();
  ReadOnce();
  EXPECT_TRUE(device->IsSessionOpen());
  EXPECT_TRUE(port.WaitWritten(resume)) << WireText();
}

TEST(UsbDeviceCdcEspRecovery, TheOwnerResumesFromTheRingAddressAfterAPause) {
  TPluggedCdc port(EspPid);
  TZor_LogCapture log;
  auto device = port.MakeDevice(log.Id());
  std::string error;
  ASSERT_TRUE(device->OpenPort(error)) << error;
  ASSERT_TRUE(port.WaitWritten(Framed("\xBE")));
  device->SetCmdResponse(crt_none);  // stands in for the login answer
  device->SetPeerRepeatAddr(0x1234);
  device->SetReceivedSec(5);
  port.State->Vanish();
  ASSERT_TRUE(test::WaitUntil([&] { return device->GetUsbThread() && device->GetUsbThread()->GetTerminated(); }));
  {
    std::lock_guard<std::mutex> g(port.State->Lock);
    port.State->Gone = false;
  }
  std::string text;
  device->DeviceRead(10, text);
  // The device gets a second after the reopen before the resume goes out.
  EXPECT_GT(device->GetDelayNextCmdMs(), 500u);
  EXPECT_TRUE(port.WaitWritten(Framed(std::string("\x04\x73", 2) + SimBE32(0x1234)))) << log.Text();
  EXPECT_TRUE(device->GetIsReconnected());
  device->ClosePort();
  EXPECT_TRUE(UsbThreadList().IsEmpty());
  EXPECT_EQ(port.Open(), 0);
}

// ---- the recovery of a HID device ------------------------------------------------------

TEST(UsbDeviceHidRecovery, AFailedReadAfterDataReopensAndResumesFromTheTimeStamp) {
  test::TPluggedHid hid;
  TZor_LogCapture log;
  auto device = hid.MakeDevice(log.Id());
  std::string error;
  ASSERT_TRUE(device->OpenPort(error)) << error;
  ASSERT_TRUE(hid.State->WaitWritten(1));
  device->SetReceivedSec(0x105);
  hid.State->Vanish();
  ASSERT_TRUE(test::WaitUntil([&] { return log.Count("HIDThread.Suspend") > 0; }));
  {
    std::lock_guard<std::mutex> g(hid.State->Lock);
    hid.State->Gone = false;
  }
  std::string text;
  device->DeviceRead(10, text);
  ASSERT_TRUE(hid.State->WaitWritten(2)) << log.Text();
  const std::string report = hid.State->WrittenReports().back();
  EXPECT_EQ(report.substr(0, 5), std::string("\x00\x03\x85\x72\x05", 5));
  EXPECT_TRUE(device->GetIsReconnected());
  EXPECT_TRUE(device->IsSessionOpen());
  EXPECT_EQ(log.Count("RecoverFromUSBError: reopened USB:"), 1);
  device->ClosePort();
  EXPECT_EQ(hid.State->Open(), 0);
}

}  // namespace
}  // namespace zor
