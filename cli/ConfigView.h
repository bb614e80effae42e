// The configuration as zorfw shows it: one key/value view under the key names
// of `config --set`, so a shown value can be typed back. `info` and `config`
// both use it.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/Output.h"
#include "device/Zor_BaseDevice.h"
#include "firmware/Zor_FlashVariables.h"

namespace zor::cli {

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

// The items the device's family keeps, by key name.
nlohmann::json ConfigView(const TZor_FlashVariables &config, bool esp);
// The view as "key: value" lines of human output.
void PrintConfigView(TOutput &out, const nlohmann::json &view);

}  // namespace zor::cli
