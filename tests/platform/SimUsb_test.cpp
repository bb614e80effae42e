#include "platform/Zor_SimUsb.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace zor::platform;

namespace {

class TFakePort : public TZor_HidPort {
 public:
  uint32_t InputReportLength() const override { return 65; }
  uint32_t OutputReportLength() const override { return 65; }
  TZor_IoResult Read(std::string &, uint32_t) override { return TZor_IoResult::ioTimeout; }
  TZor_IoResult Write(const std::string &, uint32_t) override { return TZor_IoResult::ioOk; }
  void CancelRead() override {}
  TZor_SysError GetLastError() const override { return {}; }
};

TZor_UsbDeviceInfo SimInfo(int n) {
  TZor_UsbDeviceInfo info;
  info.VendorID = 0x16D0;
  info.ProductID = 0x0611;
  info.SerialNumber = "0000100" + std::to_string(n);
  info.SysPath = "sim:usb" + std::to_string(n);
  info.HidNodes = {"sim:hid" + std::to_string(n)};
  return info;
}

TZor_SimHidOpener FakeOpener() {
  return [](TZor_SysError &) { return std::make_unique<TFakePort>(); };
}

struct TEvent {
  std::string SysPath;
  bool Attached;
};

}  // namespace

TEST(SimUsb, PlugListOpenUnplugWithNotifications) {
  std::vector<TEvent> events;
  int id = AddSimUsbListener([&](const TZor_UsbDeviceInfo &info, bool attached) {
    events.push_back({info.SysPath, attached});
  });
  ASSERT_TRUE(PlugSimUsbDevice(SimInfo(1), FakeOpener()));
  ASSERT_TRUE(PlugSimUsbDevice(SimInfo(2), FakeOpener()));
  auto devices = SimUsbDevices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].SysPath, "sim:usb1");  // plug order
  EXPECT_EQ(devices[1].SerialNumber, "00001002");

  TZor_SysError error;
  EXPECT_NE(OpenSimHidPort("sim:hid2", error), nullptr);

  UnplugSimUsbDevice("sim:usb1");
  UnplugSimUsbDevice("sim:usb1");  // a second unplug is no event
  EXPECT_EQ(OpenSimHidPort("sim:hid1", error), nullptr);
  EXPECT_EQ(error.Code, ERR_DEVICE_NOT_CONNECTED);
  UnplugSimUsbDevice("sim:usb2");
  EXPECT_TRUE(SimUsbDevices().empty());

  RemoveSimUsbListener(id);
  ASSERT_TRUE(PlugSimUsbDevice(SimInfo(3), FakeOpener()));  // not seen any more
  UnplugSimUsbDevice("sim:usb3");
  ASSERT_EQ(events.size(), 4u);
  EXPECT_TRUE(events[0].Attached);
  EXPECT_EQ(events[2].SysPath, "sim:usb1");
  EXPECT_FALSE(events[2].Attached);
  EXPECT_EQ(events[3].SysPath, "sim:usb2");
}

TEST(SimUsb, RefusesTakenOrNonSimulatedNames) {
  ASSERT_TRUE(PlugSimUsbDevice(SimInfo(1), FakeOpener()));
  EXPECT_FALSE(PlugSimUsbDevice(SimInfo(1), FakeOpener()));
  auto sameNode = SimInfo(2);
  sameNode.HidNodes = {"sim:hid1"};
  EXPECT_FALSE(PlugSimUsbDevice(sameNode, FakeOpener()));
  auto real = SimInfo(3);
  real.HidNodes = {"/dev/hidraw0"};
  EXPECT_FALSE(PlugSimUsbDevice(real, FakeOpener()));
  EXPECT_EQ(SimUsbDevices().size(), 1u);
  UnplugSimUsbDevice("sim:usb1");
}

TEST(SimUsb, OpenerFailureReachesTheCaller) {
  ASSERT_TRUE(PlugSimUsbDevice(SimInfo(1), [](TZor_SysError &error) {
    error = {ERR_ACCESS_DENIED, 0};
    return std::unique_ptr<TZor_HidPort>();
  }));
  TZor_SysError error;
  EXPECT_EQ(OpenSimHidPort("sim:hid1", error), nullptr);
  EXPECT_EQ(error.Code, ERR_ACCESS_DENIED);
  UnplugSimUsbDevice("sim:usb1");
}

// A listener may change the registry itself, and removing a listener waits
// for a call of it running on another thread.
TEST(SimUsb, ListenersMayReenterAndRemovalWaitsForARunningCall) {
  int id = AddSimUsbListener([](const TZor_UsbDeviceInfo &info, bool attached) {
    if (attached && info.SysPath == "sim:usb1") UnplugSimUsbDevice(info.SysPath);
  });
  ASSERT_TRUE(PlugSimUsbDevice(SimInfo(1), FakeOpener()));
  EXPECT_TRUE(SimUsbDevices().empty());
  RemoveSimUsbListener(id);

  TZor_Event entered, release;
  std::atomic<bool> running{false};
  id = AddSimUsbListener([&](const TZor_UsbDeviceInfo &, bool attached) {
    if (!attached) return;
    running = true;
    entered.Signal();
    release.WaitFor(5000);
    running = false;
  });
  std::thread plugger([] { PlugSimUsbDevice(SimInfo(2), FakeOpener()); });
  ASSERT_TRUE(entered.WaitFor(5000));
  std::thread releaser([&] {
    SleepMs(20);
    release.Signal();
  });
  RemoveSimUsbListener(id);
  EXPECT_FALSE(running);
  plugger.join();
  releaser.join();
  UnplugSimUsbDevice("sim:usb2");
}
