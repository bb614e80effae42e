// The fault matrix: `zorfw update` of a ColdFire image (8 KiB) and of an ESP
// image (64 KiB) with one fault at request k of the run, for each fault and
// each k. Every run must
//   - exit 0 only when the device really holds the image,
//   - end within its bound,
//   - leave no user session on the device,
// and the same device must then take another image without a fault.
//
// ZOR_FAULT_K selects the k: "sample" (default, a few per fault, for CI) or
// "all". One line per run goes to stderr ("FAULTRUN ..."), which
// scripts/fault_matrix.sh counts. Each test (one family and one fault) is
// independent of the others, so the matrix runs in parallel processes with
// one --gtest_filter each.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include "cli/AppServices.h"
#include "tests/cli/ZorfwSim.h"

using namespace zor;
using namespace zor::clitest;
namespace fs = std::filesystem;

namespace {

// Bounds of one update run, faults included: the longest waits of a failing
// update (the 60 s wait for an ESP device's ready sign, or the restart wait
// of 350 pings) plus the transfer.
constexpr uint32_t cColdfireBoundMs = 90000;
constexpr uint32_t cEspBoundMs = 100000;
// After the bound: Ctrl-C, and this long for zorfw to give up.
constexpr uint32_t cInterruptGraceMs = 30000;

struct TMatrixCase {
  bool Esp;
  TSimStepAction Action;
};

std::string CaseName(const TMatrixCase &c) {
  std::string name = std::string(c.Esp ? "esp_" : "coldfire_") + SimStepActionName(c.Action);
  for (char &ch : name)
    if (ch == '-') ch = '_';
  return name;
}

TSimConfig Config(bool esp) {
  TSimConfig config;
  config.Family = esp ? TSimFamily::Esp : TSimFamily::Coldfire;
  config.FirmwareVersion = esp ? 114 : 112;
  config.UpdateFirmwareVersion = esp ? -1 : 120;
  config.Timings.RestartSilentMs = 600;
  // After clearing the device's buffer the tool waits for a block that says
  // so: a ColdFire device sends one before it restarts.
  config.Timings.TimeStampIntervalMs = esp ? 1000 : 100;
  return config;
}

// One image to update with, as a file and as the device must hold it.
struct TImage {
  bool Esp = false;
  std::string File;
  std::string Esp64;
  TColdfireImage Coldfire;

  TImage(bool esp, uint32_t seed, const fs::path &dir) : Esp(esp) {
    File =
        (dir / (std::string(esp ? "LUM2_fw_" : "LUM_fw_") + std::to_string(seed) + (esp ? ".bin" : ".s19")))
            .string();
    std::ofstream out(File, std::ios::binary);
    if (esp) {
      Esp64 = EspImage(64 * 1024, seed);
      out << Esp64;
    } else {
      Coldfire = ColdfireImage(8 * 1024, seed);
      out << Coldfire.Text;
    }
  }
  bool HeldBy(const TSimTarget &sim) const { return Esp ? sim.HoldsEsp(Esp64) : sim.HoldsColdfire(Coldfire); }
};

// A zorfw update run that is interrupted (Ctrl-C) once it passes its bound.
struct TBoundedRun {
  cli::test::TRun Run;
  uint32_t Ms = 0;
  bool OverBound = false;
};

TBoundedRun RunBounded(const std::string &target, const std::string &file, uint32_t boundMs,
                       const std::string &what) {
  cli::ClearInterrupt();
  TBoundedRun result;
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  const uint32_t start = platform::GetTicks();
  std::thread worker([&] {
    cli::test::TRun run = RunUpdate(target, file);
    std::lock_guard<std::mutex> g(lock);
    result.Run = std::move(run);
    finished = true;
    done.notify_all();
  });
  std::unique_lock<std::mutex> g(lock);
  if (!done.wait_for(g, std::chrono::milliseconds(boundMs), [&] { return finished; })) {
    result.OverBound = true;
    cli::RequestInterrupt();
    if (!done.wait_for(g, std::chrono::milliseconds(cInterruptGraceMs), [&] { return finished; })) {
      // zorfw neither ended nor took Ctrl-C: nothing further can run in this process.
      std::cerr << "FAULTRUN " << what << " hang=1 stuck=1" << std::endl;
      std::_Exit(3);
    }
  }
  g.unlock();
  worker.join();
  result.Ms = platform::TicksSince(start);
  cli::ClearInterrupt();
  return result;
}

// The k to try for a run of `steps` requests with the fault numbered
// `fault`: ZOR_FAULT_K is "sample" (default: one k per fault, the opening,
// the middle or the end of the run by turns), "all", or "edges:S" (the first
// and last 16 requests, and every S-th between); ZOR_FAULT_SHARD "I/N" keeps
// every N-th of those from the I-th (0-based), for parallel processes.
std::vector<uint32_t> Steps(uint32_t steps, int fault) {
  const std::string mode = std::getenv("ZOR_FAULT_K") ? std::getenv("ZOR_FAULT_K") : "sample";
  std::vector<uint32_t> ks;
  if (mode == "sample") {
    const uint32_t turns[] = {2, steps / 2, steps - 1};
    ks = {turns[fault % 3]};
  } else {
    const uint32_t stride = mode.rfind("edges:", 0) == 0 ? std::max(1, std::atoi(mode.c_str() + 6)) : 1;
    constexpr uint32_t edge = 16;
    for (uint32_t k = 1; k <= steps; ++k)
      if (k <= edge || k + edge > steps || k % stride == 0) ks.push_back(k);
  }
  unsigned shard = 0, shards = 1;
  if (const char *env = std::getenv("ZOR_FAULT_SHARD")) std::sscanf(env, "%u/%u", &shard, &shards);
  std::vector<uint32_t> mine;
  for (size_t i = 0; i < ks.size(); ++i)
    if (shards == 0 || i % shards == shard) mine.push_back(ks[i]);
  return mine;
}

// How many requests a run without a fault makes, once per family.
uint32_t CleanSteps(bool esp, const std::string &file, uint32_t bound) {
  static std::map<bool, uint32_t> known;
  if (known.count(esp)) return known[esp];
  TSimTarget sim(Config(esp));
  if (!sim.Started()) return 0;
  const TBoundedRun clean =
      RunBounded(sim.Target(), file, bound, std::string(esp ? "esp" : "coldfire") + " k=0");
  EXPECT_EQ(clean.Run.Exit, 0) << clean.Run.Text();
  return known[esp] = clean.Run.Exit == 0 ? sim.Link->GetStepCount() : 0;
}

class FaultMatrix : public testing::TestWithParam<TMatrixCase> {
 protected:
  fs::path FDir = [] {
    const fs::path dir = fs::temp_directory_path() / ("zorfw_faults_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
  }();
  ~FaultMatrix() override {
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }
};

TEST_P(FaultMatrix, UpdateWithAFaultAtEveryStep) {
  const TMatrixCase c = GetParam();
  const uint32_t bound = c.Esp ? cEspBoundMs : cColdfireBoundMs;
  const TImage image(c.Esp, 11, FDir), other(c.Esp, 12, FDir);

  const uint32_t steps = CleanSteps(c.Esp, image.File, bound);
  ASSERT_GT(steps, 3u);

  for (uint32_t k : Steps(steps, static_cast<int>(c.Action))) {
    TSimTarget sim(Config(c.Esp));
    ASSERT_TRUE(sim.Started());
    const std::string what = CaseName(c) + " k=" + std::to_string(k) + "/" + std::to_string(steps);
    sim.Link->SetStepFault({k, c.Action, srkAll});
    const TBoundedRun faulted = RunBounded(sim.Target(), image.File, bound, what);
    const bool holds = image.HeldBy(sim);
    const bool falseSuccess = faulted.Run.Exit == 0 && !holds;
    const bool slotsLeft = !sim.AllUsersGone(3000);
    const bool fired = sim.Link->StepFaultFired();
    sim.Link->SetStepFault({});

    // The same update without the fault, with another image to tell them apart.
    EXPECT_TRUE(sim.Serving()) << what << ": the device did not come back";
    const TBoundedRun again = RunBounded(sim.Target(), other.File, bound, what + " again");
    const bool recovered = again.Run.Exit == 0 && other.HeldBy(sim) && sim.AllUsersGone(3000);

    std::cerr << "FAULTRUN " << what << " fired=" << fired << " exit=" << faulted.Run.Exit
              << " holds=" << holds << " ms=" << faulted.Ms << " false_success=" << falseSuccess
              << " hang=" << faulted.OverBound << " slots_left=" << slotsLeft << " recovered=" << recovered
              << " error=\"" << faulted.Run.LastError() << "\"" << std::endl;
    EXPECT_FALSE(falseSuccess) << what << ": exit 0 but the device does not hold the image\n"
                               << faulted.Run.Text();
    EXPECT_FALSE(faulted.OverBound) << what << ": " << faulted.Ms << " ms\n" << faulted.Run.Text();
    EXPECT_FALSE(slotsLeft) << what << ": a user session is left on the device\n" << faulted.Run.Text();
    EXPECT_TRUE(recovered) << what << ": the update without the fault failed afterwards\n"
                           << again.Run.Text();
  }
}

std::vector<TMatrixCase> Cases() {
  std::vector<TMatrixCase> cases;
  for (bool esp : {false, true})
    for (TSimStepAction a :
         {TSimStepAction::DropControl, TSimStepAction::AnswerEr, TSimStepAction::Silent,
          TSimStepAction::CloseData, TSimStepAction::Restart, TSimStepAction::CorruptAnswer})
      cases.push_back({esp, a});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Steps, FaultMatrix, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<TMatrixCase> &info) {
                           return CaseName(info.param);
                         });

}  // namespace
