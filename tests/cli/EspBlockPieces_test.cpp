// An ESP update over the network as the device's block transfer sees it: the
// image goes out in pieces of 1440 bytes (the device's receive path is sized
// for it).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/AppServices.h"
#include "tests/cli/ZorfwSim.h"

using namespace zor;
using namespace zor::clitest;

TEST(EspBlockPieces, ImageGoesOutIn1440BytePieces) {
  cli::ClearInterrupt();
  TSimConfig config;
  config.Family = TSimFamily::Esp;
  config.FirmwareVersion = 114;
  config.Timings.RestartSilentMs = 600;
  TSimTarget sim(config);
  ASSERT_TRUE(sim.Started());
  const std::string image = EspImage(10000, 4);
  const auto file =
      std::filesystem::temp_directory_path() / ("zorfw_pieces_" + std::to_string(::getpid()) + ".bin");
  std::ofstream(file, std::ios::binary) << image;
  const cli::test::TRun run = RunUpdate(sim.Target(), file.string());
  std::filesystem::remove(file);
  ASSERT_EQ(run.Exit, 0) << run.Text();
  EXPECT_TRUE(sim.HoldsEsp(image));

  // Pieces go out 20 ms apart; should one late read of the device take two
  // together, they still make whole pieces.
  const std::vector<TSimBlockPiece> pieces = sim.Link->BlockPieces();
  ASSERT_GE(pieces.size(), 4u);
  uint32_t bytes = 0;
  for (size_t i = 0; i + 1 < pieces.size(); ++i) {
    EXPECT_EQ(pieces[i].Size % 1440, 0u) << "read " << i << ": " << pieces[i].Size << " bytes";
    bytes += pieces[i].Size;
  }
  EXPECT_EQ(pieces.back().Size % 1440, 10000u % 1440) << pieces.back().Size;
  EXPECT_EQ(bytes + pieces.back().Size, 10000u);
  EXPECT_TRUE(sim.AllUsersGone());
}
