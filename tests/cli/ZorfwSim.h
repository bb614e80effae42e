// zorfw run in this process against a simulated network device on a
// loopback address of its own, with the images the tests update it with and
// the checks of what the device holds afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/cli/ZorfwRun.h"
#include "platform/Zor_Sys.h"
#include "sim/SimDevice.h"
#include "sim/SimEsp.h"
#include "sim/SimNetLink.h"

namespace zor::clitest {

constexpr uint32_t cUserCode = 0x4000;

// Bytes that differ from line to line and from the erased state.
inline std::string Pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + seed + (i >> 8) * 13) & 0xFF);
  return s;
}

// An ESP image as the device checks it: its first byte is the image magic.
inline std::string EspImage(size_t size, uint32_t seed) {
  std::string image = Pattern(size, seed);
  image[0] = static_cast<char>(SimEspImageMagic);
  return image;
}

// A ColdFire user-code image of S3 records, 32 bytes each from 0x4000,
// written from the format rather than with the tool's encoder.
struct TColdfireImage {
  std::string Text;  // the .s19 file
  std::string Data;  // what the flash holds from 0x4000 afterwards
};

// One S-record line of `type` with its checksum, written from the format
// rather than with the tool's own encoder.
inline std::string SLine(int type, uint32_t address, const std::string &data) {
  const int addrBytes = type == 1 || type == 9 ? 2 : type == 2 || type == 8 ? 3 : 4;
  std::string bytes(1, static_cast<char>(addrBytes + data.size() + 1));
  for (int i = addrBytes - 1; i >= 0; --i) bytes += static_cast<char>(address >> (8 * i));
  bytes += data;
  unsigned sum = 0;
  for (unsigned char c : bytes) sum += c;
  bytes += static_cast<char>(~sum & 0xFF);
  static const char *hex = "0123456789ABCDEF";
  std::string line = "S" + std::to_string(type);
  for (unsigned char c : bytes) (line += hex[c >> 4]) += hex[c & 15];
  return line;
}

inline TColdfireImage ColdfireImage(size_t size, uint32_t seed) {
  TColdfireImage image;
  image.Data = Pattern(size, seed);
  for (size_t at = 0; at < size; at += 32)
    image.Text += SLine(3, cUserCode + uint32_t(at), image.Data.substr(at, 32)) + "\r\n";
  image.Text += SLine(7, cUserCode, "") + "\r\n";
  return image;
}

// A simulated device on a loopback address of its own (processes running
// side by side pick different ones), with its network link.
class TSimTarget {
 public:
  explicit TSimTarget(TSimConfig config, const TSimFaults &faults = {}) {
    const uint32_t first = (static_cast<uint32_t>(::getpid()) * 13 + 37) % 253;
    for (uint32_t i = 0; i < 253 && !Link; ++i) {
      const uint32_t host = 2 + (first + i) % 253;
      config.IpAddress = 0x7F000000u | host;
      Device = CreateSimDevice(config);
      Device->SetFaults(faults);
      Link = std::make_unique<TSimNetLink>(*Device, TSimNetLinkConfig{});
      if (Link->Start()) {
        Address = "127.0.0." + std::to_string(host);
        break;
      }
      Link.reset();
    }
  }
  ~TSimTarget() {
    if (Link) Link->Stop();
  }

  bool Started() const { return Link != nullptr; }
  std::string Target() const { return "ip:" + Address; }
  // Waits (bounded) until no user session is left on the device.
  bool AllUsersGone(uint32_t ms = 5000) const {
    const uint32_t start = platform::GetTicks();
    while (Link->SessionCount() > 0) {
      if (platform::TicksSince(start) > ms) return false;
      platform::SleepMs(10);
    }
    return true;
  }
  // Waits (bounded) until the device is back from a restart.
  bool Serving(uint32_t ms = 5000) const {
    const uint32_t start = platform::GetTicks();
    while (!Link->IsServing()) {
      if (platform::TicksSince(start) > ms) return false;
      platform::SleepMs(10);
    }
    return true;
  }
  bool HoldsColdfire(const TColdfireImage &image) const {
    return Device->GetPersistent().Flash.compare(cUserCode, image.Data.size(), image.Data) == 0;
  }
  bool HoldsEsp(const std::string &image) const {
    const TSimPersistent s = Device->GetPersistent();
    return s.UpdatePartitionActive && s.UpdateImageValid && s.UpdateImage == image;
  }

  std::unique_ptr<TSimDevice> Device;
  std::unique_ptr<TSimNetLink> Link;
  std::string Address;
};

// `zorfw update --json --password 00000000 TARGET FILE` in this process.
inline cli::test::TRun RunUpdate(const std::string &target, const std::string &file) {
  return cli::test::RunCli({"update", "--json", "--password", "00000000", target, file});
}

}  // namespace zor::clitest
