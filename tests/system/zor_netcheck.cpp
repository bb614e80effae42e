// zor-netcheck: the tool's side of the network system test. Against a device
// reached over a real interface it checks that pings succeed, that a reset
// command makes the device go silent (pings fail), and that it comes back.
// Exit status 0 when all of that happened, 1 otherwise; each step is printed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "device/Zor_ColdfireCommands.h"
#include "net/IcmpPing.h"
#include "net/Zor_NetworkDevice.h"
#include "platform/Zor_Sys.h"

using namespace zor;

namespace {

// Pings every 100 ms until the answer is `wanted` or `ms` passed.
bool WaitPing(const std::string &ip, bool wanted, uint32_t ms, std::string &lastError) {
  const uint32_t start = platform::GetTicks();
  do {
    if (PingIPAddress(ip, 300, lastError) == wanted) return true;
    platform::SleepMs(100);
  } while (platform::TicksSince(start) < ms);
  return false;
}

int Fail(const std::string &step, const std::string &why) {
  std::printf("FAIL %s: %s\n", step.c_str(), why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: zor-netcheck DEVICE-IP [CONTROL-PORT]\n");
    return 2;
  }
  const std::string ip = argv[1];
  std::string error;

  if (!WaitPing(ip, true, 10000, error)) return Fail("device answers pings", error);
  std::printf("ok   device answers pings\n");

  {
    TZor_NetworkDevice device(-1, 0, nullptr, true, ip);
    if (argc > 2) device.SetDeviceManagementPort(static_cast<uint16_t>(std::atoi(argv[2])));
    // Pings answer as soon as the link is up; the simulator may still be starting.
    const uint32_t start = platform::GetTicks();
    while (!device.OpenPort(error)) {
      if (platform::TicksSince(start) > 10000) return Fail("open", error);
      platform::SleepMs(200);
    }
    std::printf("ok   opened, user %u\n", static_cast<unsigned>(device.GetUserID()));
    if (!device.DeviceWrite(CmdReset())) return Fail("reset command", device.GetErrorMessage());
    std::printf("ok   reset command sent\n");
    // The device is going away: end the session here without asking it.
    device.ForceClose();
  }

  if (!WaitPing(ip, false, 10000, error))
    return Fail("pings fail while the device restarts", "still answering");
  std::printf("ok   pings fail while the device restarts (%s)\n", error.c_str());

  if (!WaitPing(ip, true, 20000, error)) return Fail("device comes back", error);
  std::printf("ok   device answers pings again\n");
  return 0;
}
