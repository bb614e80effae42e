#include "usb/USBUtils.h"

#include <gtest/gtest.h>

namespace zor {
namespace {

TEST(USBUtils, EachPredicateHoldsExactlyForItsIds) {
  struct TCase {
    uint16_t Vid, Pid;
    bool Hid, Cdc, Esp;
  };
  const TCase cases[] = {
      {0xC1CA, 0x0003, true, false, false},  {0xC1CA, 0x0004, true, false, false},
      {0x16D0, 0x0611, true, false, false},  {0x16D0, 0x0610, false, true, false},
      {0x303A, 0x4001, false, false, true},  {0x16D0, 0x0612, false, false, true},
      {0xC1CA, 0x0005, false, false, false}, {0x0611, 0x16D0, false, false, false},
      {0x303A, 0x0611, false, false, false}, {0x0000, 0x0000, false, false, false},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(std::to_string(c.Vid) + ":" + std::to_string(c.Pid));
    EXPECT_EQ(IsHidDeviceId(c.Vid, c.Pid), c.Hid);
    EXPECT_EQ(IsColdfireCdcDeviceId(c.Vid, c.Pid), c.Cdc);
    EXPECT_EQ(IsEspDeviceId(c.Vid, c.Pid), c.Esp);
    EXPECT_EQ(IsZorUsbId(c.Vid, c.Pid), c.Hid || c.Cdc || c.Esp);
  }
}

TEST(USBUtils, DevicePathCarriesNodeAndIdentity) {
  const std::string path = MakeUsbDevicePath("/dev/hidraw3", 0x16D0, 0x0611, "1A2B3C4D Lab3");
  EXPECT_EQ(path, "/dev/hidraw3#VID_16D0&PID_0611#1A2B3C4D_Lab3");
  EXPECT_EQ(DeviceNodeOfPath(path), "/dev/hidraw3");
  EXPECT_EQ(MakeUsbDevicePath("sim:hid1", 0xC1CA, 0x0003, ""), "sim:hid1#VID_C1CA&PID_0003#");
  EXPECT_EQ(DeviceNodeOfPath("/dev/ttyACM0"), "/dev/ttyACM0");
  EXPECT_EQ(DeviceNodeOfPath(""), "");
}

TEST(USBUtils, IdsAreReadFromNamesOnlyWhenBothAreComplete) {
  uint16_t vid = 1, pid = 1;
  ASSERT_TRUE(UsbIdsOfName("/sys/devices/pci0000:00/usb1/1-2#VID_16D0&PID_0611#1A2B", vid, pid));
  EXPECT_EQ(vid, 0x16D0);
  EXPECT_EQ(pid, 0x0611);
  ASSERT_TRUE(UsbIdsOfName("USB\\VID_303a&PID_4001\\1", vid, pid));
  EXPECT_EQ(vid, 0x303A);
  EXPECT_EQ(pid, 0x4001);

  // Missing, cut short or not hexadecimal: nothing is read.
  for (const char *name : {"", "/dev/ttyACM0", "VID_16D0", "VID_16D0&PID_06", "VID_16DX&PID_0610",
                           "VID_16D0&PID_06G0", "vid_16d0&pid_0610"}) {
    SCOPED_TRACE(name);
    vid = pid = 7;
    EXPECT_FALSE(UsbIdsOfName(name, vid, pid));
    EXPECT_EQ(vid, 0);
    EXPECT_EQ(pid, 0);
  }
}

}  // namespace
}  // namespace zor
