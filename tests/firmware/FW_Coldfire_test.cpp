// ColdFire programming against a scripted device: the commands of each stage,
// the programmed range, the status word, cancelling, and the test panel's
// memory read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "device/Zor_ColdfireCommands.h"
#include "foundation/Zor_Utils.h"
#include "net/Zor_NetworkDevice.h"
#include "sim/SimDevice.h"
#include "tests/firmware/FW_TestEngine.h"
#include "tests/net/NetSimFixture.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

// One S3 line with a correct checksum.
std::string S3(uint32_t address, const std::string &data) {
  std::string body = Bytes({int(data.size() + 5)}) + IntToBigEndianText32(address) + data;
  unsigned sum = 0;
  for (unsigned char c : body) sum += c;
  return "S3" + BytesToHex(body + char(~sum & 0xFF)) + "\r\n";
}

class TTempFile {
 public:
  explicit TTempFile(const std::string &text)
      : FPath((std::filesystem::temp_directory_path() /
               ("zor_cf_" + std::to_string(::getpid()) + "_" + std::to_string(++FCounter) + ".s19"))
                  .string()) {
    std::ofstream(FPath, std::ios::binary) << text;
  }
  ~TTempFile() { std::remove(FPath.c_str()); }
  const std::string &Path() const { return FPath; }

 private:
  static inline int FCounter = 0;
  std::string FPath;
};

class TCFEngine : public TTestEngine {
 public:
  using TZorFirmwareClass::CheckProgrammingStatus;
  using TZorFirmwareClass::ClearCheckSumRange;
  using TZorFirmwareClass::FCancelUpdate;
  using TZorFirmwareClass::FCodeCount;
  using TZorFirmwareClass::FmaxAdr;
  using TZorFirmwareClass::FminAdr;
  using TZorFirmwareClass::InitSystemCode;
  using TZorFirmwareClass::TransmitCode;
  using TZorFirmwareClass::TransmitSystemCode;
  using TZorFirmwareClass::WaitDeviceReady;
  using TZorFirmwareClass::WriteCode;
};

class FWColdfire : public ::testing::Test {
 protected:
  void SetUp() override {
    FEngine.SetBaseDevice(&FDevice);
    FEngine.FFirmwareVersion = 50;
    FEngine.FConnectedUserString = "checked";
  }
  // The device answers a memory read of `address` with `answer`.
  void AnswerRead(uint32_t address, const std::string &answer) {
    FDevice.OnWrite = [this, address, answer](const std::string &cmd) {
      if (cmd.substr(0, 6) == CmdReadMemory(address, 4).substr(0, 6)) FDevice.FeedTools(answer);
    };
  }
  std::vector<std::string> WritesAt(uint32_t target) const {
    std::vector<std::string> out;
    for (const auto &w : FDevice.Writes())
      if (w.size() >= 6 && w.substr(0, 6) == CmdWriteMemory(target, "")) out.push_back(w.substr(6));
    return out;
  }

  platform::TZor_VirtualClock FClock;
  platform::TZor_ClockGuard FGuard{FClock};
  TZor_TestDevice FDevice{Zor_HID, ptColdfire};
  TCFEngine FEngine;
};

TEST_F(FWColdfire, UserCodeGoesToStagingRamAndReportsTheRange) {
  std::string file = "S00600004844521B\r\n";
  for (uint32_t i = 0; i < 16; ++i) file += S3(0x4000 + 16 * i, std::string(16, char(i)));
  file += "S70500004000BA\r\n";
  TTempFile image(file);

  EXPECT_EQ(FEngine.TransmitCode(&FDevice, image.Path(), false), 0);
  const auto writes = FDevice.Writes();
  ASSERT_EQ(writes.size(), 16u);
  for (uint32_t i = 0; i < 16; ++i)
    EXPECT_EQ(writes[i], CmdWriteMemory(0x30004000 + 16 * i, std::string(16, char(i))));
  EXPECT_EQ(FEngine.FminAdr, 0x4000u);
  EXPECT_EQ(FEngine.FmaxAdr, 0x40FFu);
  EXPECT_TRUE(FEngine.HasMessage("Transmitting user code finished: 0x000100 (256) Bytes", mtInfo));
}

TEST_F(FWColdfire, FilesThatMustNotBeProgrammedStopTheTransfer) {
  {
    // Flash space outside the user window rejects the file.
    TTempFile image(S3(0x4000, "AB") + S3(0x3FF0, "CD"));
    EXPECT_EQ(FEngine.TransmitCode(&FDevice, image.Path(), false), fwr_NotFirmwareFile);
    EXPECT_TRUE(FEngine.HasMessage("Transmit canceled: " + ErrorText(fwr_NotFirmwareFile), mtErr));
  }
  {
    TTempFile image(S3(0x4000, "AB") + "S3XYZ\r\n");
    EXPECT_EQ(FEngine.TransmitCode(&FDevice, image.Path(), false), fwr_FormatError);
  }
  {
    // Only records outside the flash space: nothing would be programmed.
    TTempFile image(S3(0x20000000, "AB"));
    FDevice.ClearWrites();
    EXPECT_EQ(FEngine.TransmitCode(&FDevice, image.Path(), true), fwr_NotBootloaderFile);
    EXPECT_TRUE(FDevice.Writes().empty());
  }
  EXPECT_EQ(FEngine.TransmitCode(&FDevice, "/nonexistent/zor.s19", false), fwr_FileNotFound);
  {
    TTempFile image(S3(0x4000, "AB"));
    FDevice.FailNextWrites(1, Zor_WriteError, "link gone");
    EXPECT_EQ(FEngine.TransmitCode(&FDevice, image.Path(), false), fwr_WriteError);
    EXPECT_TRUE(FEngine.HasMessage("Transmit canceled: link gone", mtErr));
  }
}

TEST_F(FWColdfire, ChecksumRangeIsClearedInSixtyFourStridedAreas) {
  EXPECT_EQ(FEngine.ClearCheckSumRange(), 0);
  const auto writes = FDevice.Writes();
  ASSERT_EQ(writes.size(), 64u);
  EXPECT_EQ(writes.front(), CmdWriteMemory(0x30004000, std::string(64, '\xFF')));
  EXPECT_EQ(writes.back(), CmdWriteMemory(0x30005F80, std::string(64, '\xFF')));
}

TEST_F(FWColdfire, SystemCodeAndParametersGoToInternalRam) {
  EXPECT_EQ(FEngine.TransmitSystemCode(), 0);
  const auto writes = FDevice.Writes();
  ASSERT_FALSE(writes.empty());
  for (const auto &w : writes) {
    const uint32_t address = *BigEndianTextToInt32(w, 2);
    EXPECT_GE(address, 0x2000F700u);
    EXPECT_LT(w.size(), 128u);
  }
  EXPECT_GT(FEngine.FCodeCount, 0u);

  FDevice.ClearWrites();
  EXPECT_EQ(FEngine.InitSystemCode(&FDevice, IntToBigEndianText32(0x30004000),
                                   IntToBigEndianText32(0x300040FF), IntToBigEndianText32(0x4000)),
            0);
  EXPECT_EQ(FDevice.Writes(), (std::vector<std::string>{
                                  CmdWriteMemory(0x2000F604, IntToBigEndianText32(0x30004000)),
                                  CmdWriteMemory(0x2000F608, IntToBigEndianText32(0x300040FF)),
                                  CmdWriteMemory(0x2000F60C, IntToBigEndianText32(0x4000)),
                              }));
}

TEST_F(FWColdfire, OverlongWriteIsRefusedWithoutSending) {
  EXPECT_EQ(FEngine.WriteCode(&FDevice, 0x4000, std::string(122, 'x'), 0), fwr_InvalidParameter);
  EXPECT_TRUE(FDevice.Writes().empty());
  EXPECT_EQ(FEngine.WriteCode(&FDevice, 0x4000, std::string(121, 'x'), 0), 0);
}

TEST_F(FWColdfire, CancelDuringSystemCodeShowsNoCompletion) {
  FEngine.Services.OnProcess = [this] {
    if (FDevice.Writes().size() == 2) FEngine.FCancelUpdate = true;
  };
  EXPECT_EQ(FEngine.TransmitSystemCode(), fwr_Canceled);
  EXPECT_TRUE(FEngine.HasMessage("Canceled by user", mtInfo));
  for (const auto &text : FEngine.Texts(mtInfo)) EXPECT_EQ(text.find("finished"), std::string::npos) << text;
}

TEST_F(FWColdfire, SystemCodeWriteFailureIsAWriteErrorWhateverTheDeviceSays) {
  FDevice.FailNextWrites(1, Zor_WriteError, "link gone");
  EXPECT_EQ(FEngine.TransmitSystemCode(), fwr_WriteError);
  EXPECT_EQ(FEngine.Texts(mtErr),
            std::vector<std::string>{"Transmit canceled: " + ErrorText(fwr_WriteError)});
  for (const auto &text : FEngine.Texts(mtInfo)) EXPECT_EQ(text.find("finished"), std::string::npos) << text;
}

TEST_F(FWColdfire, ProgrammingStatusWord) {
  struct TCase {
    uint32_t Value;
    int Result;
    const char *Text;
  } cases[] = {{0x30, fwr_ProgrammingFailed, "Verify failed"},
               {0x02, fwr_ProgrammingFailed, "Erase Block0 failed as flash is protected"},
               {0x00, 0, "Programming successful"},
               {0x01, 0, "Programming successful"}};
  for (const TCase &c : cases) {
    AnswerRead(0x2000F614, IntToBigEndianText32(c.Value));
    EXPECT_EQ(FEngine.CheckProgrammingStatus(&FDevice), c.Result) << c.Text;
    EXPECT_EQ(FEngine.Messages.back().first, c.Text);
  }
  FDevice.OnWrite = nullptr;
  EXPECT_EQ(FEngine.CheckProgrammingStatus(&FDevice), fwr_ReadError);
  EXPECT_EQ(FEngine.Messages.back().first, "Error reading programming status: nothing received");
}

TEST_F(FWColdfire, TestPanelMemoryRead) {
  AnswerRead(0x2000F614, "\xDE\xAD\xBE\xEF");
  EXPECT_EQ(FEngine.TestFunction(4, "$2000F614 4"), 0);
  EXPECT_TRUE(FEngine.HasMessage("Gelesen: DEADBEEF", mtInfo));
  int reads = 0;
  for (const auto &w : FDevice.Writes()) reads += w == CmdReadMemory(0x2000F614, 4);
  EXPECT_EQ(reads, 1);
  EXPECT_FALSE(FDevice.GetPortIsOpened());

  EXPECT_EQ(FEngine.TestFunction(4, "$2000F614 200"), fwr_InvalidParameter);
  EXPECT_TRUE(FEngine.HasMessage("Fehler bei TestReadLänge: zu lang 200", mtErr));
  EXPECT_EQ(FEngine.TestFunction(4, "$2000G614 4"), fwr_InvalidParameter);
  EXPECT_EQ(FEngine.Texts(mtErr).back().rfind("Fehler bei TestReadAdresse: ", 0), 0u);
  EXPECT_EQ(FEngine.TestFunction(4, "$2000F614"), fwr_InvalidParameter);
}

// The boot-loader test programs the cleared checksum range and starts the
// programmer; a device that is not found again afterwards fails the test.
TEST_F(FWColdfire, TestPanelBootloaderProgramsTheChecksumRange) {
  FDevice.SetSerialNumberValue(0x1234);
  EXPECT_EQ(FEngine.TestFunction(5, ""), fwr_DeviceMissing);
  const auto writes = FDevice.Writes();
  const auto start = std::find(writes.begin(), writes.end(), CmdStartProgramming());
  ASSERT_NE(start, writes.end());
  ASSERT_GE(start - writes.begin(), 67);
  EXPECT_EQ(std::vector<std::string>(start - 3, start),
            (std::vector<std::string>{CmdWriteMemory(0x2000F604, IntToBigEndianText32(0x30004004)),
                                      CmdWriteMemory(0x2000F608, IntToBigEndianText32(0x30004FFF)),
                                      CmdWriteMemory(0x2000F60C, IntToBigEndianText32(0x4004))}));
  EXPECT_EQ(WritesAt(0x30004000).size(), 1u);
  EXPECT_EQ(WritesAt(0x30005F80).size(), 1u);
  EXPECT_TRUE(FEngine.HasMessage("Programming failed: " + ErrorText(fwr_DeviceMissing), mtErr));
  EXPECT_EQ(FEngine.GetBaseDevice(), nullptr);

  // Over the network the test is refused before the device is opened.
  TZor_NetworkDevice net{-1, 0, nullptr, false, "127.0.0.9"};
  FEngine.SetBaseDevice(&net);
  EXPECT_EQ(FEngine.TestFunction(5, ""), 0);
  EXPECT_TRUE(FEngine.HasMessage("Test Bootloader denied: USB connection needed", mtErr));
}

TEST_F(FWColdfire, RamRestoreWritesRoutineThenRunsItAndDropsTheDevice) {
  EXPECT_EQ(FEngine.DoCopyFlashToRAM(), 0);
  const auto writes = FDevice.Writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].substr(0, 6), CmdWriteMemory(0x2000FE00, ""));
  EXPECT_EQ(writes[0].size(), 36u);
  EXPECT_EQ(writes[1], CmdWriteMemory(0x2000F700, Bytes({0x4E, 0xF9, 0x20, 0x00, 0xFE, 0x00})));
  EXPECT_EQ(writes[2], CmdRun());
  EXPECT_EQ(FEngine.GetBaseDevice(), nullptr);
  EXPECT_FALSE(FDevice.GetPortIsOpened());
}

}  // namespace
}  // namespace zor

namespace zor {
namespace {

// The whole programming path over the network against the simulated device:
// staged image, system code, parameters, start, restart, and the flash that
// results.
TEST(FWColdfireRoundTrip, ImageEndsUpInFlashAfterTheRestart) {
  nettest::TSimHost host(TSimFamily::Coldfire, "127.0.0.71");
  std::unique_ptr<TZor_NetworkDevice> device = host.MakeDevice(1);
  TCFEngine engine;
  engine.SetBaseDevice(device.get());
  std::string code;
  std::string file;
  for (uint32_t i = 0; i < 8; ++i) {
    const std::string data(32, char(0x40 + i));
    code += data;
    file += S3(0x4000 + 32 * i, data);
  }
  TTempFile image(file);

  ASSERT_EQ(engine.OpenDevice(device.get(), true, true), 0) << engine.GetOpenErrorMsg();
  ASSERT_EQ(engine.ClearCheckSumRange(), 0);
  ASSERT_EQ(engine.TransmitCode(device.get(), image.Path(), false), 0);
  ASSERT_EQ(engine.TransmitSystemCode(), 0);
  ASSERT_EQ(engine.InitSystemCode(device.get(), IntToBigEndianText32(engine.FminAdr | 0x30000000),
                                  IntToBigEndianText32(engine.FmaxAdr | 0x30000000),
                                  IntToBigEndianText32(engine.FminAdr)),
            0);
  ASSERT_EQ(engine.WriteDevice(device.get(), CmdStartProgramming()), 0);
  EXPECT_EQ(engine.WaitDeviceReady(0xFFFFFFFF, false), 0);
  EXPECT_TRUE(engine.GetZustandNachReset());
  EXPECT_EQ(host.Device->GetPersistent().Flash.substr(0x4000, code.size()), code);
}

}  // namespace
}  // namespace zor
