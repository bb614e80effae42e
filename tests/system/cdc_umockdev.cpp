// zorfw against an ESP device, then a ColdFire device, on a virtual COM port
// emulated with umockdev:
// the maker's device in sysfs (identity, strings, a CDC interface) and its
// /dev/ttyACM0 node on a pseudo-terminal, served by the simulator's virtual
// COM port link. zorfw runs as a child process and inherits the testbed
// through the wrapper's environment.
//
// Usage, under umockdev-wrapper: zor-cdc-umockdev ZORFW SAMPLES_DIR
// Exit status 0 passed, 1 failed, 77 skipped.
//
// umockdev 0.17 aborts when a node is added again under the same name, so a
// restart sends "remove" and later "add" for the device and its tty that stay
// in the testbed.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "sim/SimCdcLink.h"
#include "sim/SimColdfire.h"
#include "sim/SimEsp.h"
#include "tests/system/ZorfwRun.h"

namespace zor {
namespace {

using systest::Check;
using systest::Failures;
using systest::FlashHolds;
using systest::TClock;
using systest::TZorfw;

const char *UsbPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";
const char *TtyPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/tty/ttyACM0";
const char *TtyNode = "/dev/ttyACM0";
constexpr uint32_t Serial = 0x2A3B4C5D;

// The testbed: the device in sysfs and its node. Uevents come from the link's
// worker and from the main thread, so every testbed call is under one lock.
class TTestbed {
 public:
  explicit TTestbed(const platform::TZor_UsbDeviceInfo &id) {
    FBed = umockdev_testbed_new();
    const std::string usb = std::string("P: ") + (UsbPath + 4) + "\n";
    const std::string iface = usb.substr(0, usb.size() - 1) + "/1-3:1.0\n";
    char ids[64];
    std::snprintf(ids, sizeof ids, "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\n", id.VendorID,
                  id.ProductID, id.BcdDevice);
    const std::string text = usb + "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" + ids +
                             "A: bDeviceClass=02\nA: manufacturer=" + id.Manufacturer +
                             "\nA: product=" + id.Product + "\nA: serial=" + id.SerialNumber + "\n\n" +
                             iface + "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=02\n\n" +
                             "P: " + (TtyPath + 4) +
                             "\nN: ttyACM0\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyACM0\nA: dev=166:0\n";
    GError *error = nullptr;
    FOk = umockdev_testbed_add_from_string(FBed, text.c_str(), &error);
    if (!FOk) {
      std::printf("testbed: %s\n", error ? error->message : "?");
      if (error) g_error_free(error);
      return;
    }
    FMaster = umockdev_testbed_get_dev_fd(FBed, TtyNode);
    if (FMaster < 0) {
      FOk = false;
      return;
    }
    // The device's end in raw mode, so no byte is taken for a control character.
    termios t{};
    tcgetattr(FMaster, &t);
    cfmakeraw(&t);
    tcsetattr(FMaster, TCSANOW, &t);
  }
  ~TTestbed() { g_object_unref(FBed); }

  bool Ok() const { return FOk; }
  int Master() const { return FMaster; }

  // The device leaves (restart) or comes back.
  void Presence(bool present) {
    std::lock_guard l(FLock);
    if (FGone) return;
    if (present) {
      umockdev_testbed_uevent(FBed, UsbPath, "add");
      umockdev_testbed_uevent(FBed, TtyPath, "add");
    } else {
      umockdev_testbed_uevent(FBed, TtyPath, "remove");
      umockdev_testbed_uevent(FBed, UsbPath, "remove");
    }
    std::printf("uevent %s\n", present ? "add" : "remove");
    std::fflush(stdout);
  }

  // The cable is pulled: removal uevents, the open node hung up, the device
  // gone from sysfs and /dev. Returns whether the hang-up was possible.
  bool Unplug() {
    std::lock_guard l(FLock);
    FGone = true;
    umockdev_testbed_uevent(FBed, TtyPath, "remove");
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
};

void UpdateCases(const std::string &zorfw, const std::string &samples, TSimEsp &model, TSimCdcLink &link,
                 TTestbed &bed) {
  const std::string image = samples + "/LUM2_Firmware_V114.bin";
  const std::string device = "usb:" + link.Identity().SerialNumber;
  {
    // The device switches partitions and restarts: the node goes and comes
    // back, and the engine finds the device again by its serial number.
    TZorfw update(zorfw, {"update", device, image, "--json", "--yes"});
    const int exit = update.Wait(180);
    const TSimPersistent state = model.GetPersistent();
    Check(exit == 0 && state.UpdatePartitionActive && state.UpdateImageValid,
          "zorfw update over the virtual COM port ends with the new partition running (" +
              std::to_string(update.Seconds()) + " s)",
          update.Output());
  }
  {
    // A cable pulled during the transfer: zorfw gives up at once with the
    // reason, and neither resets nor waits for a device that is gone.
    const size_t before = model.CommandLog().size();
    TZorfw update(zorfw, {"update", device, image, "--json", "--yes"});
    // Pull the cable once the image is on its way.
    const auto until = TClock::now() + std::chrono::seconds(60);
    while (model.CommandLog().size() < before + 300 && update.Running() && TClock::now() < until)
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
    Check(update.Has("The device is not connected"), "the failure names the vanished device",
          update.Output());
    Check(after < 5,
          "the failed update ends in bounded time (" + std::to_string(after) + " s after the unplug)");
  }
}

// One device on /dev/ttyACM0 for the time of `cases`; false when the
// testbed cannot be built.
template <class F>
bool WithDevice(TSimDevice &model, F cases) {
  TSimCdcLink link(model);
  TTestbed bed(link.Identity());
  if (!bed.Ok()) return false;
  link.SetOnPresence([&](bool present) { bed.Presence(present); });
  std::thread server([&] { link.ServeStream(bed.Master()); });
  cases(link, bed);
  link.Stop();
  server.join();
  return true;
}

void ListShows(const std::string &zorfw, const std::string &serial, const std::string &what) {
  TZorfw list(zorfw, {"list", "--json"});
  const int exit = list.Wait(30);
  Check(exit == 0 && list.Has(serial) && list.Has(TtyNode), "zorfw list shows the " + what, list.Output());
}

int Run(const std::string &zorfw, const std::string &samples) {
  TSimConfig config;
  config.Family = TSimFamily::Esp;
  config.FirmwareVersion = 113;
  config.UpdateFirmwareVersion = 114;
  config.Timings.RestartSilentMs = 1000;
  TSimEsp esp(config);
  TSimPersistent state = esp.GetPersistent();
  state.NvsIntegers[0] = Serial;  // an ESP keeps its serial number in storage
  esp.SetPersistent(state);
  const bool built = WithDevice(esp, [&](TSimCdcLink &link, TTestbed &bed) {
    ListShows(zorfw, link.Identity().SerialNumber, "ESP device on its virtual COM port");
    UpdateCases(zorfw, samples, esp, link, bed);
  });
  if (!built) {
    std::printf("SKIP: the testbed cannot be built (is this running under umockdev-wrapper?)\n");
    return 77;
  }

  // A ColdFire device with a virtual COM port: programmed, restarted, found again.
  TSimConfig cf;
  cf.SerialNumber = Serial + 1;
  cf.Timings.RestartSilentMs = 1000;
  TSimColdfire coldfire(cf);
  WithDevice(coldfire, [&](TSimCdcLink &link, TTestbed &) {
    ListShows(zorfw, link.Identity().SerialNumber, "ColdFire device on its virtual COM port");
    const std::string image = samples + "/LUM_SU6_Firmware_V62.s19";
    TZorfw update(zorfw, {"update", "usb:" + link.Identity().SerialNumber, image, "--json", "--yes"});
    const int exit = update.Wait(180);
    std::string why;
    const bool holds = FlashHolds(coldfire, image, why);
    Check(exit == 0 && holds,
          "zorfw update of a ColdFire over its virtual COM port programs the user code (" +
              std::to_string(update.Seconds()) + " s)",
          why + "\n" + update.Output());
  });
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
