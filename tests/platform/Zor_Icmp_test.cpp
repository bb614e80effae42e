#include "platform/Zor_Icmp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "platform/Zor_SimHosts.h"

using namespace zor::platform;

namespace {

uint32_t Address(const char *text) {
  in_addr a{};
  ::inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

}  // namespace

TEST(IcmpEcho, LoopbackAnswersOrFailsWithAClearError) {
  TZor_EchoResult r;
  bool ok = IcmpEcho(Address("127.0.0.1"), 1000, r);
  if (r.OpenFailed) {
    EXPECT_FALSE(ok);
    EXPECT_FALSE(r.ErrorText.empty());
    GTEST_SKIP() << "no ICMP socket here: " << r.ErrorText;
  }
  EXPECT_TRUE(ok) << r.ErrorText;
  EXPECT_TRUE(r.Replied);
  EXPECT_EQ(r.Status, ICMP_SUCCESS);
}

// Without root and outside the ping group range no ICMP socket can be opened:
// the caller gets a reason naming the setting, not a silent timeout.
TEST(IcmpEcho, UnprivilegedProcessGetsAClearError) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop privileges";
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    TZor_EchoResult r;
    bool ok = IcmpEcho(Address("127.0.0.1"), 500, r);
    if (ok) ::_exit(2);  // the ping group range admits this user: nothing to check
    bool clear = r.OpenFailed && r.ErrorText.find("ping_group_range") != std::string::npos &&
                 r.Error.Code == ERR_ACCESS_DENIED;
    ::_exit(clear ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "unprivileged ICMP sockets are allowed here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(IcmpEcho, SimulatedHostAnswersFromItsState) {
  const char *ip = "127.0.0.77";
  ASSERT_TRUE(ClaimSimHost(ip, true));
  EXPECT_FALSE(ClaimSimHost(ip, true));  // one simulated host per address
  TZor_EchoResult r;
  EXPECT_TRUE(IcmpEcho(Address(ip), 1000, r));
  EXPECT_TRUE(r.Replied);

  SetSimHostUp(ip, false);
  TZor_VirtualClock clock;
  {
    TZor_ClockGuard guard(clock);
    EXPECT_FALSE(IcmpEcho(Address(ip), 1500, r));
  }
  // A silent host lets the request run into its timeout.
  EXPECT_EQ(clock.Ticks(), 1500u);
  EXPECT_FALSE(r.Replied);
  EXPECT_FALSE(r.OpenFailed);
  EXPECT_EQ(r.Error.Code, ICMP_REQ_TIMED_OUT);
  EXPECT_EQ(r.ErrorText, "The request timed out.");

  SetSimHostUp(ip, true);
  EXPECT_TRUE(IcmpEcho(Address(ip), 1000, r));
  ReleaseSimHost(ip);
  EXPECT_FALSE(SimHostIsUp(ip).has_value());
  SetSimHostUp(ip, true);  // no effect once released
  EXPECT_FALSE(SimHostIsUp(ip).has_value());
}

TEST(ResolveHost, NamesLiteralsAndUnknownHosts) {
  std::vector<std::string> ips;
  TZor_SysError error;
  ASSERT_TRUE(ResolveHostIPv4("localhost", ips, error));
  EXPECT_NE(std::find(ips.begin(), ips.end(), "127.0.0.1"), ips.end());
  for (auto &ip : ips) EXPECT_EQ(std::count(ips.begin(), ips.end(), ip), 1);

  ASSERT_TRUE(ResolveHostIPv4("10.200.0.2", ips, error));
  EXPECT_EQ(ips, std::vector<std::string>{"10.200.0.2"});

  EXPECT_FALSE(ResolveHostIPv4("no-such-host.invalid", ips, error));
  EXPECT_TRUE(ips.empty());
  EXPECT_EQ(error.Code, WSA_HOST_NOT_FOUND);
  EXPECT_EQ(SystemErrorText(error), "No such host is known.");
  EXPECT_FALSE(ResolveHostIPv4("", ips, error));
  EXPECT_EQ(error.Code, WSA_HOST_NOT_FOUND);
}
