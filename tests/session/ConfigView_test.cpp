// The key/value view of the configuration: what is shown can be typed back,
// and what cannot be taken is refused before a device is contacted.
#include <gtest/gtest.h>

#include "firmware/Zor_ConfigChecks.h"
#include "session/Zor_ConfigView.h"

using namespace zor;
using namespace zor::session;

namespace {

TConfigSettings SettingsOf(const std::vector<TConfigItem> &items, bool esp) {
  TConfigSettings settings;
  for (const TConfigItem &item : items) {
    const TConfigKey *key = FindConfigKey(item.Key);
    EXPECT_NE(key, nullptr) << item.Key;
    if (key != nullptr && FamilyHasKey(*key, esp)) settings[item.Key] = item.Value;
  }
  return settings;
}

std::string ValueOf(const std::vector<TConfigItem> &items, const std::string &key) {
  for (const TConfigItem &item : items)
    if (item.Key == key) return item.Value;
  return "<none>";
}

}  // namespace

TEST(ConfigView, ShownValuesTypedBackGiveTheSameRecord) {
  const TConfigSettings edits[2] = {{{"serial", "c0ffee"},
                                     {"nick", "Bench 7"},
                                     {"ip", "10.1.2.3"},
                                     {"subnet", "255.255.0.0"},
                                     {"gateway", "10.1.0.1"},
                                     {"feature", "5"},
                                     {"can-rx", "1FFFFFFF"},
                                     {"can-tx", "456"},
                                     {"can-ext", "yes"}},
                                    {{"serial", "4711"},
                                     {"host", "Zor-Bench"},
                                     {"ip", "10.1.2.4"},
                                     {"subnet", "255.0.0.0"},
                                     {"gateway", "10.0.0.1"},
                                     {"static-ip", "yes"},
                                     {"can-rx", "123"},
                                     {"start-mode", "1"},
                                     {"start-interval", "9"},
                                     {"ref-error", "2"},
                                     {"baud", "9600"},
                                     {"ppi-interval", "6"},
                                     {"ppi-offset", "99"},
                                     {"ppi-user", "on"}}};
  for (bool esp : {false, true}) {
    SCOPED_TRACE(FamilyName(esp));
    TZor_FlashVariables edited;
    ASSERT_EQ(FamilyErrors(edits[esp], esp), "");
    ASSERT_EQ(ApplyConfigSettings(edited, edits[esp]), "");
    const std::vector<TConfigItem> shown = ConfigItems(edited, esp);

    TZor_FlashVariables again;
    ASSERT_EQ(ApplyConfigSettings(again, SettingsOf(shown, esp)), "");
    const std::vector<TConfigItem> shownAgain = ConfigItems(again, esp);
    ASSERT_EQ(shownAgain.size(), shown.size());
    for (size_t i = 0; i < shown.size(); ++i) {
      EXPECT_EQ(shownAgain[i].Key, shown[i].Key);
      EXPECT_EQ(shownAgain[i].Value, shown[i].Value) << shown[i].Key;
    }
    EXPECT_EQ(again.SerialNumber, edited.SerialNumber);
    EXPECT_EQ(again.CANRxID, edited.CANRxID);
  }
}

TEST(ConfigView, ItemsFollowTheKeyOrderAndTheFamily) {
  TZor_FlashVariables record;
  ASSERT_EQ(ApplyConfigSettings(record, {{"can-rx", "1FFFFFFF"}, {"can-ext", "yes"}, {"ppi-user", "yes"}}),
            "");
  for (bool esp : {false, true}) {
    const std::vector<TConfigItem> items = ConfigItems(record, esp);
    size_t last = 0;
    for (const TConfigItem &item : items) {
      size_t at = 0;
      while (at < ConfigKeys().size() && item.Key != ConfigKeys()[at].Name) ++at;
      ASSERT_LT(at, ConfigKeys().size()) << item.Key;
      EXPECT_GE(at, last) << item.Key;
      last = at;
    }
    EXPECT_EQ(ValueOf(items, "nick") == "<none>", esp);
    EXPECT_EQ(ValueOf(items, "host") == "<none>", !esp);
    EXPECT_EQ(ValueOf(items, "ppi-user"), esp ? "yes" : "<none>");
  }
  // The identifier is shown without its format bit; the format is its own key.
  EXPECT_EQ(ValueOf(ConfigItems(record, false), "can-rx"), "1FFFFFFF");
  EXPECT_EQ(ValueOf(ConfigItems(record, false), "can-ext"), "yes");
  EXPECT_EQ(record.CANRxID, 0x9FFFFFFFu);
}

TEST(ConfigView, RefusalsAreCollectedAndLeaveTheRecordAlone) {
  EXPECT_EQ(FamilyErrors({{"nick", "x"}, {"ip", "10.0.0.1"}}, true), "nick is not available on ESP devices");
  EXPECT_EQ(FamilyErrors({{"baud", "9600"}, {"host", "h"}}, false),
            "baud is not available on ColdFire devices, host is not available on ColdFire devices");
  EXPECT_EQ(FamilyErrors({{"bogus", "1"}}, false), "bogus is not available on ColdFire devices");

  TZor_FlashVariables record;
  const TZor_FlashVariables before = record;
  const std::string errors = ApplyConfigSettings(
      record,
      {{"ip", "192.168.1"}, {"subnet", ""}, {"can-ext", "maybe"}, {"start-mode", "x"}, {"baud", "115250"}});
  EXPECT_NE(errors.find("Invalid input IP address: 192.168.1"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Missing input Subnetmask"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Invalid input can-ext: maybe (yes or no)"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Invalid input start mode: x"), std::string::npos) << errors;
  EXPECT_NE(errors.find("baud"), std::string::npos) << errors;
  EXPECT_EQ(record.IPAddress, before.IPAddress);
  EXPECT_EQ(record.ChangedFlags, before.ChangedFlags);

  // Before a device is read an offset only meets the longest interval; a
  // given interval bounds it.
  EXPECT_EQ(PreCheckConfigSettings({{"ppi-offset", "19998"}}), "");
  EXPECT_EQ(PreCheckConfigSettings({{"ppi-offset", "20000"}}), "PPI offset too large");
  EXPECT_EQ(PreCheckConfigSettings({{"ppi-interval", "6"}, {"ppi-offset", "100"}}), "PPI offset too large");
  EXPECT_EQ(PreCheckConfigSettings({{"ppi-interval", "6"}, {"ppi-offset", "99"}}), "");
}

TEST(ConfigView, StartSettingKeepsTheItemNotGiven) {
  TZor_FlashVariables record;
  ASSERT_EQ(ApplyConfigSettings(record, {{"start-mode", "0"}, {"start-interval", "3"}}), "");
  EXPECT_EQ(record.GetHard24_31(), 3);
  ASSERT_EQ(ApplyConfigSettings(record, {{"start-mode", "2"}}), "");
  EXPECT_EQ(record.GetHard24_31(), 2 * 16 + 3);
  ASSERT_EQ(ApplyConfigSettings(record, {{"start-interval", "0"}, {"start-mode", "0"}}), "");
  EXPECT_EQ(record.GetHard24_31(), 127);
  EXPECT_EQ(ValueOf(ConfigItems(record, true), "start-mode"), "0");
  ASSERT_EQ(ApplyConfigSettings(record, {{"start-mode", "default"}}), "");
  EXPECT_EQ(ValueOf(ConfigItems(record, true), "start-mode"), "default");
  EXPECT_EQ(ValueOf(ConfigItems(record, true), "start-interval"), "<none>");
}
