#include "cli/ConfigView.h"

namespace zor::cli {

nlohmann::json ConfigView(const TZor_FlashVariables &config, bool esp) {
  nlohmann::json j = nlohmann::json::object();
  for (const session::TConfigItem &item : session::ConfigItems(config, esp)) {
    switch (item.Kind) {
      case session::TConfigValueKind::Text: j[item.Key] = item.Value; break;
      case session::TConfigValueKind::Number: j[item.Key] = std::stoull(item.Value); break;
      case session::TConfigValueKind::YesNo: j[item.Key] = item.Value == "yes"; break;
    }
    if (item.Key == "feature") j["feature_text"] = item.Note;
  }
  return j;
}

void PrintConfigView(TOutput &out, const nlohmann::json &view) {
  for (const TConfigKey &key : ConfigKeys()) {
    auto it = view.find(key.Name);
    if (it == view.end()) continue;
    std::string text = it->is_string() ? it->get<std::string>() : it->dump();
    if (it->is_boolean()) text = it->get<bool>() ? "yes" : "no";
    if (std::string(key.Name) == "feature") text += " " + view["feature_text"].get<std::string>();
    out.Field(key.Name, text);
  }
}

}  // namespace zor::cli
