// zorfw against a HID device emulated with umockdev: the maker's device in
// sysfs (identity, strings, report descriptor) and its /dev/hidraw0 node on a
// pseudo-terminal, served by the simulator's HID link. zorfw runs as a child
// process and inherits the testbed through the wrapper's environment.
//
// Usage, under umockdev-wrapper: zor-hid-umockdev ZORFW SAMPLES_DIR
// Exit status 0 passed, 1 failed, 77 skipped.
//
// umockdev 0.17 aborts when a node is added again under the same name, so a
// restart sends "remove" and later "add" for the device that stays in the
// testbed; a change of identity (boot loader and back) is written into its
// sysfs attributes before the "add".
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimColdfire.h"
#include "sim/SimHidLink.h"
#include "tests/system/ZorfwRun.h"


namespace zor {
namespace {

using systest::Check;
using systest::Failures;
using systest::FlashHolds;
using systest::TClock;
using systest::TZorfw;

const char *UsbPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
const char *HidrawNode = "/dev/hidraw0";

// Vendor-defined collection: 64-byte input and output reports, no report IDs.
const unsigned char ReportDescriptor[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                                          0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01,
                                          0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0xC0};


std::string Hex(const unsigned char *bytes, size_t n) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
    out += buf;
  }
  return out;
}

// The testbed: the device in sysfs and its node. Uevents come from the link's
// worker and from the main thread, so every testbed call is under one lock.
class TTestbed {
 public:
  explicit TTestbed(const platform::TZor_UsbDeviceInfo &id) {
    FBed = umockdev_testbed_new();
    const std::string usb = std::string("P: ") + (UsbPath + 4) + "\n";
    const std::string iface = usb.substr(0, usb.size() - 1) + "/1-2:1.0\n";
    const std::string hid = iface.substr(0, iface.size() - 1) + "/0003:16D0:0611.0001\n";
    char ids[64];
    std::snprintf(ids, sizeof ids, "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\n", id.VendorID,
                  id.ProductID, id.BcdDevice);
    const std::string text =
        usb + "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" + ids +
        "A: bDeviceClass=00\nA: manufacturer=" + id.Manufacturer + "\nA: product=" + id.Product +
        "\nA: serial=" + id.SerialNumber + "\n\n" + iface +
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=03\n\n" + hid +
        "E: SUBSYSTEM=hid\nE: HID_ID=0003:000016D0:00000611\nH: report_descriptor=" +
        Hex(ReportDescriptor, sizeof ReportDescriptor) + "\n\n" + hid.substr(0, hid.size() - 1) +
        "/hidraw/hidraw0\nN: hidraw0\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw0\nA: dev=243:0\n";
    GError *error = nullptr;
    FOk = umockdev_testbed_add_from_string(FBed, text.c_str(), &error);
    if (!FOk) {
      std::printf("testbed: %s\n", error ? error->message : "?");
      if (error) g_error_free(error);
      return;
    }
    FHidraw = std::string(UsbPath) + "/1-2:1.0/0003:16D0:0611.0001/hidraw/hidraw0";
    // hidraw's "device" link leads to the HID device with the report descriptor.
    umockdev_testbed_set_attribute_link(FBed, FHidraw.c_str(), "device", "../..");
    FMaster = umockdev_testbed_get_dev_fd(FBed, HidrawNode);
    if (FMaster < 0) {
      FOk = false;
      return;
    }
    // The test's end in raw mode, so no byte of a report is taken for a control character.
    termios t{};
    tcgetattr(FMaster, &t);
    cfmakeraw(&t);
    tcsetattr(FMaster, TCSANOW, &t);
  }
  ~TTestbed() { g_object_unref(FBed); }

  bool Ok() const { return FOk; }
  int Master() const { return FMaster; }

  // The device leaves (restart) or comes back under `id`.
  void Presence(bool present, const platform::TZor_UsbDeviceInfo &id) {
    std::lock_guard l(FLock);
    if (FGone) return;
    if (present) {
      char pid[8];
      std::snprintf(pid, sizeof pid, "%04x", id.ProductID);
      umockdev_testbed_set_attribute(FBed, UsbPath, "idProduct", pid);
      umockdev_testbed_set_attribute(FBed, UsbPath, "product", id.Product.c_str());
      umockdev_testbed_set_attribute(FBed, UsbPath, "serial", id.SerialNumber.c_str());
    }
    umockdev_testbed_uevent(FBed, UsbPath, present ? "add" : "remove");
    std::printf("uevent %s (%s)\n", present ? "add" : "remove", id.Product.c_str());
    std::fflush(stdout);
  }

  // The cable is pulled: removal uevent, the open node hung up, the device
  // gone from sysfs and /dev. Returns whether the hang-up was possible.
  bool Unplug() {
    std::lock_guard l(FLock);
    FGone = true;
    umockdev_testbed_uevent(FBed, UsbPath, "remove");
    bool hungUp = false;
    char name[128];
    if (ptsname_r(FMaster, name, sizeof name) == 0) {
      const int host = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (host >= 0) {
        // Straight to the kernel: the preloaded library answers ioctls on
        // emulated nodes itself.
        hungUp = syscall(SYS_ioctl, host, TIOCVHANGUP, 0) == 0;
        if (!hungUp) std::printf("hang-up of %s: %s\n", name, std::strerror(errno));
        close(host);
      } else {
        std::printf("open %s: %s\n", name, std::strerror(errno));
      }
    }
    umockdev_testbed_remove_device(FBed, UsbPath);
    return hungUp;
  }

 private:
  std::mutex FLock;
  UMockdevTestbed *FBed = nullptr;
  bool FOk = false;
  bool FGone = false;
  int FMaster = -1;
  std::string FHidraw;
};


int Run(const std::string &zorfw, const std::string &samples) {
  TSimConfig config;
  config.SerialNumber = 0x1A2B3C4D;
  auto model = std::make_unique<TSimColdfire>(config);
  TSimHidLink link(*model);
  TTestbed bed(link.Identity());
  if (!bed.Ok()) {
    std::printf("SKIP: the testbed cannot be built (is this running under umockdev-wrapper?)\n");
    return 77;
  }
  link.SetOnPresence([&](bool present) { bed.Presence(present, link.Identity()); });
  std::thread server([&] { link.ServeStream(bed.Master()); });

  {
    TZorfw list(zorfw, {"list", "--json"});
    const int exit = list.Wait(30);
    Check(exit == 0 && list.Has("1A2B3C4D") && list.Has(HidrawNode), "zorfw list shows the HID device",
          list.Output());
  }
  {
    TZorfw info(zorfw, {"info", "usb", "--json"});
    const int exit = info.Wait(60);
    Check(exit == 0 && info.Has("112"), "zorfw info usb reads the firmware version", info.Output());
  }
  const std::string image = samples + "/LUM_SU6_Firmware_V62.s19";
  {
    TZorfw update(zorfw, {"update", "usb", image, "--json", "--yes"});
    const int exit = update.Wait(120);
    std::string why;
    const bool holds = FlashHolds(*model, image, why);
    Check(exit == 0 && holds,
          "zorfw update usb programs the user code (" + std::to_string(update.Seconds()) + " s)",
          why + "\n" + update.Output());
  }
  {
    // Erase the user code again so a success could only come from this run.
    TSimPersistent state = model->GetPersistent();
    state.Flash.replace(SimUserCodeStart + 8, 0x1000, 0x1000, '\xFF');
    model->SetPersistent(state);
    const size_t before = model->CommandLog().size();
    TZorfw update(zorfw, {"update", "usb", image, "--json", "--yes"});
    // Pull the cable once the image is on its way.
    const auto until = TClock::now() + std::chrono::seconds(60);
    while (model->CommandLog().size() < before + 300 && update.Running() && TClock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool running = update.Running();
    const auto pulled = TClock::now();
    const bool hungUp = bed.Unplug();
    link.Stop();
    const int exit = update.Wait(60);
    const double after = std::chrono::duration<double>(TClock::now() - pulled).count();
    Check(running, "the update was still running when the cable was pulled", update.Output());
    Check(exit != 0 && exit != -1 && !update.Has("Firmware update was successful"),
          "an unplug during the update fails the update" + std::string(hungUp ? "" : " (node not hung up)"),
          "exit " + std::to_string(exit) + "\n" + update.Output());
    Check(after < 30,
          "the failed update ends in bounded time (" + std::to_string(after) + " s after the unplug)");
  }
  link.Stop();
  server.join();
  return Failures ? 1 : 0;
}

}  // namespace
}  // namespace zor

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: umockdev-wrapper %s ZORFW SAMPLES_DIR\n", argv[0]);
    return 2;
  }
  const char *preload = std::getenv("LD_PRELOAD");
  if (!preload || !std::strstr(preload, "umockdev")) {
    std::printf("SKIP: not running under umockdev-wrapper\n");
    return 77;
  }
  return zor::Run(argv[1], argv[2]);
}
