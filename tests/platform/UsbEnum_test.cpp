#include "platform/Zor_UsbEnum.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/Zor_SimUsb.h"

using namespace zor::platform;
namespace fs = std::filesystem;

TEST(CleanDeviceString, KeepsValidTextAndReplacesTheRest) {
  EXPECT_EQ(CleanDeviceString("Zor HID\n"), "Zor HID");
  EXPECT_EQ(CleanDeviceString("Messgerät µ€ 😀"), "Messgerät µ€ 😀");
  EXPECT_EQ(CleanDeviceString("a\x1b[2Jb\x7f"), "a?[2Jb?");
  EXPECT_EQ(CleanDeviceString("c1\xc2\x85!"), "c1?!");              // C1 control (NEL)
  EXPECT_EQ(CleanDeviceString("\xff\xfe" "x"), "??x");              // stray bytes, one '?' each
  EXPECT_EQ(CleanDeviceString("\xc0\xaf"), "??");                   // overlong '/'
  EXPECT_EQ(CleanDeviceString("\xed\xa0\x80"), "???");              // surrogate
  EXPECT_EQ(CleanDeviceString("ab\xe2\x82"), "ab??");               // cut sequence at the end
  EXPECT_EQ(CleanDeviceString(std::string("a\0b", 3)), "a?b");
}

TEST(CleanDeviceString, CutsAt126Characters) {
  EXPECT_EQ(CleanDeviceString(std::string(300, 'x')), std::string(126, 'x'));
  std::string umlauts;
  for (int i = 0; i < 200; ++i) umlauts += "ä";
  std::string cleaned = CleanDeviceString(umlauts);
  EXPECT_EQ(cleaned.size(), 126u * 2);  // characters, not bytes; never half a character
}

TEST(UsbIdentityName, UpperHexAndBlanksAsUnderscores) {
  EXPECT_EQ(UsbIdentityName(0x16d0, 0x611, "1A2B3C4D Lab 3"), "VID_16D0&PID_0611#1A2B3C4D_Lab_3");
  EXPECT_EQ(UsbIdentityName(0xC1CA, 0x0003, ""), "VID_C1CA&PID_0003#");
}

namespace {

// A sysfs tree in a temporary directory, laid out the way the kernel does:
// device directories under devices/, symlinks in bus/usb/devices/.
class FakeSysfs : public ::testing::Test {
 protected:
  fs::path Root;

  void SetUp() override {
    Root = fs::temp_directory_path() / ("zor-sysfs-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Root);
    fs::create_directories(Root / "bus/usb/devices");
    SetUsbRoots(Root.string(), "/devx");
  }
  void TearDown() override {
    SetUsbRoots({}, {});
    fs::remove_all(Root);
  }

  static void Write(const fs::path &file, const std::string &text) {
    std::ofstream(file, std::ios::binary) << text;
  }

  // A device below `parent` (relative to devices/), linked as `name`.
  fs::path Device(const std::string &parent, const std::string &name, const std::string &vid, const std::string &pid,
                  const std::string &cls = "00") {
    fs::path dir = Root / "devices" / parent / name;
    fs::create_directories(dir);
    Write(dir / "idVendor", vid + "\n");
    Write(dir / "idProduct", pid + "\n");
    Write(dir / "bcdDevice", "0102\n");
    Write(dir / "bDeviceClass", cls + "\n");
    fs::create_directory_symlink(dir, Root / "bus/usb/devices" / name);
    return dir;
  }
};

}  // namespace

TEST_F(FakeSysfs, WalkFindsDevicesStringsAndNodes) {
  fs::path hub = Device("pci0000:00/0000:00:14.0", "usb1", "1d6b", "0002", "09");
  Write(hub / "product", "xHCI Host Controller\n");
  fs::path hid = Device("pci0000:00/0000:00:14.0/usb1", "1-2", "16d0", "0611");
  Write(hid / "manufacturer", "Zor\n");
  Write(hid / "product", "Zor HID Bootloader\n");
  Write(hid / "serial", "1A2B3C4D\n");
  fs::create_directories(hid / "1-2:1.0/0003:16D0:0611.0001/hidraw/hidraw3");
  fs::create_symlink(hid / "1-2:1.0", Root / "bus/usb/devices/1-2:1.0");  // interfaces are listed too
  fs::path inner = Device("pci0000:00/0000:00:14.0/usb1", "1-1", "05e3", "0608", "09");
  fs::path cdc = Device("pci0000:00/0000:00:14.0/usb1/1-1", "1-1.4", "16d0", "0610");  // behind a hub, no serial
  fs::create_directories(cdc / "1-1.4:1.0/tty/ttyACM0");
  fs::create_directories(cdc / "1-1.4:1.1");
  fs::path serial = Device("pci0000:00/0000:00:14.0/usb1/1-1", "1-1.2", "0403", "6001");
  fs::create_directories(serial / "1-1.2:1.0/ttyUSB0/tty/ttyUSB0");

  std::string error;
  auto devices = EnumerateUsbDevices(error);
  EXPECT_EQ(error, "");
  ASSERT_EQ(devices.size(), 5u);
  const std::string base = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
  EXPECT_EQ(devices[0].SysPath, base);  // sorted by SysPath
  EXPECT_TRUE(devices[0].DeviceIsHub);
  EXPECT_EQ(devices[0].Product, "xHCI Host Controller");

  const auto &h = devices[4];
  EXPECT_EQ(h.SysPath, base + "/1-2");
  EXPECT_EQ(h.VendorID, 0x16D0);
  EXPECT_EQ(h.ProductID, 0x0611);
  EXPECT_EQ(h.BcdDevice, 0x0102);
  EXPECT_FALSE(h.DeviceIsHub);
  EXPECT_EQ(h.Manufacturer, "Zor");
  EXPECT_EQ(h.Product, "Zor HID Bootloader");
  EXPECT_EQ(h.SerialNumber, "1A2B3C4D");
  EXPECT_EQ(h.HidNodes, std::vector<std::string>{"/devx/hidraw3"});
  EXPECT_TRUE(h.TtyNodes.empty());

  const auto &c = devices[3];
  EXPECT_EQ(c.SysPath, base + "/1-1/1-1.4");
  EXPECT_EQ(c.SerialNumber, "");
  EXPECT_EQ(c.TtyNodes, std::vector<std::string>{"/devx/ttyACM0"});
  EXPECT_EQ(devices[2].TtyNodes, std::vector<std::string>{"/devx/ttyUSB0"});
  EXPECT_TRUE(devices[1].DeviceIsHub);
}

TEST_F(FakeSysfs, HostileStringsAreCleaned) {
  fs::path dev = Device("pci0000:00", "3-1", "16d0", "0611");
  Write(dev / "product", "\x1b]0;owned\x07" + std::string(300, 'P') + "\n");
  Write(dev / "serial", "12\xff\xfe" "34\n");
  std::string error;
  auto devices = EnumerateUsbDevices(error);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].Product, "?]0;owned?" + std::string(116, 'P'));
  EXPECT_EQ(devices[0].SerialNumber, "12??34");
}

TEST_F(FakeSysfs, VanishedOrMalformedDevicesAreLeftOut) {
  Device("pci0000:00", "3-1", "16d0", "0611");
  fs::path gone = Device("pci0000:00", "3-2", "16d0", "0611");
  fs::remove_all(gone);  // left a dangling link behind
  fs::path bad = Device("pci0000:00", "3-3", "zz", "0611");
  std::string error;
  auto devices = EnumerateUsbDevices(error);
  EXPECT_EQ(error, "");
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].SysPath, "/sys/devices/pci0000:00/3-1");
}

TEST_F(FakeSysfs, MissingRootIsAnErrorButSimulatedDevicesStillCount) {
  SetUsbRoots((Root / "nothing").string(), {});
  TZor_UsbDeviceInfo sim;
  sim.SysPath = "sim:usb7";
  sim.HidNodes = {"sim:hid7"};
  ASSERT_TRUE(PlugSimUsbDevice(sim, [](TZor_SysError &) { return nullptr; }));
  std::string error;
  auto devices = EnumerateUsbDevices(error);
  UnplugSimUsbDevice("sim:usb7");
  EXPECT_NE(error.find("cannot read the USB device list"), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].SysPath, "sim:usb7");
}

TEST_F(FakeSysfs, ASystemWithoutAUsbBusHasNoDevicesAndNoError) {
  fs::create_directories(Root / "sys/bus/pci");
  SetUsbRoots((Root / "sys").string(), {});
  std::string error;
  EXPECT_TRUE(EnumerateUsbDevices(error).empty());
  EXPECT_EQ(error, "");
}

TEST_F(FakeSysfs, SimulatedDevicesComeLast) {
  Device("pci0000:00", "3-1", "16d0", "0611");
  TZor_UsbDeviceInfo sim;
  sim.SysPath = "sim:usb1";
  ASSERT_TRUE(PlugSimUsbDevice(sim, {}));
  std::string error;
  auto devices = EnumerateUsbDevices(error);
  UnplugSimUsbDevice("sim:usb1");
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[1].SysPath, "sim:usb1");
}
