// How the engine reads the integer items of an ESP device's storage: up to
// firmware 108 one request at a time, each answer taken before the next
// request; from 109 on all requests first. Both give the same configuration,
// so the test watches what the device sees: how many answers are still
// waiting when each request arrives.
#include <gtest/gtest.h>

#include "firmware/Zor_FlashVariables.h"
#include "foundation/CircularBuffer.h"
#include "foundation/Zor_Utils.h"
#include "tests/firmware/FW_TestEngine.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

// What the device saw of one storage read request.
struct TSeenRequest {
  std::string Command;
  uint32_t AnswersWaiting;  // answer bytes not yet taken when it arrived
};

uint32_t ItemValue(uint8_t n) { return 0x0A000000u + 0x10101u * n; }

std::string LittleEndian(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

struct TReadRun {
  int Result = -1;
  std::vector<TSeenRequest> Seen;
  TZor_FlashVariables Config;
};

// Reads the configuration of a scripted ESP device running `firmware`; the
// device answers every storage read at once.
TReadRun ReadWithFirmware(int firmware) {
  platform::TZor_VirtualClock clock;
  platform::TZor_ClockGuard guard(clock);
  TZor_TestDevice device(Zor_HID, ptESP);
  TTestEngine engine;
  engine.SetBaseDevice(&device);
  engine.FFirmwareVersion = firmware;
  TReadRun run;
  device.OnWrite = [&](const std::string &cmd) {
    if (cmd.size() != 4 || cmd.compare(0, 2, "\x85"
                                                "E") != 0)
      return;
    run.Seen.push_back({cmd, device.GetToolsBuffer().GetAmount()});
    const uint8_t n = static_cast<uint8_t>(cmd[3]);
    device.FeedTools(cmd[2] == 'i' ? LittleEndian(ItemValue(n)) : std::string(n == 0 ? "zor-7" : "rs"));
  };
  run.Result = engine.ReadConfig();
  run.Config = engine.GetFlashVariables();
  return run;
}

std::vector<std::string> Commands(const TReadRun &run) {
  std::vector<std::string> out;
  for (const TSeenRequest &s : run.Seen) out.push_back(s.Command);
  return out;
}

// Answer bytes waiting at each integer request.
std::vector<uint32_t> WaitingAtIntegerRequests(const TReadRun &run) {
  std::vector<uint32_t> out;
  for (const TSeenRequest &s : run.Seen)
    if (s.Command[2] == 'i') out.push_back(s.AnswersWaiting);
  return out;
}

TEST(FWEspReadOrder, Firmware108AsksItemByItem) {
  const TReadRun run = ReadWithFirmware(108);
  ASSERT_EQ(run.Result, 0);
  EXPECT_EQ(WaitingAtIntegerRequests(run), std::vector<uint32_t>(NVSIntegerCount, 0))
      << "each request follows the answer to the one before";
}

TEST(FWEspReadOrder, Firmware109AsksForAllItemsFirst) {
  const TReadRun run = ReadWithFirmware(109);
  ASSERT_EQ(run.Result, 0);
  std::vector<uint32_t> waiting;
  for (uint32_t k = 0; k < NVSIntegerCount; ++k) waiting.push_back(4 * k);
  EXPECT_EQ(WaitingAtIntegerRequests(run), waiting) << "no answer is taken before the last request";
}

TEST(FWEspReadOrder, BothWaysAskTheSameAndReadTheSame) {
  const TReadRun single = ReadWithFirmware(108);
  const TReadRun batch = ReadWithFirmware(109);
  EXPECT_EQ(Commands(single), Commands(batch));
  ASSERT_EQ(Commands(batch).size(), NVSIntegerCount + 2u);
  EXPECT_EQ(Commands(batch).back(), std::string("\x85"
                                                "Es\x01",
                                                4));
  for (const TReadRun *run : {&single, &batch}) {
    const TZor_FlashVariables &c = run->Config;
    EXPECT_TRUE(c.updated);
    EXPECT_EQ(c.SerialNumber, ItemValue(nvi_SerialNumber));
    EXPECT_EQ(c.HardFeature32, ItemValue(nvi_HardFeature32));
    EXPECT_EQ(c.Customer, ItemValue(nvi_Customer));
    EXPECT_EQ(c.NickName, "zor-7");
    EXPECT_EQ(c.ReservedString1, "rs");
  }
  EXPECT_EQ(single.Config.IPAddress, batch.Config.IPAddress);
  EXPECT_EQ(single.Config.CANRxID, batch.Config.CANRxID);
  EXPECT_EQ(single.Config.PPI, batch.Config.PPI);
}

}  // namespace
}  // namespace zor
