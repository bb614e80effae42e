// The configuration as both front ends show and take it: one ordered list of
// key/value texts per device family, under the key names a user types back
// ("ip=10.0.0.7"), and the checks that turn such texts into a record.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "device/Zor_BaseDevice.h"
#include "firmware/Zor_FlashVariables.h"

namespace zor::session {

// Which device family keeps an item.
enum class TKeyFamily : uint8_t { Any, Coldfire, Esp };

struct TConfigKey {
  const char *Name;
  TKeyFamily Family;
  const char *Help;
};

// The keys in the order they are applied and shown: a PPI interval before the
// offset checked against it, the CAN format after the identifiers.
const std::vector<TConfigKey> &ConfigKeys();
const TConfigKey *FindConfigKey(const std::string &name);
// "ColdFire" or "ESP".
const char *FamilyName(bool esp);
// Whether `device` is of the ESP family (false without a device).
bool IsEspDevice(const TZor_BaseDevice *device);
// Whether a device of the family has the item.
bool FamilyHasKey(const TConfigKey &key, bool esp);

// How a value text reads: as it is, as a decimal number, or "yes"/"no".
enum class TConfigValueKind : uint8_t { Text, Number, YesNo };

struct TConfigItem {
  std::string Key;
  std::string Value;  // in the form the key takes it back
  TConfigValueKind Kind = TConfigValueKind::Text;
  std::string Note;  // a readable form beside the value (the feature word's text)
};

// The items a device of the family keeps, in key order.
std::vector<TConfigItem> ConfigItems(const TZor_FlashVariables &config, bool esp);

// key -> value text, as the user typed them.
using TConfigSettings = std::map<std::string, std::string>;

// Keys the device's family does not have, as one error text (empty: none).
// Every key must be one of ConfigKeys().
std::string FamilyErrors(const TConfigSettings &settings, bool esp);
// Checks every setting and stores the valid ones in `record`, marking them
// changed; the messages of the invalid ones, joined with ", ", or nothing.
std::string ApplyConfigSettings(TZor_FlashVariables &record, const TConfigSettings &settings);
// The same checks before any device was read, so a typing mistake is found
// before a device is contacted. An offset given without an interval only meets
// the largest interval here.
std::string PreCheckConfigSettings(const TConfigSettings &settings);

}  // namespace zor::session
