// The status word the flash programmer leaves behind: every failure word
// names its cause and fails the run; any other word is a success.
#include <gtest/gtest.h>

#include "device/Zor_ColdfireCommands.h"
#include "foundation/Zor_Utils.h"
#include "tests/firmware/FW_TestEngine.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

class TStatusEngine : public TTestEngine {
 public:
  using TZorFirmwareClass::CheckProgrammingStatus;
};

constexpr uint32_t cStatusAddress = 0x2000F614;

class FWProgrammerStatus : public ::testing::Test {
 protected:
  // The device answers the status read with `word`.
  int Check(uint32_t word) {
    FEngine.Messages.clear();
    FDevice.ClearWrites();
    FDevice.OnWrite = [this, word](const std::string &cmd) {
      if (cmd == CmdReadMemory(cStatusAddress, 4)) FDevice.FeedTools(IntToBigEndianText32(word));
    };
    return FEngine.CheckProgrammingStatus(&FDevice);
  }

  platform::TZor_VirtualClock FClock;
  platform::TZor_ClockGuard FGuard{FClock};
  TZor_TestDevice FDevice{Zor_HID, ptColdfire};
  TStatusEngine FEngine;
};

TEST_F(FWProgrammerStatus, EveryFailureWordGivesItsTextAndFails) {
  const std::pair<uint32_t, const char *> failures[] = {
      {0x02, "Erase Block0 failed as flash is protected"},
      {0x03, "Erase Block0 failed due to a bad erase sequence"},
      {0x12, "Erase All Blocks failed as flash is protected"},
      {0x13, "Erase All Blocks failed due to a bad erase sequence"},
      {0x22, "Write All Blocks failed as flash is protected"},
      {0x23, "Write All Blocks failed due to a bad erase sequence"},
      {0x30, "Verify failed"},
      {0x40, "Checksum write failed"},
  };
  for (const auto &[word, text] : failures) {
    SCOPED_TRACE(IntToHex(word, 2));
    EXPECT_EQ(Check(word), fwr_ProgrammingFailed);
    EXPECT_EQ(FEngine.Texts(mtErr), std::vector<std::string>{text});
    EXPECT_FALSE(FEngine.HasMessage("Programming successful", mtInfo));
    EXPECT_EQ(FDevice.Writes(), std::vector<std::string>{CmdReadMemory(cStatusAddress, 4)});
  }
}

TEST_F(FWProgrammerStatus, OtherWordsAreSuccess) {
  // Neighbours of the failure words, and a failure word in the wrong byte.
  for (uint32_t word : {0x00u, 0x01u, 0x04u, 0x11u, 0x14u, 0x21u, 0x24u, 0x31u, 0x41u, 0x12000000u}) {
    SCOPED_TRACE(IntToHex(word, 8));
    EXPECT_EQ(Check(word), fwr_NoError);
    EXPECT_TRUE(FEngine.Texts(mtErr).empty());
    EXPECT_TRUE(FEngine.HasMessage("Programming successful", mtInfo));
  }
}

}  // namespace
}  // namespace zor
