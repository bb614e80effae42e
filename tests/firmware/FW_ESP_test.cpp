// ESP image transfer over USB against a scripted device: pieces and offsets,
// decryption of encrypted images, the ready condition by firmware version,
// cancelling, and the partition switch's refusal of other devices.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "device/Zor_ColdfireCommands.h"
#include "foundation/CircularBuffer.h"
#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"
#include "sim/SimDevice.h"
#include "sim/SimFormats.h"
#include "tests/firmware/FW_TestEngine.h"
#include "tests/net/NetSimFixture.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

// An image the device accepts: it starts with the image magic byte.
std::string ImageBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = char(i * 7);
  if (size > 0) bytes[0] = '\xE9';
  return bytes;
}

class TImageFile {
 public:
  TImageFile(const std::string &name, size_t size) {
    const auto dir = std::filesystem::temp_directory_path() / ("zor_esp_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    FPath = (dir / name).string();
    std::ofstream(FPath, std::ios::binary) << ImageBytes(size);
  }
  ~TImageFile() { std::remove(FPath.c_str()); }
  const std::string &Path() const { return FPath; }

 private:
  std::string FPath;
};

class TEspEngine : public TTestEngine {
 public:
  using TZorFirmwareClass::FCancelUpdate;
  using TZorFirmwareClass::FCodeCount;
  using TZorFirmwareClass::TransmitESPCode;
  using TZorFirmwareClass::WaitESPReady;
};

std::string ReadyRecord() {
  TSimRecordHead head;
  head.Type = simRecStatus;
  head.W = simStatusReady;
  return SimRecord(head, "");
}

class FWEsp : public ::testing::Test {
 protected:
  void SetUp() override {
    FEngine.SetBaseDevice(&FDevice);
    FEngine.FFirmwareVersion = 114;
  }
  std::vector<std::string> Pieces() const {
    std::vector<std::string> out;
    for (const auto &w : FDevice.Writes())
      if (w.size() >= 6 && w[0] == '\x85' && w[1] == '&') out.push_back(w);
    return out;
  }

  platform::TZor_VirtualClock FClock;
  platform::TZor_ClockGuard FGuard{FClock};
  TZor_TestDevice FDevice{Zor_CDC, ptESP};
  TEspEngine FEngine;
};

TEST_F(FWEsp, ImageIsSentInPiecesWithTheirOffsets) {
  TImageFile image("fw.bin", 300);
  EXPECT_EQ(FEngine.TransmitESPCode(&FDevice, image.Path()), 0);
  const auto pieces = Pieces();
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(*BigEndianTextToInt32(pieces[0], 2), 0u);
  EXPECT_EQ(*BigEndianTextToInt32(pieces[1], 2), 128u);
  EXPECT_EQ(*BigEndianTextToInt32(pieces[2], 2), 256u);
  EXPECT_EQ(pieces[2].size(), 6u + 44u);
  EXPECT_EQ(pieces[1].substr(6, 1), std::string(1, char(128 * 7)));
  EXPECT_EQ(FEngine.FCodeCount, 300u);
  EXPECT_EQ(CmdStartProgramming(FEngine.FCodeCount), Bytes({0x85, '0', 0, 0, 1, 0x2C}));
  EXPECT_EQ(FDevice.Writes().size(), 3u) << "a plain image is not decrypted";
  EXPECT_TRUE(FEngine.HasMessage("Transmitting user code finished: 0x00012C (300 Bytes)", mtInfo));

  TImageFile empty("empty.bin", 0);
  FDevice.ClearWrites();
  EXPECT_EQ(FEngine.TransmitESPCode(&FDevice, empty.Path()), 0);
  EXPECT_TRUE(FDevice.Writes().empty());
  EXPECT_EQ(FEngine.FCodeCount, 0u);

  EXPECT_EQ(FEngine.TransmitESPCode(&FDevice, "/nonexistent/fw.bin"), fwr_FileNotFound);
}

TEST_F(FWEsp, EncryptedImageIsDecryptedAndAwaitedBeforeCompletion) {
  // "_Blow" counts in the file name, not in the directory.
  TImageFile image("fw_Blow.bin", 300);
  FDevice.OnWrite = [this](const std::string &cmd) {
    if (cmd == CmdDecryptImage(300)) FDevice.Feed(ReadyRecord());
  };
  EXPECT_EQ(FEngine.TransmitESPCode(&FDevice, image.Path()), 0);
  const auto writes = FDevice.Writes();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes.back(), CmdDecryptImage(300));
  const int decrypt = FEngine.IndexOf("Decrypting user code...");
  const int done = FEngine.IndexOf("Transmitting user code finished: 0x00012C (300 Bytes)");
  ASSERT_GE(decrypt, 0);
  EXPECT_GT(done, decrypt);
}

TEST_F(FWEsp, CancelDuringEncryptedTransferSendsNoDecrypt) {
  TImageFile image("fw_Blow.bin", 1000);
  FEngine.Services.OnProcess = [this] {
    if (FDevice.Writes().size() == 2) FEngine.FCancelUpdate = true;
  };
  EXPECT_EQ(FEngine.TransmitESPCode(&FDevice, image.Path()), fwr_Canceled);
  EXPECT_EQ(FDevice.Writes().size(), 2u);
  EXPECT_TRUE(FEngine.HasMessage("Canceled by user", mtInfo));
}

TEST_F(FWEsp, FailedPieceStopsTheTransfer) {
  TImageFile image("fw.bin", 300);
  FDevice.OnWrite = [this](const std::string &) {
    if (FDevice.Writes().size() == 1) FDevice.FailNextWrites(1, Zor_WriteError, "gone");
  };
  EXPECT_EQ(FEngine.TransmitESPCode(&FDevice, image.Path()), fwr_WriteError);
  EXPECT_EQ(FDevice.Writes().size(), 1u);
  EXPECT_TRUE(FEngine.HasMessage("Transmit canceled: gone", mtErr));
}

TEST_F(FWEsp, ReadyConditionDependsOnFirmware) {
  // Firmware 113: the restarted data stream is the ready sign.
  FEngine.FFirmwareVersion = 113;
  auto restartStream = [this] {
    FDevice.Feed("old");
    FDevice.GetReceiveBuffer().Clear();
  };
  FEngine.Services.OnProcess = [&] {
    if (FEngine.Services.Processed == 3) restartStream();
  };
  const uint32_t start = platform::GetTicks();
  EXPECT_EQ(FEngine.WaitESPReady(&FDevice), 0);
  EXPECT_LT(platform::TicksSince(start), 5000u);

  // Firmware 114: only the ready report counts.
  FEngine.FFirmwareVersion = 114;
  const int processed = FEngine.Services.Processed;
  FEngine.Services.OnProcess = [this, processed] {
    if (FEngine.Services.Processed == processed + 10) FDevice.Feed(ReadyRecord());
  };
  EXPECT_EQ(FEngine.WaitESPReady(&FDevice), 0);

  // Nothing for a minute.
  FEngine.Services.OnProcess = nullptr;
  EXPECT_EQ(FEngine.WaitESPReady(&FDevice), fwr_ProgrammingFailed);
  EXPECT_TRUE(FEngine.HasMessage("Programming failed: No response", mtErr));
}

// A virtual COM port in tools mode delivers only what the engine reads:
// the ready report that is there 100 ms after the start is found at once,
// not when a wait for data nobody delivers has run out.
TEST_F(FWEsp, ReadyReportOfAPortReadOnDemandIsTakenWhenItIsThere) {
  FDevice.SetContextTool(true);
  const uint32_t start = platform::GetTicks();
  bool sent = false;
  FEngine.Services.OnProcess = [&] {
    if (!sent && platform::TicksSince(start) >= 100) sent = FDevice.Feed(ReadyRecord());
  };
  EXPECT_EQ(FEngine.WaitESPReady(&FDevice), 0);
  EXPECT_TRUE(sent);
  EXPECT_LT(platform::TicksSince(start), 200u);
}

// Below firmware 114 the restarted data stream is the ready sign. A fast
// device restarts it at once after the command, before the wait begins: that
// mark counts; one from before the command does not.
TEST_F(FWEsp, ReadyMarkBelow114CountsFromTheCommandOn) {
  FEngine.FFirmwareVersion = 113;
  TImageFile image("fw_Blow.bin", 300);
  auto restartStream = [this] {
    FDevice.Feed("old");
    FDevice.GetReceiveBuffer().Clear();
  };
  FDevice.OnWrite = [&](const std::string &cmd) {
    if (cmd == CmdDecryptImage(300)) restartStream();
  };
  restartStream();
  uint32_t start = platform::GetTicks();
  EXPECT_EQ(FEngine.TransmitESPCode(&FDevice, image.Path()), 0);
  EXPECT_LT(platform::TicksSince(start), 1000u);

  // Only the mark from before the command: no ready sign within the minute.
  FDevice.OnWrite = nullptr;
  restartStream();
  start = platform::GetTicks();
  EXPECT_EQ(FEngine.TransmitESPCode(&FDevice, image.Path()), fwr_ProgrammingFailed);
  EXPECT_GE(platform::TicksSince(start), 60000u);
}

// A device that keeps restarting its stream never sends the ready report:
// the minute is counted on the clock however each round ends.
TEST_F(FWEsp, ReadyWaitEndsAfterAMinuteWhateverArrives) {
  FEngine.FFirmwareVersion = 114;
  FEngine.Services.OnProcess = [this] {
    FDevice.Feed("x");
    FDevice.GetReceiveBuffer().Clear();
    FClock.Advance(10);
  };
  const uint32_t start = platform::GetTicks();
  EXPECT_EQ(FEngine.WaitESPReady(&FDevice), fwr_ProgrammingFailed);
  EXPECT_GE(platform::TicksSince(start), 60000u);
  EXPECT_LT(platform::TicksSince(start), 61000u);
}

TEST_F(FWEsp, FactorySwitchOnlyForEspDevices) {
  TZor_TestDevice coldfire{Zor_HID, ptColdfire};
  FEngine.SetBaseDevice(&coldfire);
  EXPECT_EQ(FEngine.SwitchFactoryPartition(), fwr_InvalidParameter);
  EXPECT_EQ(coldfire.OpenCount, 0);
}

}  // namespace
}  // namespace zor

namespace zor {
namespace {

// Over the network the image travels with the block transfer; the simulated
// device checks it after the start command and reports that it is ready.
TEST(FWEspRoundTrip, BlockTransferIntoTheUpdatePartition) {
  nettest::TSimHost host(TSimFamily::Esp, "127.0.0.72");
  std::unique_ptr<TZor_NetworkDevice> device = host.MakeDevice(1);
  TEspEngine engine;
  engine.SetBaseDevice(device.get());
  engine.FFirmwareVersion = 114;
  TImageFile image("lum2.bin", 5000);

  ASSERT_EQ(engine.OpenDevice(device.get(), true, true), 0) << engine.GetOpenErrorMsg();
  ASSERT_EQ(engine.TransmitESPCode(device.get(), image.Path()), 0);
  ASSERT_EQ(engine.WriteDevice(device.get(), CmdStartProgramming(engine.FCodeCount)), 0);
  EXPECT_EQ(engine.WaitESPReady(device.get()), 0);
  const TSimPersistent state = host.Device->GetPersistent();
  EXPECT_TRUE(state.UpdateImageValid);
  EXPECT_TRUE(state.UpdateImage == ImageBytes(5000)) << state.UpdateImage.size();

  // Larger than one block: refused before any piece is sent.
  TImageFile huge("huge.bin", TZor_NetworkDevice::MaxBlockLength + 1);
  EXPECT_EQ(engine.TransmitESPCode(device.get(), huge.Path()), fwr_WriteError);
  EXPECT_TRUE(engine.HasMessage("Transmit user code failed at 0=(0x0): BLOCK too large (1.048.577)", mtErr));
  engine.CloseDevice(device.get(), false);
}

}  // namespace
}  // namespace zor
