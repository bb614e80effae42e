#include "platform/Zor_Hid.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/Zor_HidDescriptor.h"
#include "platform/Zor_UsbEnum.h"

using namespace zor::platform;
namespace fs = std::filesystem;

namespace {

using TBytes = std::vector<uint8_t>;

// 64-byte vendor-defined input and output reports, no report IDs.
const TBytes VendorDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
                                 0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0xC0};

// Report 1: 8 bytes in, 16 bytes out; report 2: 32 bytes in (two 16-byte
// fields, one of them pushed and popped around).
const TBytes NumberedDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,               //
                                   0x85, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x10, 0x91, 0x02,        //
                                   0x85, 0x02, 0xA4, 0x95, 0x10, 0x81, 0x02, 0xB4, 0x81, 0x02, 0xC0};

bool Parse(const TBytes &d, TZor_HidReportLayout &layout) { return ParseHidReportDescriptor(d.data(), d.size(), layout); }

}  // namespace

TEST(HidDescriptor, LengthsIncludeTheReportIdByte) {
  TZor_HidReportLayout layout;
  ASSERT_TRUE(Parse(VendorDescriptor, layout));
  EXPECT_EQ(layout.InputLength, 65u);
  EXPECT_EQ(layout.OutputLength, 65u);
  EXPECT_FALSE(layout.Numbered);

  ASSERT_TRUE(Parse(NumberedDescriptor, layout));
  EXPECT_TRUE(layout.Numbered);
  EXPECT_EQ(layout.InputLength, 33u);
  EXPECT_EQ(layout.OutputLength, 17u);
  EXPECT_EQ(layout.InputBytes, (std::map<uint8_t, uint32_t>{{1, 8}, {2, 32}}));

  // Bits round up to whole bytes; a long item is skipped whole.
  ASSERT_TRUE(Parse({0xFE, 0x02, 0x10, 0x91, 0x91, 0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x91, 0x02}, layout));
  EXPECT_EQ(layout.InputLength, 2u);
}

TEST(HidDescriptor, MalformedOrIncompleteDescriptorsFail) {
  const std::vector<TBytes> bad = {
      {},                                                  // empty
      {0x75, 0x08, 0x95},                                  // item cut short
      {0xFE, 0x05, 0x00, 0x01},                            // long item cut short
      {0x75, 0x08, 0x95, 0x40, 0x81, 0x02},                // no output report
      {0x75, 0x08, 0x95, 0x40, 0x91, 0x02},                // no input report
      {0xB4, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x91, 0x02},                    // pop without push
      {0x85, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x91, 0x02},              // report ID 0
      {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02},  // absurd size
      {0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x81, 0x02, 0x91, 0x02},  // data outside any report ID
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    TZor_HidReportLayout layout;
    EXPECT_FALSE(Parse(bad[i], layout)) << "case " << i;
  }
  TBytes deep;
  for (int i = 0; i < 100; ++i) deep.push_back(0xA4);  // unbounded push
  TZor_HidReportLayout layout;
  EXPECT_FALSE(Parse(deep, layout));
}

namespace {

// A pseudo-terminal stands in for a hidraw node: the test holds the
// device's end (master) and the port opens the slave's path; its report
// descriptor lies in a sysfs tree in a temporary directory.
class PtyHid : public ::testing::Test {
 protected:
  int Master = -1;
  std::string Node;
  fs::path Root;

  void SetUp() override {
    int slave = -1;
    ASSERT_EQ(::openpty(&Master, &slave, nullptr, nullptr, nullptr), 0);
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    Node = ::ttyname(slave);
    ::close(slave);
    Root = fs::temp_directory_path() / ("zor-hid-" + std::to_string(::getpid()));
    SetUsbRoots(Root.string(), {});
    SetDescriptor(VendorDescriptor);
  }
  void TearDown() override {
    if (Master >= 0) ::close(Master);
    SetUsbRoots({}, {});
    fs::remove_all(Root);
  }

  void SetDescriptor(const TBytes &d) {
    fs::path dir = Root / "class/hidraw" / fs::path(Node).filename() / "device";
    fs::create_directories(dir);
    std::ofstream(dir / "report_descriptor", std::ios::binary).write(reinterpret_cast<const char *>(d.data()),
                                                                      static_cast<std::streamsize>(d.size()));
  }

  void Send(const std::string &bytes) {
    ASSERT_EQ(::write(Master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  std::unique_ptr<TZor_HidPort> Open() {
    TZor_SysError error;
    auto port = OpenHidPort(Node, error);
    EXPECT_NE(port, nullptr) << error.Code;
    return port;
  }
};

std::string Payload(size_t n, char first) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(first + i);
  return s;
}

}  // namespace

TEST_F(PtyHid, ReportsArriveWholeWhateverPiecesTheNodeDelivers) {
  auto port = Open();
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->InputReportLength(), 65u);
  const std::string data = Payload(64, 'A'), next = Payload(64, 'a');

  std::thread device([&] {
    Send(data.substr(0, 30));
    SleepMs(20);
    Send(data.substr(30) + next);  // the rest, then the next report at once
  });
  std::string report;
  ASSERT_EQ(port->Read(report, 2000), TZor_IoResult::ioOk);
  device.join();
  EXPECT_EQ(report, std::string(1, '\0') + data);
  ASSERT_EQ(port->Read(report, 0), TZor_IoResult::ioOk);  // already there
  EXPECT_EQ(report, std::string(1, '\0') + next);

  // A piece that misses the deadline waits for the rest.
  Send(data.substr(0, 10));
  uint32_t start = GetTicks();
  EXPECT_EQ(port->Read(report, 50), TZor_IoResult::ioTimeout);
  EXPECT_GE(TicksSince(start), 45u);
  EXPECT_LT(TicksSince(start), 1000u);
  Send(data.substr(10));
  ASSERT_EQ(port->Read(report, 1000), TZor_IoResult::ioOk);
  EXPECT_EQ(report, std::string(1, '\0') + data);
}

TEST_F(PtyHid, NumberedReportsEndWhereTheirIdSays) {
  SetDescriptor(NumberedDescriptor);
  auto port = Open();
  ASSERT_NE(port, nullptr);
  Send("\x01" + Payload(8, 'a') + "\x02" + Payload(32, 'A'));
  std::string report;
  ASSERT_EQ(port->Read(report, 1000), TZor_IoResult::ioOk);
  EXPECT_EQ(report, "\x01" + Payload(8, 'a') + std::string(24, '\0'));  // padded to the input length
  ASSERT_EQ(port->Read(report, 1000), TZor_IoResult::ioOk);
  EXPECT_EQ(report, "\x02" + Payload(32, 'A'));
}

TEST_F(PtyHid, WriteSendsTheWholeReportOrRefusesIt) {
  auto port = Open();
  ASSERT_NE(port, nullptr);
  const std::string report = std::string(1, '\0') + Payload(64, 'x');
  ASSERT_EQ(port->Write(report, 1000), TZor_IoResult::ioOk);
  std::string got(65, '\0');
  ASSERT_EQ(::read(Master, got.data(), got.size()), 65);
  EXPECT_EQ(got, report);

  EXPECT_EQ(port->Write(report.substr(1), 1000), TZor_IoResult::ioError);  // too short
  EXPECT_EQ(port->GetLastError().Code, ERR_INVALID_PARAMETER);
  EXPECT_EQ(port->Write("\x05" + report.substr(1), 1000), TZor_IoResult::ioError);  // no such report
}

TEST_F(PtyHid, CancelEndsABlockedReadAndLaterReadsWork) {
  auto port = Open();
  ASSERT_NE(port, nullptr);
  std::thread canceller([&] {
    SleepMs(20);
    port->CancelRead();
  });
  uint32_t start = GetTicks();
  std::string report;
  EXPECT_EQ(port->Read(report, 10000), TZor_IoResult::ioCancelled);
  EXPECT_LT(TicksSince(start), 1000u);
  canceller.join();
  EXPECT_EQ(port->GetLastError().Code, ERR_OPERATION_ABORTED);
  Send(Payload(64, 'A'));
  EXPECT_EQ(port->Read(report, 1000), TZor_IoResult::ioOk);
}

TEST_F(PtyHid, HangupIsDeviceGone) {
  auto port = Open();
  ASSERT_NE(port, nullptr);
  std::thread unplug([&] {
    SleepMs(20);
    ::close(Master);
    Master = -1;
  });
  std::string report;
  EXPECT_EQ(port->Read(report, 5000), TZor_IoResult::ioError);
  unplug.join();
  EXPECT_EQ(port->GetLastError().Code, ERR_DEVICE_NOT_CONNECTED);
}

TEST_F(PtyHid, OpenFailuresSayWhy) {
  TZor_SysError error;
  {
    auto first = Open();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(OpenHidPort(Node, error), nullptr);
    EXPECT_EQ(error.Code, ERR_ACCESS_DENIED);  // held
  }
  EXPECT_NE(Open(), nullptr);  // released with the port

  EXPECT_EQ(OpenHidPort(Root.string() + "/hidraw99", error), nullptr);
  EXPECT_EQ(error.Code, ERR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(OpenHidPort("sim:hid-none", error), nullptr);
  EXPECT_EQ(error.Code, ERR_DEVICE_NOT_CONNECTED);

  SetDescriptor({0x75, 0x08, 0x95, 0x40, 0x81, 0x02});  // input only
  EXPECT_EQ(OpenHidPort(Node, error), nullptr);
  EXPECT_EQ(error.Code, ERR_INVALID_DATA);
  fs::remove_all(Root / "class");  // no descriptor anywhere: a pty knows no HID ioctls
  EXPECT_EQ(OpenHidPort(Node, error), nullptr);
  EXPECT_EQ(error.Code, ERR_INVALID_DATA);
}

TEST_F(PtyHid, ANodeThisUserMayNotOpenAsksForTheUdevRules) {
  fs::path node = Root / "hidraw0";
  std::ofstream(node).put('x');
  ::chmod(node.c_str(), 0600);
  ::chown(node.c_str(), 0, 0);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A child process drops root (if it has it), so the node is really out of reach.
  EXPECT_EXIT(
      {
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) std::_Exit(99);
        TZor_SysError error;
        auto port = OpenHidPort(node.string(), error);
        std::_Exit(port == nullptr && error.Code == ERR_NO_PERMISSION ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(SystemErrorText({ERR_NO_PERMISSION, EACCES}).rfind("permission denied: install the udev rules", 0), 0u);
}
