// A HID device in stream mode: its reader thread sends the queued commands,
// fills the receive buffer and ends with the device's port.
#include "usb/Zor_HidThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "foundation/CircularBuffer.h"
#include "tests/support/Zor_TestDevice.h"
#include "tests/usb/FakeHidPort.h"
#include "usb/Zor_UsbDevice.h"

namespace zor {
namespace {

using test::Counting;
using test::InputReport;
using test::TPluggedHid;
using Clock = std::chrono::steady_clock;

class HidStream : public ::testing::Test {
 protected:
  void Open() {
    device = hid.MakeDevice(log.Id());
    std::string error;
    ASSERT_TRUE(device->OpenPort(error)) << error;
  }
  // The command bytes of written report `i` (report ID and length byte removed).
  std::string Command(size_t i) {
    std::string report = hid.State->WrittenReports().at(i);
    return report.substr(2, static_cast<uint8_t>(report[1]));
  }
  // Waits until the receive buffer holds `count` bytes and takes them.
  std::string Receive(size_t count) {
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (device->GetReceiveBuffer().GetAmount() < count && Clock::now() < end)
      device->GetReceiveEvent().WaitFor(10);
    return device->GetReceiveBuffer().ReadAnsiString(count);
  }
  bool WaitLogged(const std::string &line) {
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (log.Count(line) == 0 && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return log.Count(line) > 0;
  }

  TZor_LogCapture log;
  TPluggedHid hid;
  std::unique_ptr<TZor_UsbDevice> device;
};

TEST_F(HidStream, CommandsGoOutAndDataComeIn) {
  Open();
  ASSERT_TRUE(hid.State->WaitWritten(1));
  EXPECT_EQ(Command(0), "\x01");
  hid.State->Feed(InputReport(Counting(20)));
  hid.State->Feed(InputReport(""));  // no data: not the cleared report either
  hid.State->Feed(InputReport(Counting(5, 50)));
  EXPECT_EQ(Receive(25), Counting(20) + Counting(5, 50));
  EXPECT_FALSE(device->GetReceiveBufferCleared());
  EXPECT_EQ(device->GetPendingCmdsCount(), 0u);
  // An answer the engine reads as tools data comes with the same stream.
  hid.State->Feed(InputReport(Counting(8, 70)));
  std::string answer;
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (!device->ToolsRead(8, answer) && Clock::now() < end) device->GetReceiveEvent().WaitFor(10);
  EXPECT_EQ(answer, Counting(8, 70));
}

TEST_F(HidStream, ABufferClearingCommandIgnoresDataUntilTheDeviceConfirms) {
  Open();
  ASSERT_TRUE(hid.State->WaitWritten(1));
  ASSERT_TRUE(device->DeviceWrite("\x81"));
  ASSERT_TRUE(hid.State->WaitWritten(2));
  hid.State->Feed(InputReport(Counting(10)));  // still the old stream
  ASSERT_TRUE(WaitLogged("IgnoreDataUntilStreamInterrupted (10)"));
  EXPECT_EQ(device->GetReceiveBuffer().GetAmount(), 0u);
  hid.State->Feed(InputReport(std::string(54, '\0')));  // the device cleared its buffer
  hid.State->Feed(InputReport(Counting(4, 200)));
  ASSERT_TRUE(WaitLogged("Reset IgnoreDataUntilStreamInterrupted"));
  EXPECT_TRUE(device->GetReceiveBufferCleared());
  EXPECT_EQ(Receive(4), Counting(4, 200));

  // Extended and registration commands do not restart the stream.
  for (const std::string &cmd : {Bytes({0x85, 0x21}), Bytes({0xBE, 0x00})}) {
    const size_t before = hid.State->WrittenReports().size();
    ASSERT_TRUE(device->DeviceWrite(cmd));
    ASSERT_TRUE(hid.State->WaitWritten(before + 1));
    hid.State->Feed(InputReport(Counting(3, 7)));
    EXPECT_EQ(Receive(3), Counting(3, 7));
  }
}

TEST_F(HidStream, ACommandLeavesWhileAReadWaitsForData) {
  hid.State->IgnoreDeadline = true;  // a read ends only with data or a cancel
  Open();
  ASSERT_TRUE(hid.State->WaitWritten(1));
  ASSERT_TRUE(hid.State->WaitReadPending());
  ASSERT_TRUE(device->DeviceWrite(Bytes({0x85, 0x21})));
  EXPECT_TRUE(hid.State->WaitWritten(2, 1000));
}

TEST_F(HidStream, CloseEndsABlockedReadAndTheThread) {
  hid.State->IgnoreDeadline = true;
  Open();
  ASSERT_TRUE(hid.State->WaitWritten(1));
  ASSERT_TRUE(hid.State->WaitReadPending());
  const auto start = Clock::now();
  device->ClosePort();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(hid.State->Pending(), 0);
  EXPECT_EQ(hid.State->Open(), 0);
  EXPECT_EQ(log.Count("### HID thread terminated ###"), 0);
  // The stop command went out before the port closed.
  EXPECT_EQ(Command(hid.State->WrittenReports().size() - 1), Bytes({0x85, 0x60}));
  EXPECT_FALSE(device->DeviceWrite("\x01"));
}

TEST_F(HidStream, AFailedReportDropsTheRestOfItsCommand) {
  Open();
  ASSERT_TRUE(hid.State->WaitWritten(1));
  hid.State->FailWriteAt = 2;  // second of three reports
  ASSERT_TRUE(device->DeviceWrite(Counting(150)));
  ASSERT_TRUE(device->DeviceWrite(Bytes({0x85, 0x21})));
  ASSERT_TRUE(hid.State->WaitWritten(3));
  auto written = hid.State->WrittenReports();
  EXPECT_EQ(written[1].substr(1, 2), Bytes({150, 1}));
  EXPECT_EQ(Command(2), Bytes({0x85, 0x21}));
  EXPECT_EQ(device->GetPendingCmdsCount(), 0u);
}

TEST(HidThread, LongCommandsAreQueuedAsWholeReportsAndDeletedWhole) {
  TZor_UsbDevice owner(-1, 0, nullptr, true, Zor_HID, "sim:hid0#VID_16D0&PID_0611#1", 0x16D0, 0x0611, "1");
  std::atomic<int> writes{0};
  THIDThread thread(
      owner,
      [](std::string &) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return platform::TZor_IoResult::ioTimeout;
      },
      [&](const std::string &) { return ++writes, false; },  // the device takes nothing
      [] {}, 64);
  EXPECT_EQ(thread.GetMaxCommandLength(), 63u);
  ASSERT_TRUE(thread.WriteCommand(Counting(63)));
  ASSERT_TRUE(thread.WriteCommand(Counting(70)));
  EXPECT_FALSE(thread.WriteCommand(Counting(256)));
  EXPECT_EQ(thread.GetPendingCmdsCount(), 3u);
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (writes < 2 && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(thread.GetPendingCmdsCount(), 3u);  // a first report that failed is tried again
  thread.DeleteCommands();
  EXPECT_EQ(thread.GetPendingCmdsCount(), 0u);
}

TEST_F(HidStream, UnplugAfterDataIsNotConnected) {
  Open();
  ASSERT_TRUE(hid.State->WaitWritten(1));
  hid.State->Feed(InputReport(Counting(4)));
  EXPECT_EQ(Receive(4), Counting(4));
  device->SetReceivedSec(1);
  EXPECT_FALSE(device->CheckDeviceClosed());
  // Unplugged: the recovery cannot open it again either.
  hid.State->OpenError = {platform::ERR_DEVICE_NOT_CONNECTED, 0};
  hid.State->Vanish();
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (!device->CheckDeviceClosed() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(device->GetErrorCode(), Zor_DeviceNotConnected);
  std::string text;
  EXPECT_FALSE(device->DeviceRead(4, text));
  device->ClosePort();
  EXPECT_EQ(hid.State->Open(), 0);
}

TEST_F(HidStream, ADeviceThatNeverSentDataIsAHardwareFault) {
  Open();
  ASSERT_TRUE(hid.State->WaitWritten(1));
  hid.State->Vanish();
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (!device->CheckDeviceClosed() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(device->GetErrorCode(), Zor_HardwareFault);
  EXPECT_EQ(device->GetErrorMessage(), "UsbDevice does not send measurement data: Please check measurement hardware!");
}

TEST_F(HidStream, BufferOverflowClearsAndKeepsTheNewData) {
  Open();
  ASSERT_TRUE(hid.State->WaitWritten(1));
  const uint32_t space = device->GetReceiveBuffer().GetAvailableSpace();
  for (uint32_t i = 0; i < space / 54; ++i) hid.State->Feed(InputReport(Counting(54)));
  hid.State->Feed(InputReport(Counting(54, 9)));  // does not fit any more
  ASSERT_TRUE(WaitLogged("Buffer overflow -> Buffer cleared"));
  EXPECT_TRUE(device->GetReceiveBufferCleared());
  EXPECT_EQ(Receive(54), Counting(54, 9));
}

TEST(HidStreamBootLoader, NothingIsSentAndAWaitingThreadIsNoFault) {
  TPluggedHid boot(0x0611, "Zor HID Bootloader");
  auto device = boot.MakeDevice();
  std::string error;
  ASSERT_TRUE(device->OpenPort(error)) << error;
  EXPECT_FALSE(device->CheckDeviceClosed());
  EXPECT_EQ(device->GetErrorCode(), Zor_No_Err);
  device->ClosePort();
  EXPECT_TRUE(boot.State->WrittenReports().empty());
  EXPECT_EQ(boot.State->Open(), 0);
}

}  // namespace
}  // namespace zor
