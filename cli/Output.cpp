#include "cli/Output.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace zor::cli {

namespace {

constexpr int BarWidth = 40;
constexpr size_t LevelColumn = 12;  // "[ErrorInfo] "

std::string LevelName(TMessageType mType) {
  std::string name = MessageTypeToText(mType);
  for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

// Engine texts break lines with CR LF (message boxes); a terminal wants LF,
// and continuation lines are indented under the level column.
std::string HumanText(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
    if (text[i] == '\n') out += std::string(LevelColumn, ' ');
  }
  return out;
}

const char *KindName(TProgressType kind) {
  switch (kind) {
    case tpt_SetMax: return "max";
    case tpt_SetPosition: return "position";
    case tpt_StepBy: return "step";
  }
  return "unknown";
}

}  // namespace

TOutput::TOutput(std::FILE *out, bool json, bool terminal) : FOut(out), FJson(json), FTerminal(terminal) {}

TOutput TOutput::ForStdout(bool json) { return TOutput(stdout, json, !json && ::isatty(STDOUT_FILENO) == 1); }

void TOutput::Emit(const nlohmann::json &j) {
  // Device texts are byte texts and need not be valid UTF-8.
  const std::string line = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fprintf(FOut, "%s\n", line.c_str());
  std::fflush(FOut);
}

void TOutput::Message(const std::string &text, TMessageType mType) {
  if (FJson) {
    Emit({{"type", "message"}, {"level", LevelName(mType)}, {"text", text}});
    return;
  }
  EndBar();
  std::string level = "[" + MessageTypeToText(mType) + "]";
  level.resize(std::max(level.size() + 1, LevelColumn), ' ');
  std::fprintf(FOut, "%s%s\n", level.c_str(), HumanText(text).c_str());
  std::fflush(FOut);
}

void TOutput::Status(const std::string &text) {
  if (FJson) {
    Emit({{"type", "status"}, {"text", text}});
    return;
  }
  EndBar();
  std::string level = "[Wait]";
  level.resize(LevelColumn, ' ');
  std::fprintf(FOut, "%s%s\n", level.c_str(), text.c_str());
  std::fflush(FOut);
}

void TOutput::Progress(TProgressType kind, int64_t value, const std::string &unitText) {
  switch (kind) {
    case tpt_SetMax:
      // A new maximum starts a new bar, counted in its own unit (or none).
      FMax = value;
      FPosition = 0;
      FLastTenth = -1;
      FUnit = unitText;
      break;
    case tpt_SetPosition: FPosition = value; break;
    case tpt_StepBy: FPosition += value; break;
  }
  if (!unitText.empty()) FUnit = unitText;
  if (FJson) {
    Emit({{"type", "progress"},
          {"kind", KindName(kind)},
          {"value", value},
          {"unit", unitText},
          {"position", FPosition},
          {"max", FMax}});
    return;
  }
  if (FMax <= 0 || (kind == tpt_SetMax) || (kind == tpt_SetPosition && value == 0)) return;
  if (FTerminal) {
    DrawBar();
    return;
  }
  const int tenth = static_cast<int>(std::clamp<int64_t>(FPosition * 10 / FMax, 0, 10));
  if (tenth == FLastTenth) return;
  FLastTenth = tenth;
  std::fprintf(FOut, "progress  %lld/%lld%s%s\n", static_cast<long long>(FPosition),
               static_cast<long long>(FMax), FUnit.empty() ? "" : " ", FUnit.c_str());
  std::fflush(FOut);
}

void TOutput::DrawBar() {
  const int64_t pos = std::clamp<int64_t>(FPosition, 0, FMax);
  const int filled = static_cast<int>(pos * BarWidth / FMax);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(BarWidth, '.');
  std::fprintf(FOut, "\r[%s] %3d%% %lld/%lld %s", bar.c_str(), static_cast<int>(pos * 100 / FMax),
               static_cast<long long>(pos), static_cast<long long>(FMax), FUnit.c_str());
  std::fflush(FOut);
  FBarShown = true;
}

void TOutput::EndBar() {
  if (!FBarShown) return;
  std::fprintf(FOut, "\n");
  FBarShown = false;
}

void TOutput::Field(const std::string &name, const std::string &value) {
  std::string label = name + ":";
  label.resize(std::max<size_t>(label.size() + 1, 22), ' ');
  Line("  " + label + value);
}

void TOutput::Line(const std::string &text) {
  if (FJson) return;
  EndBar();
  std::fprintf(FOut, "%s\n", text.c_str());
  std::fflush(FOut);
}

void TOutput::Result(const std::string &command, int result, int exitCode, nlohmann::json fields) {
  if (FJson) {
    fields["type"] = "result";
    fields["command"] = command;
    fields["result"] = result;
    fields["result_text"] = ErrorText(result);
    fields["exit_code"] = exitCode;
    Emit(fields);
    return;
  }
  EndBar();
  std::fprintf(FOut, "result: %d %s\n", result, ErrorText(result).c_str());
  std::fflush(FOut);
}

}  // namespace zor::cli
