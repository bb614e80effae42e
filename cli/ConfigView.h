// The configuration as zorfw shows it: the session's key/value view as JSON
// and as "key: value" lines, so a shown value can be typed back to --set.
// `info` and `config` both use it.
#pragma once

#include <nlohmann/json.hpp>

#include "cli/Output.h"
#include "firmware/Zor_FlashVariables.h"
#include "session/Zor_ConfigView.h"

namespace zor::cli {

using session::ConfigKeys;
using session::FamilyHasKey;
using session::FamilyName;
using session::FindConfigKey;
using session::IsEspDevice;
using session::TConfigKey;
using session::TKeyFamily;

// The items the device's family keeps, by key name; the feature word's text
// beside it as "feature_text".
nlohmann::json ConfigView(const TZor_FlashVariables &config, bool esp);
// The view as "key: value" lines of human output.
void PrintConfigView(TOutput &out, const nlohmann::json &view);

}  // namespace zor::cli
