// zorfw end to end against a simulated device, for the ways a command can go
// wrong: reads that fail, settings the device does not have, questions the
// user must answer. Every failing run must leave the device without a session.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli/ConfigView.h"
#include "firmware/Uploader_Common.h"
#include "sim/SimEsp.h"
#include "sim/SimFaults.h"
#include "tests/cli/ZorfwRun.h"

using namespace zor;
using namespace zor::cli::test;
namespace fs = std::filesystem;

namespace {

class Zorfw : public testing::Test {
 protected:
  void SetUp() override { cli::ClearInterrupt(); }
  void TearDown() override {
    cli::ClearInterrupt();
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }

  std::string WriteFile(const std::string &name, const std::string &content) {
    fs::create_directories(FDir);
    const fs::path path = FDir / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  fs::path FDir = fs::temp_directory_path() / ("zorfw_fail_" + std::to_string(::getpid()) + "_" +
                                               testing::UnitTest::GetInstance()->current_test_info()->name());
};

// An ESP image as the device checks it: its first byte is the image magic.
std::string EspImage(size_t size) {
  std::string image(size, '\x5A');
  image[0] = static_cast<char>(SimEspImageMagic);
  return image;
}

// From now on every control request of `kinds` gets the forced answer of `rule`.
void AnswerAlways(TSim &sim, TSimFaultRule TSimLinkFaults::*rule, uint8_t kinds) {
  TSimLinkFaults faults;
  faults.*rule = TSimFaultRule{-1, kinds};
  sim.Link().SetFaults(faults);
}

// info and config show the configuration under the same keys, those of --set.
TEST_F(Zorfw, InfoAndConfigShowOneView) {
  for (bool esp : {false, true}) {
    TSim sim(esp);
    ASSERT_TRUE(sim.Started());
    const TRun info = RunCli(sim.Args("info"));
    const TRun config = RunCli(sim.Args("config"));
    ASSERT_EQ(info.Exit, 0) << info.Text();
    ASSERT_EQ(config.Exit, 0) << config.Text();
    const nlohmann::json view = config.Result()["config"];
    EXPECT_EQ(info.Result()["config"], view);
    EXPECT_TRUE(view.contains("serial") && view.contains("can-rx")) << view.dump();
    EXPECT_EQ(view.contains("host"), esp) << view.dump();
    EXPECT_EQ(view.contains("nick"), !esp) << view.dump();
  }
}

// The configuration cannot be read (every command refused; an ESP device
// sends its version unasked): info and config say so and end with 41, not 0.
TEST_F(Zorfw, ConfigurationReadFailureIsNoSuccess) {
  for (const char *command : {"info", "config"}) {
    TSim sim(true);
    ASSERT_TRUE(sim.Started());
    AnswerAlways(sim, &TSimLinkFaults::AnswerBu, srkCmd);
    const TRun run = RunCli(sim.Args(command));
    EXPECT_EQ(run.Exit, cli::ExitConfigReadFailed) << command << "\n" << run.Text();
    EXPECT_EQ(run.Result().value("exit_code", 0), cli::ExitConfigReadFailed);
    EXPECT_TRUE(run.Result()["config"].is_null()) << run.Text();
    EXPECT_TRUE(run.Has("error", cli::ConfigReadFailedText)) << run.Text();
    if (std::string(command) == "info") {
      // Nor was the feature word given: it is shown as unknown, not as 0xFFFF.
      const nlohmann::json version = run.Result()["version"];
      EXPECT_EQ(version.value("feature_text", ""), "unknown") << run.Text();
      EXPECT_TRUE(version.contains("feature") && version["feature"].is_null()) << run.Text();
    }
    // A failed read still ends the session with DISCONN.
    EXPECT_TRUE(sim.AllUsersGone()) << command << ": user slot left\n" << sim.Notes();
  }
}

// The update went through, but the device cannot be read afterwards: zorfw
// reports it and ends with 40 instead of a plain success.
TEST_F(Zorfw, VersionReadAfterUpdateFailureIsNoSuccess) {
  TSim sim(true);
  ASSERT_TRUE(sim.Started());
  const std::string file = WriteFile("LUM2_fw.bin", EspImage(3000));
  TRun run;
  std::thread zorfw([&] {
    std::vector<std::string> args = sim.Args("update");
    args.push_back(file);
    run = RunCli(args);
  });
  // Once the device switched partitions it restarts; from then on it refuses
  // every new session.
  const uint32_t begin = platform::GetTicks();
  bool switched = false;
  while (!(switched = FindNote(sim.Log(), "update partition") >= 0) && platform::TicksSince(begin) < 60000)
    platform::SleepMs(1);
  AnswerAlways(sim, &TSimLinkFaults::AnswerAb, srkConnect);
  zorfw.join();
  ASSERT_TRUE(switched) << run.Text();
  EXPECT_TRUE(sim.Device().GetPersistent().UpdatePartitionActive);
  EXPECT_EQ(run.Exit, cli::ExitVersionReadFailed) << run.Text() << sim.Notes();
  EXPECT_TRUE(run.Has("ok", "Firmware update was successful")) << run.Text();
  EXPECT_TRUE(run.Has("error", cli::VersionReadFailedText)) << run.Text();
  EXPECT_FALSE(run.Result().contains("firmware_after")) << run.Text();
  EXPECT_TRUE(sim.AllUsersGone()) << sim.Notes();
}

// A configuration write or a reset: what a refused setting must not cause.
bool WritesOrResets(const std::vector<TSimCommandRecord> &log) {
  for (const TSimCommandRecord &r : log) {
    const std::string &b = r.Bytes;
    if (b.size() >= 2 && uint8_t(b[0]) == 0x85 && (b[1] == 0x22 || b[1] == '%' || b[1] == 'P' || b[1] == 'Q'))
      return true;
  }
  return false;
}

// Every key one family keeps is refused on a device of the other family
// (valid value, so only the family refuses it): status 64, nothing written,
// no restart, no session left.
TEST_F(Zorfw, KeyOfTheOtherFamilyIsRefusedBeforeAnyWrite) {
  const std::map<std::string, std::string> values = {
      {"nick", "Bench"},     {"host", "lum-1"},       {"static-ip", "yes"}, {"feature", "7"},
      {"start-mode", "2"},   {"start-interval", "3"}, {"ref-error", "1"},   {"baud", "9600"},
      {"ppi-interval", "3"}, {"ppi-offset", "1"},     {"ppi-user", "yes"}};
  for (bool esp : {false, true}) {
    TSim sim(esp);
    ASSERT_TRUE(sim.Started());
    for (const cli::TConfigKey &key : cli::ConfigKeys()) {
      if (cli::FamilyHasKey(key, esp)) continue;
      ASSERT_TRUE(values.count(key.Name)) << "no test value for " << key.Name;
      std::vector<std::string> args = sim.Args("config");
      args.insert(args.end(), {"--set", std::string(key.Name) + "=" + values.at(key.Name)});
      const TRun run = RunCli(args);
      EXPECT_EQ(run.Exit, cli::ExitUsage) << key.Name << "\n" << run.Text();
      EXPECT_TRUE(run.Has("error", std::string(key.Name) + " is not available on " + cli::FamilyName(esp)))
          << run.Text();
      EXPECT_FALSE(WritesOrResets(sim.Log())) << key.Name << "\n" << sim.Notes();
      EXPECT_TRUE(sim.AllUsersGone()) << key.Name << "\n" << sim.Notes();
    }
  }
}

// The PPI settings live in the ESP storage only: a ColdFire device shows none.
TEST_F(Zorfw, ColdfireShowsNoPpi) {
  TSim sim(false);
  ASSERT_TRUE(sim.Started());
  const TRun run = RunCli(sim.Args("config"));
  ASSERT_EQ(run.Exit, 0) << run.Text();
  EXPECT_FALSE(run.Result()["config"].contains("ppi-interval")) << run.Text();
}

// factory logs in like update: a refused login stops it before the switch.
TEST_F(Zorfw, FactoryLogsIn) {
  for (bool refuse : {false, true}) {
    cli::TSimDeviceOptions options;
    if (refuse) options.Faults = {"refuse-login"};
    TSim sim(true, options);
    ASSERT_TRUE(sim.Started());
    TSimPersistent state = sim.Device().GetPersistent();
    state.UpdateImage = EspImage(1000);
    state.UpdateImageValid = state.UpdatePartitionActive = true;
    sim.Device().SetPersistent(state);
    const TRun run = RunCli(sim.Args("factory"));
    const std::vector<TSimCommandRecord> log = sim.Log();
    const int login = FindNote(log, refuse ? "login refused" : "logged in");
    ASSERT_GE(login, 0) << sim.Notes();
    if (refuse) {
      EXPECT_EQ(run.Exit, 10 - fwr_OpenError) << run.Text();
      EXPECT_TRUE(sim.Device().GetPersistent().UpdatePartitionActive);
      EXPECT_EQ(FindNote(log, "factory partition"), -1) << sim.Notes();
    } else {
      EXPECT_EQ(run.Exit, 0) << run.Text();
      EXPECT_GT(FindNote(log, "factory partition"), login) << sim.Notes();
    }
    EXPECT_TRUE(sim.AllUsersGone()) << sim.Notes();
  }
}

// Clearing the ColdFire nick name needs a Yes: without a terminal the answer
// is No and nothing is written; --yes clears it.
TEST_F(Zorfw, ClearingTheNickNameAsksFirst) {
  // No terminal to ask on, also when the test itself runs in one.
  ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
  for (bool yes : {false, true}) {
    TSim sim(false);
    ASSERT_TRUE(sim.Started());
    TSimPersistent state = sim.Device().GetPersistent();
    state.Flash.replace(CFConfigAddress, 6, std::string("Bench\0", 6));
    sim.Device().SetPersistent(state);
    std::vector<std::string> args = sim.Args("config");
    args.insert(args.end(), {"--set", "nick="});
    if (yes) args.push_back("--yes");
    const TRun run = RunCli(args);
    EXPECT_TRUE(run.Has("warning", "Do you really want to clear the nickname?")) << run.Text();
    const std::string nick = sim.Device().GetPersistent().Flash.substr(CFConfigAddress, 6);
    if (yes) {
      EXPECT_EQ(run.Exit, 0) << run.Text();
      EXPECT_EQ(run.Result()["after"].value("nick", "?"), "") << run.Text();
      EXPECT_EQ(nick, std::string(6, '\xFF'));
    } else {
      EXPECT_EQ(run.Exit, 1) << run.Text();
      EXPECT_FALSE(WritesOrResets(sim.Log())) << sim.Notes();
      EXPECT_EQ(nick, std::string("Bench\0", 6));
    }
    EXPECT_TRUE(sim.AllUsersGone()) << sim.Notes();
  }
}

}  // namespace
