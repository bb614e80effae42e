// zorfw end to end against a simulated device, for the ways a command can go
// wrong: reads that fail, settings the device does not have, questions the
// user must answer. Every failing run must leave the device without a session.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/ZorfwRun.h"

using namespace zor;
using namespace zor::cli::test;

namespace {

class Zorfw : public testing::Test {
 protected:
  void SetUp() override { cli::ClearInterrupt(); }
  void TearDown() override { cli::ClearInterrupt(); }
};

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

}  // namespace
