#include "sim/SimFaults.h"

#include <utility>

namespace zor {

namespace {

constexpr std::pair<const char *, uint8_t> KindNames[] = {
    {"connect", srkConnect}, {"disconn", srkDisconn}, {"try", srkTry}, {"cmd", srkCmd},
    {"block", srkBlock},     {"setport", srkSetPort}, {"all", srkAll}};

constexpr std::pair<const char *, TSimStepAction> ActionNames[] = {
    {"drop", TSimStepAction::DropControl}, {"er", TSimStepAction::AnswerEr},
    {"silent", TSimStepAction::Silent},    {"close-data", TSimStepAction::CloseData},
    {"restart", TSimStepAction::Restart},  {"corrupt", TSimStepAction::CorruptAnswer}};

}  // namespace

bool ParseSimRequestKinds(const std::string &text, uint8_t &kinds, std::string &error) {
  kinds = 0;
  size_t at = 0;
  for (;;) {
    const size_t comma = text.find(',', at);
    const std::string name = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    bool known = false;
    for (auto &[n, k] : KindNames)
      if (name == n) {
        kinds |= k;
        known = true;
      }
    if (!known) {
      error = "unknown request kind: " + name;
      return false;
    }
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

bool ParseSimStepFault(const std::string &text, TSimStepFault &fault, std::string &error) {
  const std::string usage = "step fault \"" + text + "\": ";
  if (text.rfind("at:", 0) != 0) {
    error = usage + "must begin with at:";
    return false;
  }
  const size_t colon = text.find(':', 3);
  const std::string number = text.substr(3, colon == std::string::npos ? std::string::npos : colon - 3);
  if (number.empty() || number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(number) == 0) {
    error = usage + "K must be a request number from 1";
    return false;
  }
  if (colon == std::string::npos) {
    error = usage + "no action";
    return false;
  }
  std::string action = text.substr(colon + 1);
  TSimStepFault parsed;
  parsed.At = static_cast<uint32_t>(std::stoul(number));
  if (const size_t kindsAt = action.find('@'); kindsAt != std::string::npos) {
    if (!ParseSimRequestKinds(action.substr(kindsAt + 1), parsed.Kinds, error)) {
      error = usage + error;
      return false;
    }
    action.resize(kindsAt);
  }
  for (auto &[n, a] : ActionNames)
    if (action == n) parsed.Action = a;
  if (parsed.Action == TSimStepAction::None) {
    error = usage + "unknown action: " + action;
    return false;
  }
  fault = parsed;
  return true;
}

const char *SimStepActionName(TSimStepAction action) {
  for (auto &[n, a] : ActionNames)
    if (a == action) return n;
  return "none";
}

}  // namespace zor
