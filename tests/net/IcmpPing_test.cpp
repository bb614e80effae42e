// Ping: address texts, how the outcome of an echo becomes the caller's text
// and error number, and that pings of several threads never overlap.
#include "net/IcmpPing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/Zor_SimHosts.h"

using namespace zor;
using platform::TZor_EchoResult;

namespace {

// Installs a replacement echo for one test and counts its calls.
class TFakeEcho {
 public:
  explicit TFakeEcho(std::function<bool(uint32_t, TZor_EchoResult &)> answer) : FAnswer(std::move(answer)) {
    SetIcmpEchoFunction([this](uint32_t address, uint32_t, TZor_EchoResult &r) {
      ++FCalls;
      FLastAddress = address;
      r = {};
      return FAnswer(address, r);
    });
  }
  ~TFakeEcho() { SetIcmpEchoFunction(nullptr); }
  int Calls() const { return FCalls; }
  uint32_t LastAddress() const { return FLastAddress; }

 private:
  std::function<bool(uint32_t, TZor_EchoResult &)> FAnswer;
  std::atomic<int> FCalls{0};
  std::atomic<uint32_t> FLastAddress{0};
};

std::string InMemory(uint32_t address) {
  std::string bytes(4, '\0');
  std::memcpy(bytes.data(), &address, 4);
  return bytes;
}

}  // namespace

// The validity rules themselves are the address helpers' (tested there).
TEST(IcmpPing, AddressTexts) {
  EXPECT_TRUE(IsIPAddress("  10.0.0.255 "));
  EXPECT_FALSE(IsIPAddress("10.0.0.1a"));
  // Network order: the first part is the lowest-addressed byte.
  EXPECT_EQ(InMemory(IPTextToAddress("10.1.2.3")), std::string("\x0A\x01\x02\x03", 4));
  EXPECT_EQ(IPTextToAddress(" 10.1.2.3 "), IPTextToAddress("10.1.2.3"));
  EXPECT_EQ(IPTextToAddress("10.1.2"), 0u);
  EXPECT_EQ(IPTextToAddress("host.example"), 0u);
}

TEST(IcmpPing, HostNameIsRefusedWithoutEcho) {
  TFakeEcho echo([](uint32_t, TZor_EchoResult &r) { return r.Replied = true; });
  std::string error;
  EXPECT_FALSE(PingIPAddress("lum2-lab", 1500, error));
  EXPECT_EQ(error, "Not an ip address: lum2-lab");
  EXPECT_EQ(echo.Calls(), 0);
}

TEST(IcmpPing, OutcomesBecomeTextAndErrorNumber) {
  std::string error = "stale";
  {
    TFakeEcho echo([](uint32_t, TZor_EchoResult &r) { return r.Replied = true; });
    EXPECT_TRUE(PingIPAddress("10.1.2.3", 1500, error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(GetPingErrorNumber(), 0);
    EXPECT_EQ(echo.LastAddress(), IPTextToAddress("10.1.2.3"));
  }
  {
    // A timeout reported by the call itself ...
    TFakeEcho echo([](uint32_t, TZor_EchoResult &r) {
      r.Error = {platform::ICMP_REQ_TIMED_OUT, 110};
      return false;
    });
    EXPECT_FALSE(PingIPAddress("10.1.2.3", 1500, error));
    EXPECT_EQ(error, "The request timed out.");
    EXPECT_EQ(GetPingErrorNumber(), 11010);
  }
  {
    // ... and one that came back as the status of a reply read the same.
    TFakeEcho echo([](uint32_t, TZor_EchoResult &r) {
      r.Replied = true;
      r.Status = platform::ICMP_REQ_TIMED_OUT;
      return false;
    });
    EXPECT_FALSE(PingIPAddress("10.1.2.3", 1500, error));
    EXPECT_EQ(error, "The request timed out.");
    EXPECT_EQ(GetPingErrorNumber(), 0);
  }
  {
    TFakeEcho echo([](uint32_t, TZor_EchoResult &r) {
      r.Replied = true;
      r.Status = platform::ICMP_DEST_HOST_UNREACHABLE;
      return false;
    });
    EXPECT_FALSE(PingIPAddress("10.1.2.3", 1500, error));
    EXPECT_EQ(error, "The destination host was unreachable.");
  }
  {
    TFakeEcho echo([](uint32_t, TZor_EchoResult &r) {
      r.OpenFailed = true;
      r.Error = {platform::ERR_ACCESS_DENIED, 13};
      r.ErrorText = "ICMP echo not permitted";
      return false;
    });
    EXPECT_FALSE(PingIPAddress("10.1.2.3", 1500, error));
    EXPECT_EQ(error, "IcmpCreateFile failed. GetLastError=ICMP echo not permitted");
    EXPECT_EQ(GetPingErrorNumber(), 5);
  }
  {
    TFakeEcho echo([](uint32_t, TZor_EchoResult &) -> bool { throw std::runtime_error("socket exploded"); });
    EXPECT_FALSE(PingIPAddress("10.1.2.3", 1500, error));
    EXPECT_EQ(error, "socket exploded");
    EXPECT_EQ(GetPingErrorNumber(), -1);
  }
}

// Every thread must see the error number of its own ping, and no two echoes
// may run at once.
TEST(IcmpPing, ConcurrentPingsAreSerialised) {
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  // Addresses ending in an odd number answer, the others time out.
  TFakeEcho echo([&](uint32_t address, TZor_EchoResult &r) {
    if (++inside > 1) overlapped = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool up = (InMemory(address)[3] & 1) != 0;
    if (up)
      r.Replied = true;
    else
      r.Error = {platform::ICMP_REQ_TIMED_OUT, 110};
    --inside;
    return up;
  });
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      const std::string ip = "10.0.0." + std::to_string(t + 1);
      for (int i = 0; i < 20; ++i) {
        std::string error;
        const bool ok = PingIPAddress(ip, 100, error);
        if (ok != ((t + 1) % 2 == 1) || (!ok && error != "The request timed out.")) ++wrong;
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(wrong, 0);
}

// The real echo path, against an address a simulated host holds.
TEST(IcmpPing, SimulatedHostAnswersByItsState) {
  const std::string ip = "127.0.61.7";
  ASSERT_TRUE(platform::ClaimSimHost(ip, true));
  std::string error;
  EXPECT_TRUE(PingIPAddress(ip, 200, error)) << error;
  platform::SetSimHostUp(ip, false);
  EXPECT_FALSE(PingIPAddress(ip, 50, error));
  EXPECT_EQ(error, "The request timed out.");
  EXPECT_EQ(GetPingErrorNumber(), 11010);
  platform::ReleaseSimHost(ip);
}
