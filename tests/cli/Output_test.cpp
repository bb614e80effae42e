// What zorfw prints: JSON lines scripts rely on, human lines, progress.
#include "cli/Output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "cli/Commands.h"

using namespace zor;
using namespace zor::cli;

namespace {

// Captures what a TOutput writes.
struct TCapture {
  std::FILE *File = std::tmpfile();
  ~TCapture() { std::fclose(File); }
  std::string Text() const {
    std::fflush(File);
    std::rewind(File);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, File)) > 0) text.append(buf, n);
    return text;
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(Text());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

}  // namespace

TEST(OutputJson, EveryMessageAndProgressStepIsOneParsableLineThenTheResult) {
  TCapture cap;
  TOutput out(cap.File, true, false);
  out.Message("Update Firmware...", mtInfo);
  out.Progress(tpt_SetMax, 1000, "bytes");
  out.Progress(tpt_StepBy, 400, "");
  out.Progress(tpt_StepBy, 400, "");
  out.Progress(tpt_SetPosition, 0, "");
  // Device texts are bytes, not UTF-8; the line must still parse.
  out.Message(std::string("bad \xFF byte\r\nnext"), mtErr);
  out.Result("update", -4, ExitCodeFromResult(-4), {{"file", "x.s19"}});

  std::vector<nlohmann::json> lines;
  for (const std::string &line : cap.Lines()) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0]["type"], "message");
  EXPECT_EQ(lines[0]["level"], "info");
  EXPECT_EQ(lines[2]["type"], "progress");
  EXPECT_EQ(lines[2]["kind"], "step");
  EXPECT_EQ(lines[3]["position"], 800);
  EXPECT_EQ(lines[3]["max"], 1000);
  EXPECT_EQ(lines[3]["unit"], "");
  EXPECT_EQ(lines[4]["position"], 0);
  EXPECT_EQ(lines[5]["level"], "error");
  EXPECT_NE(lines[5]["text"].get<std::string>().find("next"), std::string::npos);
  EXPECT_EQ(lines[6]["type"], "result");
  EXPECT_EQ(lines[6]["result"], -4);
  EXPECT_EQ(lines[6]["result_text"], "Format error in S-Record");
  EXPECT_EQ(lines[6]["exit_code"], 14);
  EXPECT_EQ(lines[6]["file"], "x.s19");
}

TEST(OutputHuman, LevelColumnAndCrLfBecomeIndentedLines) {
  TCapture cap;
  TOutput out(cap.File, false, false);
  out.Message("Firmware update denied: other users connected: \r\n          1:  usb", mtErr);
  out.Result("update", -17, 27);
  const std::vector<std::string> lines = cap.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "[Error]     Firmware update denied: other users connected: ");
  EXPECT_EQ(lines[1].rfind("            ", 0), 0u);
  EXPECT_NE(lines[1].find("1:  usb"), std::string::npos);
  EXPECT_EQ(lines[2], "result: -17 Too many user");
}

TEST(OutputHuman, WithoutTerminalProgressIsAPlainLineEveryTenth) {
  TCapture cap;
  TOutput out(cap.File, false, false);
  out.Progress(tpt_SetMax, 100, "bytes");
  for (int i = 0; i < 100; ++i) out.Progress(tpt_StepBy, 1, "");
  const std::vector<std::string> lines = cap.Lines();
  ASSERT_EQ(lines.size(), 11u);  // 0/10 .. 10/10
  EXPECT_EQ(lines.front(), "progress  1/100 bytes");
  EXPECT_EQ(lines.back(), "progress  100/100 bytes");
  // The next bar has no unit: the old one is not carried over.
  out.Progress(tpt_SetMax, 10, "");
  out.Progress(tpt_StepBy, 1, "");
  EXPECT_EQ(cap.Lines().back(), "progress  1/10");
}

TEST(OutputHuman, OnATerminalTheBarIsDrawnInPlaceAndEndedBeforeTheNextMessage) {
  TCapture cap;
  TOutput out(cap.File, false, true);
  out.Progress(tpt_SetMax, 200, "seconds");
  out.Progress(tpt_SetPosition, 50, "");
  out.Progress(tpt_StepBy, 250, "");  // past the maximum: the bar stays full
  out.Message("Programming finished", mtInfo);
  const std::string text = cap.Text();
  EXPECT_NE(text.find("\r[##########..............................]  25% 50/200 seconds"), std::string::npos);
  EXPECT_NE(text.find("100% 200/200 seconds\n[Info]"), std::string::npos);
}

TEST(ExitCodes, EveryResultHasItsOwnStatus) {
  EXPECT_EQ(ExitCodeFromResult(0), 0);
  EXPECT_EQ(ExitCodeFromResult(1), 1);
  EXPECT_EQ(ExitCodeFromResult(2), 2);
  EXPECT_EQ(ExitCodeFromResult(-1), 11);
  EXPECT_EQ(ExitCodeFromResult(-20), 30);
  EXPECT_EQ(ExitCodeFromResult(-21), 31);
  EXPECT_EQ(ExitCodeFromResult(-22), 32);
  EXPECT_EQ(ExitCodeFromResult(fwr_LowestCode - 1), ExitInternal);
  // The front end's own failures stay clear of the engine's.
  EXPECT_GT(ExitVersionReadFailed, ExitCodeFromResult(fwr_LowestCode));
  EXPECT_EQ(ExitCodeFromResult(3), ExitInternal);
  const std::string table = ExitCodeTable();
  EXPECT_NE(table.find("  30  Hardware fault\n"), std::string::npos);
  EXPECT_NE(table.find("  40  Version read after the update failed\n"), std::string::npos);
  EXPECT_NE(table.find("  41  Configuration read failed\n"), std::string::npos);
  EXPECT_NE(table.find("  64  usage error"), std::string::npos);
}
