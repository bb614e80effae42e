// zorfw run in this process, for end-to-end tests: its --json output read
// back, and a simulated device (the one zorfw itself starts for sim:) that the
// test reaches under ip:ADDRESS and can look into.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/AppServices.h"
#include "cli/Commands.h"
#include "cli/Devices.h"
#include "platform/Zor_Sys.h"
#include "sim/SimDevice.h"
#include "sim/SimNetLink.h"

namespace zor::cli::test {

// What one zorfw run printed (--json) and how it ended.
struct TRun {
  int Exit = -1;
  std::string Output;
  std::vector<nlohmann::json> Lines;

  // Whether a message of `level` starts with `text`.
  bool Has(const std::string &level, const std::string &text) const { return Find(level, text) >= 0; }
  // Index of the first (or last) message of `level` that starts with `text`; -1 if none.
  int Find(const std::string &level, const std::string &text, bool last = false) const {
    int found = -1;
    for (size_t i = 0; i < Lines.size() && (last || found < 0); ++i) {
      const nlohmann::json &j = Lines[i];
      if (j.value("type", "") == "message" && j.value("level", "") == level &&
          j.value("text", "").rfind(text, 0) == 0)
        found = static_cast<int>(i);
    }
    return found;
  }
  nlohmann::json Result() const {
    return !Lines.empty() && Lines.back().value("type", "") == "result" ? Lines.back() : nlohmann::json();
  }
  // The text of the last error message, or "".
  std::string LastError() const {
    for (auto j = Lines.rbegin(); j != Lines.rend(); ++j)
      if (j->value("type", "") == "message" && j->value("level", "") == "error") return j->value("text", "");
    return {};
  }
  // The run without its progress lines, for failure output.
  std::string Text() const {
    std::string out;
    for (const nlohmann::json &j : Lines)
      if (j.value("type", "") != "progress") out += j.dump() + "\n";
    return out;
  }
};

inline TRun RunCli(std::vector<std::string> args) {
  args.insert(args.begin(), "zorfw");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  TRun run;
  testing::internal::CaptureStdout();
  run.Exit = cli::RunZorfw(static_cast<int>(args.size()), argv.data());
  run.Output = testing::internal::GetCapturedStdout();
  const std::string &output = run.Output;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    nlohmann::json j = nlohmann::json::parse(output.substr(start, end - start), nullptr, false);
    if (!j.is_discarded()) run.Lines.push_back(std::move(j));
    start = end + 1;
  }
  return run;
}

// A simulated device on a loopback address of its own.
struct TSim {
  explicit TSim(bool esp, TSimDeviceOptions options = {}) {
    std::string error;
    Host = TSimHost::Start(esp, options, -1, error);
    EXPECT_TRUE(Host) << error;
  }
  bool Started() const { return Host != nullptr; }
  TSimDevice &Device() { return Host->GetDevice(); }
  TSimNetLink &Link() { return Host->GetLink(); }
  std::vector<TSimCommandRecord> Log() { return Device().CommandLog(); }
  // The arguments of a device command on this device, answering no question.
  std::vector<std::string> Args(const std::string &command) const {
    return {command, "--json", "--password", "00000000", "ip:" + Host->GetAddress()};
  }
  // The device's side of a run, for failure output.
  std::string Notes() {
    std::string out;
    for (const TSimCommandRecord &r : Log()) out += std::to_string(r.Ticks) + " " + r.Note + "\n";
    return out;
  }
  // Waits (bounded) until no user session is left on the device.
  bool AllUsersGone() {
    const uint32_t start = platform::GetTicks();
    while (true) {
      bool any = false;
      for (int slot = 1; slot <= 4; ++slot) any = any || Link().IsUserConnected(slot);
      if (!any) return true;
      if (platform::TicksSince(start) > 5000) return false;
      platform::SleepMs(10);
    }
  }

  std::unique_ptr<TSimHost> Host;
};

// Index of the first command record whose note starts with `prefix`; -1 if none.
inline int FindNote(const std::vector<TSimCommandRecord> &log, const std::string &prefix) {
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i].Note.rfind(prefix, 0) == 0) return static_cast<int>(i);
  return -1;
}

}  // namespace zor::cli::test
