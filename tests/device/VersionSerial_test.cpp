// A version report without a serial number (all ones, the erased value, or
// text that is no number) must not overwrite the serial number the device
// object already knows; a real one replaces it.
#include <gtest/gtest.h>

#include "device/Zor_BaseDevice.h"
#include "device/Zor_Report.h"
#include "tests/device/ReportTestData.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

using namespace testdata;

constexpr uint32_t cKnownSerial = 0x00004321;

std::string ClassicVersion(const std::string &serial, int version = 112) {
  return BuildTextFrame(Report(rid_Version, "VERSION LUM: " + std::to_string(version) +
                                                "US CF 2019-05-10 x / 190510.0A / " + serial +
                                                " / 10.0.0.7 / y"));
}

std::string EspVersion(const std::string &serial) {
  return TextRecord(0x70, rid_Version,
                    "00A1 / " + serial + " 2 / FW: LUM2-1.14 2023-10-05 / HW: 230815.0A / IP: 0501A8C0");
}

// The serial number the device object holds after it delivered `stream`.
uint32_t SerialAfter(TZor_DeviceType type, TZor_PeerType peer, const std::string &stream) {
  TZor_TestDevice dev(type, peer);
  dev.SetSerialNumberValue(cKnownSerial);
  TZor_ReportDevice reader(dev);
  dev.Feed(stream);
  std::string report;
  bool version = false;
  for (int i = 0; i < 10 && !version; ++i) {
    EXPECT_EQ(reader.GetReport(report), Zor_No_Err) << report;
    version = ReportId(report) == rid_Version;
  }
  EXPECT_TRUE(version) << "the version report is delivered all the same";
  return dev.GetSerialNumberValue();
}

TEST(VersionSerial, ClassicReportWithoutSerialKeepsTheKnownOne) {
  for (TZor_DeviceType type : {Zor_HID, Zor_CDC, Zor_Remote, Zor_CAN_Dev}) {
    SCOPED_TRACE(static_cast<int>(type));
    EXPECT_EQ(SerialAfter(type, ptColdfire, ClassicVersion("FFFFFFFF")), cKnownSerial);
    EXPECT_EQ(SerialAfter(type, ptColdfire, ClassicVersion("0FFFFFFF")), cKnownSerial);
    EXPECT_EQ(SerialAfter(type, ptColdfire, ClassicVersion("0000ABCD")), 0x0000ABCDu);
  }
  // Firmware before 40 does not report its serial number at all.
  EXPECT_EQ(SerialAfter(Zor_HID, ptColdfire, ClassicVersion("0000ABCD", 39)), cKnownSerial);
}

TEST(VersionSerial, EspReportWithoutSerialKeepsTheKnownOne) {
  for (TZor_DeviceType type : {Zor_HID, Zor_CDC, Zor_Remote}) {
    SCOPED_TRACE(static_cast<int>(type));
    EXPECT_EQ(SerialAfter(type, ptESP, EspVersion("FFFFFFFF")), cKnownSerial);
    EXPECT_EQ(SerialAfter(type, ptESP, EspVersion("--------")), cKnownSerial);
    EXPECT_EQ(SerialAfter(type, ptESP, EspVersion("12AB34CD")), 0x12AB34CDu);
  }
}

}  // namespace
}  // namespace zor
