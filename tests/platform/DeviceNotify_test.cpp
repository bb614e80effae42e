#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/Zor_DeviceNotify.h"
#include "platform/Zor_SimUsb.h"
#include "platform/Zor_UEventMapper.h"

using namespace zor::platform;
namespace fs = std::filesystem;

namespace {

// A kernel uevent datagram: the header and every field NUL-terminated.
std::string KernelMessage(const std::string &head, const std::vector<std::string> &fields) {
  std::string message = head + '\0';
  for (const auto &f : fields) message += f + '\0';
  return message;
}

// The udev daemon's form of the same fields.
std::string UdevMessage(const std::vector<std::string> &fields, uint8_t magicByte = 0xFE) {
  std::string props;
  for (const auto &f : fields) props += f + '\0';
  std::string header(40, '\0');
  std::memcpy(header.data(), "libudev", 8);
  const uint8_t magic[4] = {magicByte, 0xED, 0xCA, 0xFE};
  std::memcpy(header.data() + 8, magic, 4);
  const uint32_t words[3] = {40, 40, static_cast<uint32_t>(props.size())};
  std::memcpy(header.data() + 12, words, sizeof words);
  return header + props;
}

TZor_UEvent Event(const std::string &action, const std::string &devPath, std::vector<std::string> fields) {
  fields.insert(fields.begin(), {"ACTION=" + action, "DEVPATH=" + devPath});
  auto event = ParseUEvent(KernelMessage(action + "@" + devPath, fields));
  EXPECT_TRUE(event.has_value()) << action << "@" << devPath;
  return event.value_or(TZor_UEvent{});
}

}  // namespace

TEST(ParseUEvent, ReadsHeaderAndFields) {
  auto event = ParseUEvent(
      KernelMessage("add@/devices/pci0000:00/usb1/1-2", {"ACTION=add", "DEVPATH=/devices/pci0000:00/usb1/1-2",
                                                         "SUBSYSTEM=usb", "PRODUCT=16d0/611/100", "EMPTY="}));
  ASSERT_TRUE(event);
  EXPECT_EQ(event->Action, "add");
  EXPECT_EQ(event->DevPath, "/devices/pci0000:00/usb1/1-2");
  EXPECT_EQ(event->Get("PRODUCT"), "16d0/611/100");
  EXPECT_EQ(event->Get("EMPTY"), "");
  EXPECT_EQ(event->Get("MISSING"), "");
  // A value may itself hold '=' and '@'.
  event = ParseUEvent(KernelMessage("change@/devices/x", {"X=a=b@c"}));
  ASSERT_TRUE(event);
  EXPECT_EQ(event->Get("X"), "a=b@c");
  EXPECT_TRUE(ParseUEvent(KernelMessage("remove@/devices/x", {})));
}

TEST(ParseUEvent, RejectsMalformedAndForeignMessages) {
  const std::string good = KernelMessage("add@/devices/x", {"ACTION=add", "SUBSYSTEM=usb"});
  const std::vector<std::pair<const char *, std::string>> bad = {
      {"empty", ""},
      {"cut in the last field", good.substr(0, good.size() - 3)},
      {"cut after the header", "add@/devices/x"},
      {"no @", KernelMessage("add/devices/x", {})},
      {"empty action", KernelMessage("@/devices/x", {})},
      {"empty path", KernelMessage("add@", {})},
      {"field without =", KernelMessage("add@/devices/x", {"SUBSYSTEM"})},
      {"empty key", KernelMessage("add@/devices/x", {"=usb"})},
      {"empty field", KernelMessage("add@/devices/x", {"A=1", "", "B=2"})},
      {"repeated key", KernelMessage("add@/devices/x", {"SUBSYSTEM=usb", "SUBSYSTEM=tty"})},
      {"ACTION differs", KernelMessage("add@/devices/x", {"ACTION=remove"})},
      {"DEVPATH differs", KernelMessage("add@/devices/x", {"DEVPATH=/devices/y"})},
      {"udev form", UdevMessage({"ACTION=add", "DEVPATH=/devices/x"})},
      {"oversized", KernelMessage("add@/devices/x", {"X=" + std::string(64 * 1024, 'a')})},
  };
  for (const auto &[what, message] : bad) EXPECT_FALSE(ParseUEvent(message)) << what;
}

TEST(ParseUdevMessage, ReadsTestBedEventsAndChecksTheHeader) {
  // umockdev repeats SUBSYSTEM with the same value.
  auto event = ParseUdevMessage(
      UdevMessage({"ACTION=add", "DEVPATH=/devices/usb1", "SUBSYSTEM=usb", "SEQNUM=5", "SUBSYSTEM=usb"}));
  ASSERT_TRUE(event);
  EXPECT_EQ(event->Action, "add");
  EXPECT_EQ(event->DevPath, "/devices/usb1");
  EXPECT_EQ(event->Get("SUBSYSTEM"), "usb");

  EXPECT_FALSE(ParseUdevMessage(UdevMessage({"ACTION=add", "DEVPATH=/x"}, 0x00))) << "magic";
  EXPECT_FALSE(ParseUdevMessage(UdevMessage({"SUBSYSTEM=usb"}))) << "no action or path";
  EXPECT_FALSE(ParseUdevMessage(KernelMessage("add@/devices/x", {}))) << "kernel form";
  std::string message = UdevMessage({"ACTION=add", "DEVPATH=/x"});
  EXPECT_FALSE(ParseUdevMessage(message.substr(0, message.size() - 4))) << "properties cut short";
  const uint32_t huge = 0xFFFFFFF0u;
  std::memcpy(message.data() + 20, &huge, 4);
  EXPECT_FALSE(ParseUdevMessage(message)) << "length past the end";
  EXPECT_FALSE(ParseUdevMessage(message.substr(0, 39))) << "header cut short";
}

namespace {

// Device directories of a sysfs tree in a temporary directory.
class UEventMapper : public ::testing::Test {
 protected:
  fs::path Root = fs::temp_directory_path() / ("zor-uevent-" + std::to_string(::getpid()));
  TZor_UEventMapper Mapper{Root.string()};

  void SetUp() override { fs::remove_all(Root); }
  void TearDown() override { fs::remove_all(Root); }

  void AddDevice(const std::string &devPath, const std::string &vid, const std::string &pid,
                 const std::string &serial) {
    const fs::path dir = Root / devPath.substr(1);
    fs::create_directories(dir);
    std::ofstream(dir / "idVendor") << vid << "\n";
    std::ofstream(dir / "idProduct") << pid << "\n";
    std::ofstream(dir / "serial") << serial << "\n";
  }
};

const std::string DevA = "/devices/pci0000:00/0000:00:14.0/usb1/1-2";

void ExpectChange(const std::optional<TZor_DeviceChange> &change, TZor_DeviceChangeKind kind,
                  const std::string &name) {
  ASSERT_TRUE(change) << name;
  EXPECT_EQ(change->Kind, kind);
  EXPECT_EQ(change->Name, name);
}

}  // namespace

TEST_F(UEventMapper, ArrivalReadsSysfsAndRemovalKeepsTheSerialNumber) {
  AddDevice(DevA, "16d0", "0611", "1A2B3C4D Lab3");
  const std::string name = "/sys" + DevA + "#VID_16D0&PID_0611#1A2B3C4D_Lab3";
  ExpectChange(
      Mapper.Map(Event("add", DevA, {"SUBSYSTEM=usb", "DEVTYPE=usb_device", "PRODUCT=16d0/611/100"})),
      TZor_DeviceChangeKind::dcUsbAttached, name);
  // On removal the directory is already gone.
  fs::remove_all(Root);
  const auto remove = Event("remove", DevA, {"SUBSYSTEM=usb", "DEVTYPE=usb_device", "PRODUCT=16d0/611/100"});
  ExpectChange(Mapper.Map(remove), TZor_DeviceChangeKind::dcUsbDetached, name);
  // Forgotten once removed: a second removal no longer knows the serial.
  ExpectChange(Mapper.Map(remove), TZor_DeviceChangeKind::dcUsbDetached,
               "/sys" + DevA + "#VID_16D0&PID_0611#");
}

TEST_F(UEventMapper, DevicesSeenOnlyThroughTheirEventFields) {
  // Present before watching started.
  Mapper.Remember(DevA, 0xC1CA, 0x0003, "00001001");
  ExpectChange(
      Mapper.Map(Event("remove", DevA, {"SUBSYSTEM=usb", "DEVTYPE=usb_device", "PRODUCT=c1ca/3/100"})),
      TZor_DeviceChangeKind::dcUsbDetached, "/sys" + DevA + "#VID_C1CA&PID_0003#00001001");
  // Gone before its directory could be read: vendor and product from PRODUCT.
  ExpectChange(Mapper.Map(Event("add", DevA, {"SUBSYSTEM=usb", "DEVTYPE=usb_device", "PRODUCT=303a/4001/1"})),
               TZor_DeviceChangeKind::dcUsbAttached, "/sys" + DevA + "#VID_303A&PID_4001#");
  for (const char *product : {"", "16d0", "16d0/611", "xyz/611/1", "16d00/611/1"})
    EXPECT_FALSE(
        Mapper.Map(Event("remove", "/devices/usb1/1-9",
                         {"SUBSYSTEM=usb", "DEVTYPE=usb_device", std::string("PRODUCT=") + product})))
        << product;
}

TEST_F(UEventMapper, HostileSysfsStringsAreCleaned) {
  AddDevice(DevA, "16d0", "0611", "AB\x1b[2J");
  ExpectChange(Mapper.Map(Event("add", DevA, {"SUBSYSTEM=usb", "DEVTYPE=usb_device"})),
               TZor_DeviceChangeKind::dcUsbAttached, "/sys" + DevA + "#VID_16D0&PID_0611#AB?[2J");
}

TEST_F(UEventMapper, SerialPortsOfUsbDevices) {
  const std::string acm = DevA + "/1-2:1.0/tty/ttyACM10";
  ExpectChange(Mapper.Map(Event("add", acm, {"SUBSYSTEM=tty", "DEVNAME=ttyACM10"})),
               TZor_DeviceChangeKind::dcPortAttached, "/dev/ttyACM10");
  ExpectChange(Mapper.Map(Event("remove", acm, {"SUBSYSTEM=tty", "DEVNAME=ttyACM10"})),
               TZor_DeviceChangeKind::dcPortDetached, "/dev/ttyACM10");
  // udev's form names the node with its directory.
  ExpectChange(Mapper.Map(Event("add", DevA + "/1-2:1.0/ttyUSB0/tty/ttyUSB0",
                                {"SUBSYSTEM=tty", "DEVNAME=/dev/ttyUSB0"})),
               TZor_DeviceChangeKind::dcPortAttached, "/dev/ttyUSB0");
}

TEST_F(UEventMapper, EverythingElseIsIgnored) {
  AddDevice(DevA, "16d0", "0611", "X");
  const std::vector<TZor_UEvent> ignored = {
      Event("bind", DevA, {"SUBSYSTEM=usb", "DEVTYPE=usb_device"}),
      Event("change", DevA, {"SUBSYSTEM=usb", "DEVTYPE=usb_device"}),
      Event("add", DevA + "/1-2:1.0", {"SUBSYSTEM=usb", "DEVTYPE=usb_interface"}),
      Event("add", "/devices/virtual/block/loop0", {"SUBSYSTEM=block", "DEVNAME=loop0"}),
      Event("add", "/devices/platform/serial8250/tty/ttyS0", {"SUBSYSTEM=tty", "DEVNAME=ttyS0"}),
      Event("add", "/devices/virtual/tty/ttyACM0", {"SUBSYSTEM=tty", "DEVNAME=ttyACM0"}),  // not below USB
      Event("add", DevA + "/1-2:1.0/tty/x", {"SUBSYSTEM=tty", "DEVNAME=ttyACM0/../../etc"}),
      Event("add", DevA + "/1-2:1.0/tty/x", {"SUBSYSTEM=tty", "DEVNAME=ttyACM"}),
      // Paths that would leave the sysfs root or break the name apart.
      Event("add", "/devices/../../etc", {"SUBSYSTEM=usb", "DEVTYPE=usb_device", "PRODUCT=16d0/611/1"}),
      Event("add", "/devices/usb1/1-2#x", {"SUBSYSTEM=usb", "DEVTYPE=usb_device", "PRODUCT=16d0/611/1"}),
      Event("add", "/sys/devices/usb1/1-2", {"SUBSYSTEM=usb", "DEVTYPE=usb_device", "PRODUCT=16d0/611/1"}),
  };
  for (const auto &event : ignored) EXPECT_FALSE(Mapper.Map(event)) << event.Action << "@" << event.DevPath;
}

namespace {

bool Readable(TZor_NativeHandle handle, int timeoutMs) {
  pollfd fd{static_cast<int>(handle), POLLIN, 0};
  return ::poll(&fd, 1, timeoutMs) == 1;
}

TZor_UsbDeviceInfo SimDevice(const std::string &n) {
  TZor_UsbDeviceInfo info;
  info.VendorID = 0x16D0;
  info.ProductID = 0x0611;
  info.SerialNumber = "0000100" + n;
  info.SysPath = "sim:usbnotify" + n;
  info.HidNodes = {"sim:hidnotify" + n};
  return info;
}

}  // namespace

TEST(DeviceMonitor, SimulatedPlugWakesTheHandleAndPumpDelivers) {
  std::vector<TZor_DeviceChange> seen;
  int calls = 0;
  TZor_SysError error;
  auto monitor = CreateDeviceMonitor(
      [&](const TZor_DeviceChange &change) {
        // A front end's handler failing must not cost later notifications.
        if (++calls == 1) throw std::runtime_error("handler failed");
        seen.push_back(change);
      },
      error);
  ASSERT_TRUE(monitor) << error.Code;
  ASSERT_NE(monitor->PollHandle(), ZorInvalidHandle);

  ASSERT_TRUE(PlugSimUsbDevice(SimDevice("1"), nullptr));
  ASSERT_TRUE(PlugSimUsbDevice(SimDevice("2"), nullptr));
  ASSERT_TRUE(Readable(monitor->PollHandle(), 2000));
  EXPECT_NO_THROW(monitor->Pump());
  UnplugSimUsbDevice("sim:usbnotify2");
  ASSERT_TRUE(Readable(monitor->PollHandle(), 2000));
  monitor->Pump();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].Kind, TZor_DeviceChangeKind::dcUsbAttached);
  EXPECT_EQ(seen[0].Name, "sim:usbnotify2#VID_16D0&PID_0611#00001002");
  EXPECT_EQ(seen[1].Kind, TZor_DeviceChangeKind::dcUsbDetached);
  EXPECT_EQ(seen[1].Name, "sim:usbnotify2#VID_16D0&PID_0611#00001002");

  // Once gone, the monitor hears nothing more (and is not called after its end).
  monitor.reset();
  UnplugSimUsbDevice("sim:usbnotify1");
  EXPECT_EQ(seen.size(), 2u);
}

TEST(DeviceMonitor, PumpCalledFromItsOwnHandler) {
  // A handler that processes pending messages pumps again from inside.
  std::vector<std::string> seen;
  std::unique_ptr<TZor_DeviceMonitor> monitor;
  TZor_SysError error;
  monitor = CreateDeviceMonitor(
      [&](const TZor_DeviceChange &change) {
        seen.push_back(change.Name);
        monitor->Pump();
      },
      error);
  ASSERT_TRUE(monitor) << error.Code;
  ASSERT_TRUE(PlugSimUsbDevice(SimDevice("3"), nullptr));
  ASSERT_TRUE(PlugSimUsbDevice(SimDevice("4"), nullptr));
  monitor->Pump();
  UnplugSimUsbDevice("sim:usbnotify3");
  UnplugSimUsbDevice("sim:usbnotify4");
  monitor->Pump();
  EXPECT_EQ(seen,
            (std::vector<std::string>{
                "sim:usbnotify3#VID_16D0&PID_0611#00001003", "sim:usbnotify4#VID_16D0&PID_0611#00001004",
                "sim:usbnotify3#VID_16D0&PID_0611#00001003", "sim:usbnotify4#VID_16D0&PID_0611#00001004"}));
}

TEST(DeviceMonitor, MessagesFromOtherProcessesAreNotBelieved) {
  std::vector<TZor_DeviceChange> seen;
  TZor_SysError error;
  auto monitor = CreateDeviceMonitor([&](const TZor_DeviceChange &change) { seen.push_back(change); }, error);
  ASSERT_TRUE(monitor) << error.Code;

  // Only a privileged process may send to the kernel's group at all.
  const int sock = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  ASSERT_GE(sock, 0);
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_groups = 1;
  const std::string forged =
      KernelMessage("add@/devices/zor-forged/usb1/1-1",
                    {"ACTION=add", "SUBSYSTEM=usb", "DEVTYPE=usb_device", "PRODUCT=16d0/611/1"});
  const ssize_t sent =
      ::sendto(sock, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  const int sendError = errno;
  ::close(sock);
  if (sent < 0) GTEST_SKIP() << "cannot send uevents here: " << std::strerror(sendError);

  ASSERT_TRUE(Readable(monitor->PollHandle(), 2000));
  monitor->Pump();
  for (const auto &change : seen) EXPECT_EQ(change.Name.find("zor-forged"), std::string::npos);
}
