// Rules of the dialogs that need no widgets: key mapping, the address or
// host-name check against a scripted resolver, hardware feature and default
// password.
#include "session/Zor_DialogState.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "net/NetUtils.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor::session {
namespace {

TEST(DialogKeys, IpInputMapsCommaAndUnderscoreAndRefusesTheRest) {
  std::string text = "my_device,local";
  ASSERT_TRUE(MapInputText(text, IpInputChar));
  EXPECT_EQ(text, "my-device.local");
  for (std::string refused : {"a b", "host:80", "10.0.0.1/24", "\xC3\xA4", "x\ty"}) {
    std::string copy = refused;
    EXPECT_FALSE(MapInputText(copy, IpInputChar)) << refused;
    EXPECT_EQ(copy, refused) << "a refused text is left as it was";
  }
}

TEST(DialogKeys, HexInputTakesHexDigitsOnly) {
  std::string text = "09afAF";
  EXPECT_TRUE(MapInputText(text, HexInputChar));
  for (char c : std::string("gG-x ,_"))
    EXPECT_EQ(HexInputChar(c), 0) << c;
}

// Answers from a table; anything else is unknown.
class ScriptedResolver : public ::testing::Test {
 protected:
  ScriptedResolver() {
    SetHostResolver([this](const std::string &host, std::vector<std::string> &ips, platform::TZor_SysError &error) {
      ++FLookups;
      auto it = FHosts.find(host);
      if (it == FHosts.end()) {
        error = {platform::WSA_HOST_NOT_FOUND, 0};
        return false;
      }
      ips = it->second;
      return true;
    });
  }
  ~ScriptedResolver() override { SetHostResolver(nullptr); }

  TRemoteIPCheck Check(const std::string &text, std::string pick = "") {
    return CheckRemoteIP(
        text,
        [&, pick](const std::string &host, const std::vector<std::string> &ips) {
          FChoices.push_back(host + ":" + std::to_string(ips.size()));
          return pick;
        },
        FLog.Id());
  }

  std::map<std::string, std::vector<std::string>> FHosts{
      {"lum2-lab", {"192.168.1.20"}},
      {"lum2-twice", {"10.0.0.5", "10.0.0.6"}},
      {"lum2-echo", {"10.0.0.7", "10.0.0.7"}},
      {"lum2-broken", {"not an address", ""}},
  };
  int FLookups = 0;
  std::vector<std::string> FChoices;
  TZor_LogCapture FLog;
};

TEST_F(ScriptedResolver, AddressesAreTakenWithoutLookup) {
  auto check = Check("10.0.0.1");
  EXPECT_TRUE(check.Accepted);
  EXPECT_EQ(check.DeviceIP, "10.0.0.1");
  EXPECT_EQ(check.DeviceHost, "");
  EXPECT_EQ(FLookups, 0);

  for (std::string bad : {"10.0.0", "10.0.0.256", "1..2.3", "10.0.0.1."}) {
    check = Check(bad);
    EXPECT_FALSE(check.Accepted) << bad;
    EXPECT_EQ(check.ErrorText, "invalid IP") << bad;
    EXPECT_EQ(check.DeviceIP, "") << bad;
  }
  check = Check("");
  EXPECT_FALSE(check.Accepted);
  EXPECT_EQ(check.ErrorText, "");
  EXPECT_EQ(FLookups, 0);
}

TEST_F(ScriptedResolver, HostNames) {
  auto check = Check("lum2-lab");
  EXPECT_TRUE(check.Accepted);
  EXPECT_EQ(check.DeviceHost, "lum2-lab");
  EXPECT_EQ(check.DeviceIP, "192.168.1.20");
  EXPECT_EQ(FLog.Count("TFormIpInput.CheckRemoteIP lum2-lab -> 192.168.1.20"), 1);

  check = Check("nowhere");
  EXPECT_FALSE(check.Accepted);
  EXPECT_EQ(check.ErrorText, "Host not found");
  EXPECT_EQ(FLog.Count("TFormIpInput.CheckRemoteIP nowhere failed: Host not found"), 1);

  // A name whose answers are all unusable counts as not found, never as an
  // empty address.
  check = Check("lum2-broken");
  EXPECT_FALSE(check.Accepted);
  EXPECT_EQ(check.ErrorText, "Host not found");
  EXPECT_TRUE(FChoices.empty());
}

TEST_F(ScriptedResolver, SeveralAddressesAskTheUserAndKeepOnlyTheAddress) {
  auto check = Check("lum2-twice", "10.0.0.6");
  EXPECT_TRUE(check.Accepted);
  EXPECT_EQ(check.DeviceIP, "10.0.0.6");
  EXPECT_EQ(check.DeviceHost, "");
  ASSERT_EQ(FChoices, std::vector<std::string>{"lum2-twice:2"});

  check = Check("lum2-twice");
  EXPECT_FALSE(check.Accepted);
  EXPECT_EQ(check.ErrorText, "IP not selected");
  EXPECT_EQ(FLog.Count("TFormIpInput.CheckRemoteIP lum2-twice IP not selected"), 1);

  // A choice outside the offered list is no choice.
  EXPECT_FALSE(Check("lum2-twice", "10.9.9.9").Accepted);

  // The same address twice is one address: no question asked.
  FChoices.clear();
  check = Check("lum2-echo");
  EXPECT_TRUE(check.Accepted);
  EXPECT_EQ(check.DeviceHost, "lum2-echo");
  EXPECT_TRUE(FChoices.empty());
}

TEST(HardFeature, ChoicesAndTheirWords) {
  EXPECT_EQ(HardFeatureOf(THardware::Lum, false), 1);
  EXPECT_EQ(HardFeatureOf(THardware::Norva, false), 2);
  EXPECT_EQ(HardFeatureOf(THardware::Pelq, true), 12);
  EXPECT_EQ(HardFeatureOf(THardware::LumAndNorva, true), 7);
  // Every word the dialog produces reads back as the same choice.
  for (THardware h : {THardware::Lum, THardware::Norva, THardware::Pelq, THardware::LumAndNorva})
    for (bool clock : {false, true}) EXPECT_EQ(HardwareOf(HardFeatureOf(h, clock)), h);
  // Words from a device: both LUM bits win over Pelq, Pelq over Norva.
  EXPECT_EQ(HardwareOf(0x000B), THardware::LumAndNorva);
  EXPECT_EQ(HardwareOf(0x000A), THardware::Pelq);
  EXPECT_EQ(HardwareOf(0x0006), THardware::Norva);
  EXPECT_EQ(HardwareOf(0x0000), THardware::Lum);
  EXPECT_EQ(HardwareOf(0x8000), THardware::Lum);
}

TEST(HexInput, MissingAndMalformed) {
  std::string error;
  EXPECT_EQ(ParseHexInput("", "Password input missing", error), std::nullopt);
  EXPECT_EQ(error, "Password input missing");
  EXPECT_EQ(ParseHexInput("DeadBeef", "x", error), 0xDEADBEEFu);
  EXPECT_EQ(error, "");
  EXPECT_EQ(ParseHexInput("123456789", "x", error), std::nullopt);
  EXPECT_NE(error.find("123456789"), std::string::npos);
  EXPECT_EQ(ParseHexInput("12G4", "x", error), std::nullopt);
  EXPECT_NE(error.find("12G4"), std::string::npos);
}

TEST(DefaultPassword, StableAndDistinctForNeighbours) {
  EXPECT_EQ(DefaultPassword(0x00012345), DefaultPassword(0x00012345));
  std::set<uint32_t> seen;
  for (uint32_t serial = 0x00010000; serial < 0x00010400; ++serial) seen.insert(DefaultPassword(serial));
  EXPECT_EQ(seen.size(), 0x400u);
  EXPECT_NE(DefaultPassword(0), 0u);
  EXPECT_NE(DefaultPassword(0x12345678), 0x12345678u);
}

}  // namespace
}  // namespace zor::session
