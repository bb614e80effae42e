// How zorfw shows what the engine reports: human lines with the message level
// and a progress bar on a terminal, or one JSON object per line for scripts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "firmware/Uploader_Common.h"

namespace zor::cli {

class TOutput {
 public:
  // `out` receives everything; `terminal` draws the progress bar in place
  // (otherwise progress appears as a plain line every tenth of the way).
  TOutput(std::FILE *out, bool json, bool terminal);
  // Human output on stdout, drawn as a bar when stdout is a terminal.
  static TOutput ForStdout(bool json);

  bool IsJson() const { return FJson; }

  // The engine's callbacks.
  void Message(const std::string &text, TMessageType mType);
  void Progress(TProgressType kind, int64_t value, const std::string &unitText);

  // A note of the front end itself (not from the engine), shown like an
  // engine message of the same level.
  void Note(const std::string &text, TMessageType mType) { Message(text, mType); }
  // The closing object of a command: `fields` plus the result, its text and
  // the exit status. Human output prints "result: <code> <text>".
  void Result(const std::string &command, int result, int exitCode,
              nlohmann::json fields = nlohmann::json::object());
  // A passing status text (the window's splash): JSON type "status", human
  // output marks it as waiting.
  void Status(const std::string &text);
  // A key/value line of human output (info), or nothing in JSON mode.
  void Field(const std::string &name, const std::string &value);
  // A line of human output as it is (tables), or nothing in JSON mode.
  void Line(const std::string &text);

  int64_t GetPosition() const { return FPosition; }
  int64_t GetMax() const { return FMax; }

 private:
  void Emit(const nlohmann::json &j);
  void DrawBar();
  void EndBar();

  std::FILE *FOut;
  bool FJson;
  bool FTerminal;
  int64_t FMax = 0;
  int64_t FPosition = 0;
  std::string FUnit;
  bool FBarShown = false;  // a bar line is open and must end before the next line
  int FLastTenth = -1;     // last tenth printed as a plain progress line
};

}  // namespace zor::cli
