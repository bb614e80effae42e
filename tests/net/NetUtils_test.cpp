// Host-name resolution and the choice among several addresses of one name.
#include "net/NetUtils.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/Zor_Icmp.h"

using namespace zor;

namespace {

// A resolver that knows a few names, installed for one test.
class TFakeResolver {
 public:
  TFakeResolver() {
    SetHostResolver([](const std::string &host, std::vector<std::string> &ips,
                       platform::TZor_SysError &error) {
      ips.clear();
      if (host == "lum2-lab") {
        ips = {"10.0.0.7"};
        return true;
      }
      if (host == "lum2-pair") {
        ips = {"10.0.0.8", "10.0.1.8"};
        return true;
      }
      error = {host == "flaky" ? uint32_t{platform::WSA_TRY_AGAIN} : uint32_t{platform::WSA_HOST_NOT_FOUND},
               0};
      return false;
    });
  }
  ~TFakeResolver() { SetHostResolver(nullptr); }
};

}  // namespace

TEST(NetUtils, ResolvesToAllAddressesInOrder) {
  TFakeResolver resolver;
  std::string error = "stale";
  auto ips = GetIPsFromHost("lum2-pair", error);
  ASSERT_TRUE(ips);
  EXPECT_EQ(*ips, (std::vector<std::string>{"10.0.0.8", "10.0.1.8"}));
  EXPECT_EQ(error, "");
  // A name with several addresses is no unique answer.
  EXPECT_EQ(GetIPFromHost("lum2-pair"), "");
  EXPECT_EQ(GetIPFromHost("lum2-lab"), "10.0.0.7");
}

TEST(NetUtils, FailuresNameTheReason) {
  TFakeResolver resolver;
  std::string error;
  EXPECT_FALSE(GetIPsFromHost("no-such-lum", error));
  EXPECT_EQ(error, "Host not found");
  EXPECT_FALSE(GetIPsFromHost("flaky", error));
  EXPECT_EQ(error, "Err=11002");
  EXPECT_EQ(GetIPFromHost("no-such-lum"), "");
  EXPECT_EQ(HostErrorText(10050), "WSAENetDown");
}

TEST(NetUtils, SystemResolverKnowsLocalhostAndDottedText) {
  std::string error;
  auto ips = GetIPsFromHost("localhost", error);
  ASSERT_TRUE(ips) << error;
  EXPECT_NE(std::find(ips->begin(), ips->end(), "127.0.0.1"), ips->end());
  EXPECT_EQ(GetIPFromHost("127.0.0.9"), "127.0.0.9");
  EXPECT_FALSE(GetIPsFromHost("", error));
  EXPECT_EQ(error, "Host not found");
}

TEST(NetUtils, SelectIPCannotBeConfirmedBeforeAChoice) {
  TSelectIPFromHost select;
  select.SetHost("lum2-pair");
  EXPECT_EQ(select.GetLabelText(), "lum2-pair is not a unique host name. Please select IP address.");
  select.SetIPs({"10.0.0.8", "10.0.1.8"});
  EXPECT_FALSE(select.GetOkEnabled());
  EXPECT_EQ(select.GetIP(), "");

  select.rgIPsClick(1);
  EXPECT_TRUE(select.GetOkEnabled());
  EXPECT_EQ(select.GetIP(), "10.0.1.8");

  // New choices take the old choice away.
  select.SetIPs({"10.0.2.8", "10.0.3.8", "10.0.4.8"});
  EXPECT_FALSE(select.GetOkEnabled());
  EXPECT_EQ(select.GetIP(), "");
  select.rgIPsClick(3);
  EXPECT_FALSE(select.GetOkEnabled());
  EXPECT_EQ(select.GetIP(), "");
}
