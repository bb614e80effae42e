// The USB device object on a fake HID device: identity, opening, and the
// framing of commands and received data in tools mode.
#include "usb/Zor_UsbDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/Zor_TestDevice.h"
#include "tests/usb/FakeHidPort.h"

namespace zor {
namespace {

using test::Counting;
using test::InputReport;
using test::MessageReports;
using test::TPluggedHid;

TZor_UsbDevice MakeUsb(uint16_t pid, const std::string &serial, const std::string &product = "Zor HID",
                       const std::string &path = "/dev/hidraw3#VID_16D0&PID_0611#x", int logId = -1) {
  return TZor_UsbDevice(logId, 0, nullptr, true, Zor_HID, path, 0x16D0, pid, serial, product);
}

TEST(UsbDeviceIdentity, NickNameSerialPartValueAndDisplay) {
  TZor_UsbDevice lab(-1, 0, nullptr, true, Zor_HID, "/dev/hidraw3#VID_16D0&PID_0611#1A2B3C4D_Lab3", 0x16D0, 0x0611,
                     "1A2B3C4D_Lab3");
  EXPECT_EQ(lab.GetNickName(), "Lab3");
  EXPECT_EQ(lab.GetSerialNumberPart(), "1A2B3C4D");
  EXPECT_EQ(lab.GetSerialNumberValue(), 0x1A2B3C4Du);
  EXPECT_EQ(lab.GetPortDisplayName(), "Lab3");

  TZor_LogCapture log;
  TZor_UsbDevice underscore(log.Id(), 0, nullptr, true, Zor_HID, "/dev/hidraw3", 0x16D0, 0x0611, "_X");
  EXPECT_EQ(underscore.GetNickName(), "");
  EXPECT_EQ(underscore.GetPortDisplayName(), "USB: _X");
  EXPECT_EQ(underscore.GetSerialNumberValue(), 0xFFFFFFFFu);
  EXPECT_EQ(log.Count("UsbDevice.GetSerialNumberValue: not a LongWord: _X"), 1);

  TZor_UsbDevice old(log.Id(), 0, nullptr, true, Zor_HID, "/dev/hidraw3", 0x16D0, 0x0611, "V1.0");
  EXPECT_EQ(old.GetSerialNumberValue(), 0xFFFFFFFFu);
  EXPECT_EQ(log.Count("not a LongWord: V1.0"), 0);
  // Longer than 32 bits is not a serial number either.
  TZor_UsbDevice tooLong(-1, 0, nullptr, true, Zor_HID, "/dev/hidraw3", 0x16D0, 0x0611, "123456789");
  EXPECT_EQ(tooLong.GetSerialNumberValue(), 0xFFFFFFFFu);
}

TEST(UsbDeviceIdentity, DisplayWithoutSerialShowsTheNode) {
  EXPECT_EQ(MakeUsb(0x0611, "", "Zor HID", "/dev/hidraw3#VID_16D0&PID_0611#").GetPortDisplayName(),
            "USB: /dev/hidraw3");
  EXPECT_EQ(MakeUsb(0x0611, "", "Zor HID", "\\\\.\\COM7").GetPortDisplayName(), "USB: COM7");
}

TEST(UsbDeviceIdentity, BootLoaderByProductIdAndProductString) {
  EXPECT_TRUE(MakeUsb(0x0004, "1", "anything").IsBootLoader());
  EXPECT_FALSE(MakeUsb(0x0611, "1", "Zor HID").IsBootLoader());
  EXPECT_FALSE(MakeUsb(0x0611, "1", "Zor HID bootloader").IsBootLoader());
  TZor_UsbDevice boot = MakeUsb(0x0611, "00001001", "Zor HID Bootloader");
  EXPECT_TRUE(boot.IsBootLoader());
  EXPECT_EQ(boot.GetPortDisplayName(), "USB: 00001001 (Zor HID Bootloader)");
}

TEST(UsbDeviceIdentity, EqualOnlyWithTheSamePathAndTheCloneKeepsIdentity) {
  TZor_UsbDevice a = MakeUsb(0x0611, "1", "Zor HID", "/dev/hidraw3#VID_16D0&PID_0611#AB");
  TZor_UsbDevice b = MakeUsb(0x0611, "1", "Zor HID", "/dev/hidraw3#VID_16D0&PID_0611#ab");
  TZor_UsbDevice clone(-1, 1, nullptr, true, a);
  EXPECT_FALSE(a.IsEqual(&b));
  EXPECT_TRUE(a.IsEqual(&clone));
  EXPECT_FALSE(a.IsEqual(nullptr));
  EXPECT_EQ(clone.ToUserString(), a.ToUserString());
  TZor_TestDevice other;
  EXPECT_FALSE(a.IsEqual(&other));
}

// ---- opening ----------------------------------------------------------------

TEST(UsbDeviceOpen, FailuresAreReportedByTheirCause) {
  TPluggedHid hid;
  auto device = hid.MakeDevice();
  device->SetContextTool(true);
  std::string error;

  hid.State->OpenError = {platform::ERR_ACCESS_DENIED, 0};
  EXPECT_FALSE(device->OpenPort(error));
  EXPECT_EQ(error, "Error open Zor device \"USB: 00001001\": USB device is already in use");

  hid.State->OpenError = {platform::ERR_NO_PERMISSION, 0};
  EXPECT_FALSE(device->OpenPort(error));
  EXPECT_EQ(error.rfind("Error open Zor device \"USB: 00001001\": (1314)=", 0), 0u) << error;
  EXPECT_EQ(device->GetErrorCode(), Zor_System_Err);

  hid.State->OpenError = {13, 0};
  EXPECT_FALSE(device->OpenPort(error));
  EXPECT_NE(error.find("(13)="), std::string::npos) << error;
  EXPECT_FALSE(device->IsSessionOpen());
  EXPECT_EQ(hid.State->Open(), 0);
}

TEST(UsbDeviceOpen, ReportLengthsTooShortFailCleanly) {
  TPluggedHid hid;
  hid.State->OutputLength = 0;  // length - 1 must not wrap
  auto device = hid.MakeDevice();
  device->SetContextTool(true);
  std::string error;
  EXPECT_FALSE(device->OpenPort(error));
  EXPECT_NE(error.find("(13)="), std::string::npos) << error;
  EXPECT_EQ(hid.State->Open(), 0);
  EXPECT_TRUE(hid.State->WrittenReports().empty());
}

TEST(UsbDeviceOpen, UnpluggedIsNotConnected) {
  auto device = MakeUsb(0x0611, "00001001", "Zor HID", "sim:hid-none#VID_16D0&PID_0611#00001001");
  std::string error;
  EXPECT_FALSE(device.OpenPort(error));
  EXPECT_EQ(device.GetErrorCode(), Zor_DeviceNotConnected);
  EXPECT_EQ(error.rfind("USB: 00001001: (1167)=", 0), 0u) << error;
}

// ---- tools mode -----------------------------------------------------------------

class UsbDeviceTools : public ::testing::Test {
 protected:
  void SetUp() override {
    device = hid.MakeDevice(log.Id());
    device->SetContextTool(true);
    std::string error;
    ASSERT_TRUE(device->OpenPort(error)) << error;
  }
  std::vector<std::string> Written() { return hid.State->WrittenReports(); }

  TZor_LogCapture log;
  TPluggedHid hid;
  std::unique_ptr<TZor_UsbDevice> device;
};

TEST_F(UsbDeviceTools, CommandsAreFramedIntoWholeReports) {
  ASSERT_EQ(Written().size(), 1u);
  EXPECT_EQ(Written()[0], Bytes({0x00, 0x02, 0x85, 0x10}) + std::string(61, '\0'));
  EXPECT_EQ(device->GetHIDOutputReportByteLength(), 64u);

  ASSERT_TRUE(device->DeviceWrite(Bytes({0x85, 0x21, 0x07})));
  EXPECT_EQ(Written().back(), Bytes({0x00, 0x03, 0x85, 0x21, 0x07}) + std::string(60, '\0'));

  const std::string command = Counting(70);
  ASSERT_TRUE(device->DeviceWrite(command));
  auto written = Written();
  ASSERT_EQ(written.size(), 4u);
  EXPECT_EQ(written[2], std::string(1, '\0') + char(70) + command.substr(0, 63));
  EXPECT_EQ(written[3], std::string(1, '\0') + command.substr(63) + std::string(57, '\0'));
}

TEST_F(UsbDeviceTools, AFailedReportDropsTheRestOfItsCommand) {
  hid.State->FailWriteAt = 2;  // the second report of the next command
  EXPECT_FALSE(device->DeviceWrite(Counting(150)));
  EXPECT_EQ(Written().size(), 2u);  // the first command and one report of this one
  EXPECT_EQ(device->GetErrorCode(), Zor_System_Err);
  EXPECT_EQ(device->GetErrorMessage().rfind("HIDWriteReport: WriteFile  failed: (31)=", 0), 0u);

  ASSERT_TRUE(device->DeviceWrite(Bytes({0x85, 0x11})));
  EXPECT_EQ(Written().back(), Bytes({0x00, 0x02, 0x85, 0x11}) + std::string(61, '\0'));
}

TEST_F(UsbDeviceTools, FullAndEmptyReports) {
  hid.State->Feed(InputReport(Counting(54)));
  std::string text;
  ASSERT_TRUE(device->DeviceRead(54, text));
  EXPECT_EQ(text, Counting(54));
  EXPECT_FALSE(device->GetHIDColdfireCleared());

  // A report announcing no data delivers nothing.
  hid.State->Feed(InputReport(""));
  EXPECT_FALSE(device->DeviceRead(10, text));
  EXPECT_EQ(text, "");

  // A full report of zeros with its counters at 0 is the device's "buffer
  // cleared": no answer, only the flag.
  hid.State->Feed(InputReport(std::string(54, '\0')));
  EXPECT_FALSE(device->ToolsRead(54, text));
  EXPECT_TRUE(device->GetHIDColdfireCleared());

  // 54 zero bytes of memory carry counters: they are an answer, not to be read again.
  hid.State->Feed(InputReport(std::string(54, '\0'), 54));
  ASSERT_TRUE(device->ToolsRead(54, text));
  EXPECT_EQ(text, std::string(54, '\0'));
  EXPECT_FALSE(device->GetHIDColdfireCleared());
}

TEST_F(UsbDeviceTools, ALateClearedReportOrAnEarlierAnswerNeverStartsAnAnswer) {
  // The cleared report of a device that came back arrives after the request:
  // it and whatever came before it are skipped, the answer follows.
  hid.State->Feed(InputReport(Counting(3, 200), 3));
  hid.State->Feed(InputReport(std::string(54, '\0')));
  hid.State->Feed(InputReport(Counting(4), 4));
  std::string text;
  ASSERT_TRUE(device->ToolsRead(4, text));
  EXPECT_EQ(text, Counting(4));
  EXPECT_FALSE(device->GetHIDColdfireCleared());

  // A request read again leaves the first answer's twin behind: the next
  // request drops it before it is sent, and reads only its own answer.
  hid.State->Feed(InputReport(Bytes({0, 0, 0, 1}), 8));
  device->ClearToolsAnswers();
  hid.State->Feed(InputReport(Counting(54, 10), 62));
  hid.State->Feed(InputReport(Counting(10, 64), 72));
  ASSERT_TRUE(device->ToolsRead(64, text));
  EXPECT_EQ(text, Counting(64, 10));
  EXPECT_EQ(device->GetErrorCode(), Zor_No_Err);
}

TEST_F(UsbDeviceTools, ReadTakesOnlyTheWantedBytesOfAReport) {
  hid.State->Feed(InputReport(Counting(30)));
  std::string text;
  ASSERT_TRUE(device->DeviceRead(10, text));
  EXPECT_EQ(text, Counting(10));
  // The rest of that report is gone; the next read starts with the next report.
  hid.State->Feed(InputReport(Counting(5, 100)));
  ASSERT_TRUE(device->DeviceRead(5, text));
  EXPECT_EQ(text, Counting(5, 100));
}

TEST_F(UsbDeviceTools, AnAnswerOverSeveralReportsIsWaitedForOnceItHasBegun) {
  // The device sends one report per millisecond: the second half of a
  // 100-byte answer is not there yet when the first half is read.
  hid.State->Feed(InputReport(Counting(54)));
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    hid.State->Feed(InputReport(Counting(46, 55)));
  });
  std::string text;
  ASSERT_TRUE(device->DeviceRead(100, text));
  late.join();
  EXPECT_EQ(text, Counting(100));
}

TEST_F(UsbDeviceTools, MessagesOverTwoAndThreeReports) {
  // The lengths whose data and counters fill whole reports decode exactly.
  for (size_t dataLength : {117u, 180u}) {
    for (const std::string &report : MessageReports(Counting(dataLength))) hid.State->Feed(report);
    std::string text;
    ASSERT_TRUE(device->DeviceRead(255, text));
    EXPECT_EQ(text, Counting(dataLength)) << dataLength;
  }
}

TEST_F(UsbDeviceTools, ReadWithNothingWaitingReturnsAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  std::string text;
  EXPECT_FALSE(device->DeviceRead(10, text));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(hid.State->Pending(), 0);
  EXPECT_EQ(device->GetErrorCode(), Zor_No_Err);
}

TEST_F(UsbDeviceTools, UnexpectedCounterIsLogged) {
  device->SetLowLevelLog(true);
  hid.State->Feed(InputReport(Counting(10), 10));
  hid.State->Feed(InputReport(Counting(10), 20));  // follows on
  hid.State->Feed(InputReport(Counting(10), 40));  // 10 bytes lost
  std::string text;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(device->DeviceRead(10, text));
  EXPECT_EQ(log.Count("unexpected counter! old=0014 neu=00000028"), 1);
  EXPECT_EQ(log.Count("unexpected counter!"), 1);
}

TEST_F(UsbDeviceTools, UnplugIsNotConnectedAndCloseLeavesNothingOpen) {
  hid.State->Vanish();
  std::string text;
  EXPECT_FALSE(device->DeviceRead(10, text));
  EXPECT_EQ(device->GetErrorCode(), Zor_DeviceNotConnected);
  device->ClosePort();
  EXPECT_FALSE(device->IsSessionOpen());
  EXPECT_EQ(hid.State->Open(), 0);
}

TEST_F(UsbDeviceTools, CloseSendsTheStopCommands) {
  device->ClosePort();
  auto written = Written();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[1].substr(0, 4), Bytes({0x00, 0x02, 0x85, 0x11}));
  EXPECT_EQ(written[2].substr(0, 4), Bytes({0x00, 0x02, 0x85, 0x60}));
  EXPECT_EQ(hid.State->Open(), 0);
  // A closed object closes again without writing.
  device->ClosePort();
  EXPECT_EQ(Written().size(), 3u);
}

}  // namespace
}  // namespace zor
