// The answer that closes a network block transfer decides whether the device
// took the image: a device that refuses it at the end has not got the image,
// and the transfer must fail although every piece went out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "net/Zor_NetworkDevice.h"
#include "sim/SimEsp.h"
#include "tests/firmware/FW_TestEngine.h"
#include "tests/net/NetSimFixture.h"

namespace zor {
namespace {

// An ESP device whose flash write fails once the whole block has arrived.
class TFlashFailingEsp : public TSimEsp {
 public:
  using TSimEsp::TSimEsp;

 protected:
  TSimAnswer DoBlockEnd(std::string &note) override {
    note = "flash write failed";
    return TSimAnswer::Refused;
  }
};

class TBlockEngine : public TTestEngine {
 public:
  using TZorFirmwareClass::FCancelUpdate;
  using TZorFirmwareClass::FCodeCount;
  using TZorFirmwareClass::TransmitESPCode;
};

class FWEspBlockStop : public ::testing::Test {
 protected:
  void SetUp() override {
    // The same device on the same link, with the failing flash.
    auto failing = std::make_unique<TFlashFailingEsp>(FHost.Device->GetConfig());
    TSimNetLinkConfig link;
    link.ControlPort = 0;
    FHost.Link.reset();
    FHost.Device = std::move(failing);
    FHost.Link = std::make_unique<TSimNetLink>(*FHost.Device, link);
    ASSERT_TRUE(FHost.Link->Start()) << FHost.Link->GetLastErrorText();

    std::string image(4000, '\x11');
    image[0] = '\xE9';
    std::ofstream(FPath, std::ios::binary) << image;

    // A short answer wait: the device never answers a transfer cut short.
    FDevice = FHost.MakeDevice(1, false, 1000);
    FEngine.SetBaseDevice(FDevice.get());
    FEngine.FFirmwareVersion = 114;
    ASSERT_EQ(FEngine.OpenDevice(FDevice.get(), true, true), 0) << FEngine.GetOpenErrorMsg();
  }
  void TearDown() override {
    FEngine.CloseDevice(FDevice.get(), false);
    EXPECT_FALSE(FHost.Link->IsUserConnected(1));
    std::remove(FPath.c_str());
  }
  bool Finished() const {
    for (const std::string &text : FEngine.Texts(mtInfo))
      if (text.find("Transmitting user code finished") != std::string::npos) return true;
    return false;
  }

  nettest::TSimHost FHost{TSimFamily::Esp, "127.0.0.94"};
  const std::string FPath =
      (std::filesystem::temp_directory_path() / ("zor_blockstop_" + std::to_string(::getpid()) + ".bin"))
          .string();
  std::unique_ptr<TZor_NetworkDevice> FDevice;
  TBlockEngine FEngine;
};

TEST_F(FWEspBlockStop, RefusedEndOfTheBlockFailsTheTransfer) {
  EXPECT_EQ(FEngine.TransmitESPCode(FDevice.get(), FPath), fwr_WriteError);
  EXPECT_EQ(FEngine.FCodeCount, 4000u) << "every piece went out";
  EXPECT_TRUE(FEngine.HasMessage("Transmit user code failed: Blocktransfer denied: er", mtErr));
  EXPECT_FALSE(Finished());
}

TEST_F(FWEspBlockStop, CancelStaysTheResultWhenTheEndIsRefused) {
  FEngine.Services.OnProcess = [this] {
    if (FEngine.FCodeCount > 0) FEngine.FCancelUpdate = true;
  };
  EXPECT_EQ(FEngine.TransmitESPCode(FDevice.get(), FPath), fwr_Canceled);
  EXPECT_LT(FEngine.FCodeCount, 4000u);
  EXPECT_TRUE(FEngine.Texts(mtErr).empty());
  EXPECT_FALSE(Finished());
}

}  // namespace
}  // namespace zor
