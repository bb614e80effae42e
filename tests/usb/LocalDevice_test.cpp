// The local device list over a fake sysfs tree: which of the attached devices
// become device objects and in what order, a HID device the caller holds
// open, a failing walk, and the list operations.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/Zor_SimUsb.h"
#include "platform/Zor_UsbEnum.h"
#include "tests/support/Zor_TestDevice.h"
#include "usb/Zor_LocalDevice.h"
#include "usb/Zor_UsbDevice.h"

namespace zor {
namespace {

namespace fs = std::filesystem;

class LocalDeviceList : public ::testing::Test {
 protected:
  void SetUp() override {
    FRoot = fs::temp_directory_path() / ("zor-localdev-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FRoot);
    fs::create_directories(FRoot / "bus/usb/devices");
    platform::SetUsbRoots(FRoot.string(), "/dev");
  }
  void TearDown() override {
    platform::SetUsbRoots({}, {});
    fs::remove_all(FRoot);
  }

  static void Put(const fs::path &file, const std::string &text) { std::ofstream(file) << text << "\n"; }
  static std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
  }

  // A device on root hub port `port`; an empty serial number means none.
  void Attach(const std::string &port, uint16_t vid, uint16_t pid, const std::string &serial,
              const std::vector<std::string> &hidraw, const std::vector<std::string> &tty,
              const std::string &product = "Zor HID") {
    const fs::path dir = FRoot / "devices/pci0000:00/usb1" / port;
    fs::create_directories(dir);
    Put(dir / "idVendor", Hex4(vid));
    Put(dir / "idProduct", Hex4(pid));
    Put(dir / "manufacturer", "Zor");
    Put(dir / "product", product);
    if (!serial.empty()) Put(dir / "serial", serial);
    int n = 0;
    for (const std::string &node : hidraw)
      fs::create_directories(dir / (port + ":1." + std::to_string(n++)) / "0003:16D0:0611.0001/hidraw" /
                             node);
    for (const std::string &node : tty)
      fs::create_directories(dir / (port + ":1." + std::to_string(n++)) / "tty" / node);
    fs::create_directory_symlink(dir, FRoot / "bus/usb/devices" / port);
  }

  static TZor_UsbDevice *Usb(const std::unique_ptr<TZor_BaseDevice> &item) {
    return dynamic_cast<TZor_UsbDevice *>(item.get());
  }

  fs::path FRoot;
};

TEST_F(LocalDeviceList, MakerDevicesHidFirstThenVirtualComPorts) {
  Attach("1-1", 0x16D0, 0x0610, "", {}, {"ttyACM0"}, "Zor CDC");  // no serial number: still a port
  Attach("1-2", 0xC1CA, 0x0003, "00001001", {"hidraw2"}, {});
  Attach("1-3", 0x16D0, 0x0611, "1A2B3C4D Lab3", {"hidraw7", "hidraw6"}, {}, "Zor HID Bootloader");
  Attach("1-4", 0x303A, 0x4001, "E5P1", {}, {"ttyACM1"}, "ESP");
  Attach("1-5", 0x16D0, 0x0612, "E5P2", {}, {}, "ESP");                // no serial port
  Attach("1-6", 0xC1CA, 0x0004, "", {"hidraw9"}, {});                  // HID without serial number
  Attach("1-7", 0x0403, 0x6001, "FT1", {}, {"ttyUSB0"}, "FT232R");     // another vendor
  Attach("1-8", 0xC1CA, 0x0005, "0005", {"hidraw10"}, {});             // not one of the maker's products
  Attach("1-9", 0x16D0, 0x0610, "0610", {"hidraw11"}, {}, "Zor CDC");  // port ID without a port
  Attach("2-1", 0xC1CA, 0x0003, "00001002", {}, {});                   // HID ID without a HID node

  std::string error = "stale";
  const TZor_LocalDeviceList list = Zor_EnumUsbDevices(-1, error);
  EXPECT_EQ(error, "");
  struct TExpected {
    TZor_DeviceType Type;
    std::string Path, Serial, Product;
  };
  const TExpected expected[] = {
      {Zor_HID, "/dev/hidraw2#VID_C1CA&PID_0003#00001001", "00001001", "Zor HID"},
      {Zor_HID, "/dev/hidraw6#VID_16D0&PID_0611#1A2B3C4D_Lab3", "1A2B3C4D Lab3", "Zor HID Bootloader"},
      {Zor_CDC, "/dev/ttyACM0#VID_16D0&PID_0610#", "", "Zor CDC"},
      {Zor_CDC, "/dev/ttyACM1#VID_303A&PID_4001#E5P1", "E5P1", "ESP"},
  };
  ASSERT_EQ(list.size(), std::size(expected));
  for (size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(i);
    TZor_UsbDevice *device = Usb(list[i]);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->GetDevType(), expected[i].Type);
    EXPECT_EQ(device->GetDevicePath(), expected[i].Path);
    EXPECT_EQ(device->GetSerialNumber(), expected[i].Serial);
    EXPECT_EQ(device->GetProductString(), expected[i].Product);
    EXPECT_EQ(device->GetManufacturerString(), "Zor");
    EXPECT_FALSE(device->GetPortIsOpened());
  }
}

TEST_F(LocalDeviceList, HeldHidDeviceIsRepresentedByACopyOfTheOpenObject) {
  Attach("1-2", 0x16D0, 0x0611, "1001", {"hidraw2"}, {});
  const std::string path = "/dev/hidraw2#VID_16D0&PID_0611#1001";
  TZor_UsbDevice held(-1, 0, nullptr, false, Zor_HID, path, 0x16D0, 0x0611, "1001", "Zor HID", "Held");
  TZor_UsbDevice otherCase(-1, 0, nullptr, false, Zor_HID, "/dev/HIDRAW2#VID_16D0&PID_0611#1001", 0x16D0,
                           0x0611, "1001", "Zor HID", "Case");
  TZor_UsbDevice port(-1, 0, nullptr, false, Zor_CDC, path, 0x16D0, 0x0611, "1001", "Zor HID", "Port");
  const std::vector<TZor_BaseDevice *> open{nullptr, &otherCase, &port, &held};

  std::string error;
  TZor_LocalDeviceList list = Zor_EnumHIDDevices(-1, error, &open);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_NE(list[0].get(), &held);
  EXPECT_EQ(list[0]->GetDevicePath(), path);
  EXPECT_EQ(Usb(list[0])->GetManufacturerString(), "Held");

  list = Zor_EnumHIDDevices(-1, error, nullptr);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(Usb(list[0])->GetManufacturerString(), "Zor");
}

TEST_F(LocalDeviceList, FailingWalkIsReportedForBothSidesAndKeepsSimulatedDevices) {
  platform::SetUsbRoots((FRoot / "missing").string(), "/dev");
  std::string walkError;
  platform::EnumerateUsbDevices(walkError);
  ASSERT_FALSE(walkError.empty());

  platform::TZor_UsbDeviceInfo sim;
  sim.VendorID = 0x16D0;
  sim.ProductID = 0x0611;
  sim.SerialNumber = "00001001";
  sim.SysPath = "sim:usb-localdev";
  sim.HidNodes = {"sim:hid-localdev"};
  ASSERT_TRUE(platform::PlugSimUsbDevice(sim, [](platform::TZor_SysError &) { return nullptr; }));
  std::string error;
  const TZor_LocalDeviceList list = Zor_EnumUsbDevices(-1, error);
  platform::UnplugSimUsbDevice(sim.SysPath);

  EXPECT_EQ(error, "HID: " + walkError + "; CDC: " + walkError);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->GetDevicePath(), "sim:hid-localdev#VID_16D0&PID_0611#00001001");
}

TEST(LocalDeviceListOps, EqualItemsShareTheExactPath) {
  TZor_LocalDeviceList list;
  for (const char *node : {"/dev/hidraw1", "/dev/hidraw2"})
    list.push_back(std::make_unique<TZor_UsbDevice>(
        -1, -1, nullptr, false, Zor_HID, std::string(node) + "#VID_C1CA&PID_0003#AB", 0xC1CA, 0x0003, "AB"));
  const TZor_UsbDevice same(-1, -1, nullptr, false, Zor_HID, "/dev/hidraw2#VID_C1CA&PID_0003#AB", 0xC1CA,
                            0x0003, "AB");
  const TZor_UsbDevice upper(-1, -1, nullptr, false, Zor_HID, "/dev/hidraw2#VID_C1CA&PID_0003#ab", 0xC1CA,
                             0x0003, "ab");
  EXPECT_EQ(IndexOfEqualItem(list, &same), 1);
  EXPECT_TRUE(Contains(list, list[0].get()));
  EXPECT_FALSE(Contains(list, &upper));
  EXPECT_EQ(IndexOfEqualItem(list, nullptr), -1);
}

TEST(LocalDeviceListOps, OpenPortsComeOutLastFirst) {
  TZor_LocalDeviceList list;
  std::vector<TZor_BaseDevice *> items;
  for (int i = 0; i < 5; ++i) {
    list.push_back(std::make_unique<TZor_TestDevice>());
    items.push_back(list.back().get());
  }
  EXPECT_TRUE(ExtractOpenPortsList(list).empty());
  EXPECT_EQ(list.size(), 5u);

  std::string error;
  items[1]->OpenPort(error);
  items[3]->OpenPort(error);
  const TZor_LocalDeviceList open = ExtractOpenPortsList(list);
  ASSERT_EQ(open.size(), 2u);
  EXPECT_EQ(open[0].get(), items[3]);
  EXPECT_EQ(open[1].get(), items[1]);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].get(), items[0]);
  EXPECT_EQ(list[1].get(), items[2]);
  EXPECT_EQ(list[2].get(), items[4]);
}

}  // namespace
}  // namespace zor
