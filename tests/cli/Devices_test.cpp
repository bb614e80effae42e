// DEVICE arguments, simulated devices on loopback, and the login value.
#include "cli/Devices.h"

#include <gtest/gtest.h>

#include <set>

#include "cli/AppServices.h"
#include "platform/Zor_SimHosts.h"
#include "sim/SimDevice.h"

using namespace zor;
using namespace zor::cli;

TEST(DeviceAddress, KnownFormsAndTheirRefusals) {
  TDeviceAddress a;
  std::string error;
  ASSERT_TRUE(ParseDeviceAddress("ip:10.0.0.7", a, error));
  EXPECT_EQ(a.Kind, TDeviceKind::Ip);
  EXPECT_EQ(a.Name, "10.0.0.7");
  ASSERT_TRUE(ParseDeviceAddress("host:lum2-0042", a, error));
  EXPECT_EQ(a.Kind, TDeviceKind::Host);
  EXPECT_EQ(a.Name, "lum2-0042");
  ASSERT_TRUE(ParseDeviceAddress("sim:esp", a, error));
  EXPECT_EQ(a.Kind, TDeviceKind::SimEsp);
  EXPECT_TRUE(a.Name.empty());

  ASSERT_TRUE(ParseDeviceAddress("usb", a, error));
  EXPECT_EQ(a.Kind, TDeviceKind::Usb);
  EXPECT_TRUE(a.Name.empty());
  ASSERT_TRUE(ParseDeviceAddress("usb:00001001_Lab 3", a, error));
  EXPECT_EQ(a.Kind, TDeviceKind::Usb);
  EXPECT_EQ(a.Name, "00001001_Lab 3");
  ASSERT_TRUE(ParseDeviceAddress("sim:coldfire-usb", a, error));
  EXPECT_EQ(a.Kind, TDeviceKind::SimColdfireUsb);

  for (const char *bad : {"ip:192.168.1", "ip:", "host:", "usb:", "usbx", "sim:usb", "10.0.0.7", ""}) {
    error.clear();
    EXPECT_FALSE(ParseDeviceAddress(bad, a, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(SimFaults, OnlyKnownFaultsPass) {
  std::string error;
  EXPECT_TRUE(CheckSimFault("never-ready", error));
  EXPECT_TRUE(CheckSimFault("program-status=0x30", error));
  EXPECT_FALSE(CheckSimFault("program-status=", error));
  EXPECT_FALSE(CheckSimFault("explode", error));
}

TEST(SimHost, EachDeviceGetsItsOwnClaimedLoopbackAddress) {
  std::string error;
  TSimDeviceOptions options;
  options.Serial = 0x4711;
  std::unique_ptr<TSimHost> a = TSimHost::Start(false, options, -1, error);
  ASSERT_TRUE(a) << error;
  std::unique_ptr<TSimHost> b = TSimHost::Start(true, options, -1, error);
  ASSERT_TRUE(b) << error;
  EXPECT_NE(a->GetAddress(), b->GetAddress());
  EXPECT_EQ(a->GetAddress().rfind("127.0.0.", 0), 0u);
  EXPECT_EQ(a->GetDevice().GetSerialNumber(), 0x4711u);
  EXPECT_EQ(b->GetDevice().Family(), TSimFamily::Esp);
  EXPECT_EQ(b->GetDevice().GetFirmwareVersion(), 114);
  EXPECT_EQ(platform::SimHostIsUp(a->GetAddress()), true);
  const std::string released = a->GetAddress();
  a.reset();
  EXPECT_FALSE(platform::SimHostIsUp(released).has_value());
}

TEST(Login, PasswordTextAndLoginValue) {
  EXPECT_EQ(ParsePassword("1234ABCD"), 0x1234ABCDu);
  EXPECT_EQ(ParsePassword("0"), 0u);
  EXPECT_FALSE(ParsePassword(""));
  EXPECT_FALSE(ParsePassword("123456789"));
  EXPECT_FALSE(ParsePassword("12G4"));

  // The random half changes, the password half (bytes 2, 3, 5, 7) does not.
  const std::string first = MakeLoginText(0x12345678);
  std::set<std::string> seen{first};
  for (int i = 0; i < 8; ++i) {
    const std::string again = MakeLoginText(0x12345678);
    ASSERT_EQ(again.size(), 8u);
    for (int k : {2, 3, 5, 7}) EXPECT_EQ(again[k], first[k]);
    seen.insert(again);
  }
  EXPECT_GT(seen.size(), 1u);
  const uint32_t x = 0x12345678u ^ 0x3D71C4A9u;
  auto byte = [&](int n) { return static_cast<uint8_t>(first[n]); };
  EXPECT_EQ(byte(5), x & 0xFF);
  EXPECT_EQ(byte(3), (x >> 8) & 0xFF);
  EXPECT_EQ(byte(2), (x >> 16) & 0xFF);
  EXPECT_EQ(byte(7), x >> 24);
  EXPECT_LT(byte(0), 0x80);  // the random number stays below 0x7FFFFFFF
}
