#include "sim/SimEsp.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/Zor_Sys.h"
#include "sim/SimFormats.h"
#include "tests/sim/SimTestUtil.h"

namespace zor {
namespace {

using simtest::BE32;
using simtest::Bytes;

std::string Image(size_t size) {
  std::string image(size, '\0');
  for (size_t i = 0; i < size; ++i) image[i] = char(i * 13 + 1);
  image[0] = char(0xE9);
  return image;
}

class SimEspTest : public ::testing::Test {
 protected:
  void Make() {
    FDev = std::make_unique<TSimEsp>(FConfig);
    FCap.Attach(*FDev);
  }
  TSimAnswer Cmd(const std::string &c) { return FDev->HandleCommand(c); }
  void Advance(uint32_t ms) {
    FClock.Advance(ms);
    FDev->Tick();
  }
  std::vector<simtest::TRecord> Records(std::vector<TSimOutputKind> *kinds = nullptr) {
    std::vector<simtest::TRecord> records;
    for (const auto &out : FCap.Take()) {
      records.push_back(simtest::ParseRecord(out.Bytes));
      EXPECT_TRUE(records.back().Valid);
      if (kinds) kinds->push_back(out.Kind);
    }
    return records;
  }
  void SendPieces(const std::string &image) {
    for (size_t off = 0; off < image.size(); off += 128)
      ASSERT_EQ(Cmd(Bytes({0x85, '&'}) + BE32(uint32_t(off)) + image.substr(off, 128)), TSimAnswer::Ok);
  }
  void Reboot() {
    Advance(FConfig.Timings.ResetDelayMs);
    ASSERT_TRUE(FDev->IsSilent());
    Advance(FConfig.Timings.RestartSilentMs);
    ASSERT_FALSE(FDev->IsSilent());
  }
  // The status word of the next status record, or -1.
  int NextStatus() {
    for (const auto &r : Records())
      if (r.Type == 0x73) return r.W;
    return -1;
  }

  platform::TZor_VirtualClock FClock{1000};
  platform::TZor_ClockGuard FGuard{FClock};
  TSimConfig FConfig = [] {
    TSimConfig c;
    c.Family = TSimFamily::Esp;
    c.FirmwareVersion = 114;
    c.UpdateFirmwareVersion = 115;
    c.HardFeature = 0x00A1;
    c.SerialNumber = 0x12AB34CD;
    c.IpAddress = 0xC0A80105;
    c.FirmwareDate = "2023-10-05";
    c.FpgaVersion = "230815.0A";
    c.Timings.TimeStampIntervalMs = 0;
    c.Timings.HeartbeatIntervalMs = 0;
    return c;
  }();
  std::unique_ptr<TSimEsp> FDev;
  simtest::TCapture FCap;
};

TEST_F(SimEspTest, CryptIsOurDocumentedTransform) {
  // Key bytes start A5 C2 DF FC: (i * 0x1D + 0xA5) mod 256.
  std::string data = Bytes({0xE9, 0x00, 0x00, 0x00});
  TSimEsp::Crypt(data);
  EXPECT_EQ(data, Bytes({0x4C, 0xC2, 0xDF, 0xFC}));
  TSimEsp::Crypt(data);
  EXPECT_EQ(data, Bytes({0xE9, 0, 0, 0}));
  // Part of an image keeps the index of its position.
  std::string tail = Bytes({0x00, 0x00, 0x00, 0x00});
  TSimEsp::Crypt(tail, 2);
  EXPECT_EQ(tail, Bytes({0x00, 0x00, 0xDF, 0xFC}));
}

TEST_F(SimEspTest, UpdateSwitchesPartitionAndBack) {
  Make();
  const std::string image = Image(300);
  SendPieces(image);
  EXPECT_EQ(FDev->ReceivedImageSize(), 300u);
  ASSERT_EQ(Cmd(Bytes({0x85, '0', 0, 0, 1, 0x2C})), TSimAnswer::Ok);
  EXPECT_EQ(NextStatus(), -1);  // the check takes a while
  Advance(FConfig.Timings.EspCheckMs);
  EXPECT_EQ(NextStatus(), simStatusReady);

  ASSERT_EQ(Cmd(Bytes({0x85, '2'})), TSimAnswer::Ok);
  EXPECT_EQ(FDev->GetFirmwareVersion(), 114);  // until the restart
  Reboot();
  EXPECT_TRUE(FDev->GetPersistent().UpdatePartitionActive);
  EXPECT_EQ(FDev->GetPersistent().UpdateImage, image);
  EXPECT_EQ(FDev->GetFirmwareVersion(), 115);

  ASSERT_EQ(Cmd(Bytes({0x85, '1'})), TSimAnswer::Ok);
  Reboot();
  EXPECT_FALSE(FDev->GetPersistent().UpdatePartitionActive);
  EXPECT_EQ(FDev->GetFirmwareVersion(), 114);
}

TEST_F(SimEspTest, WrongImagesGetNoReadyReport) {
  Make();
  SendPieces(Image(300));
  ASSERT_EQ(Cmd(Bytes({0x85, '0', 0, 0, 1, 0x2B})), TSimAnswer::Ok);  // size 299
  Advance(1000);
  EXPECT_EQ(NextStatus(), -1);
  EXPECT_EQ(Cmd(Bytes({0x85, '2'})), TSimAnswer::Refused);

  std::string noMagic = Image(256);
  noMagic[0] = 0;
  SendPieces(noMagic);
  ASSERT_EQ(Cmd(Bytes({0x85, '0', 0, 0, 1, 0})), TSimAnswer::Ok);
  Advance(1000);
  EXPECT_EQ(NextStatus(), -1);

  // Pieces must follow each other.
  EXPECT_EQ(Cmd(Bytes({0x85, '&'}) + BE32(1000) + "x"), TSimAnswer::Refused);
  EXPECT_EQ(Cmd(Bytes({0x85, '&'}) + BE32(0) + std::string(129, 'x')), TSimAnswer::Refused);
}

TEST_F(SimEspTest, EncryptedImageOverPiecesAndBlockTransfer) {
  Make();
  const std::string plain = Image(1000);
  std::string crypted = plain;
  TSimEsp::Crypt(crypted);
  SendPieces(crypted);
  ASSERT_EQ(Cmd(Bytes({0x85, 0x27, 0, 0, 0x03, 0xE8})), TSimAnswer::Ok);
  Advance(FConfig.Timings.EspCheckMs);
  EXPECT_EQ(NextStatus(), simStatusReady);
  ASSERT_EQ(Cmd(Bytes({0x85, '0', 0, 0, 0x03, 0xE8})), TSimAnswer::Ok);
  EXPECT_EQ(FDev->GetPersistent().UpdateImage, plain);

  // Block transfer with the encryption flag: the device decrypts at the end.
  ASSERT_EQ(FDev->BlockStart(1000, 0, true), TSimAnswer::Ok);
  for (size_t off = 0; off < crypted.size(); off += 440)
    ASSERT_EQ(FDev->BlockData(crypted.substr(off, 440)), TSimAnswer::Ok);
  ASSERT_EQ(FDev->BlockEnd(), TSimAnswer::Ok);
  ASSERT_EQ(Cmd(Bytes({0x85, '0', 0, 0, 0x03, 0xE8})), TSimAnswer::Ok);
  Advance(FConfig.Timings.EspCheckMs);
  EXPECT_EQ(NextStatus(), simStatusReady);

  // Short and overlong blocks are refused.
  ASSERT_EQ(FDev->BlockStart(10, 0, false), TSimAnswer::Ok);
  ASSERT_EQ(FDev->BlockData("12345"), TSimAnswer::Ok);
  EXPECT_EQ(FDev->BlockEnd(), TSimAnswer::Refused);
  ASSERT_EQ(FDev->BlockStart(4, 0, false), TSimAnswer::Ok);
  EXPECT_EQ(FDev->BlockData("12345"), TSimAnswer::Refused);
  EXPECT_EQ(FDev->BlockData("1"), TSimAnswer::Refused);
}

TEST_F(SimEspTest, ReadyReportDependsOnFirmwareAndFault) {
  FConfig.FirmwareVersion = 113;
  Make();
  SendPieces(Image(128));
  ASSERT_EQ(Cmd(Bytes({0x85, '0', 0, 0, 0, 128})), TSimAnswer::Ok);
  Advance(FConfig.Timings.EspCheckMs);
  EXPECT_EQ(NextStatus(), simStatusBufferCleared);

  TSimFaults faults;
  faults.NeverReady = true;
  FDev->SetFaults(faults);
  ASSERT_EQ(Cmd(Bytes({0x85, '0', 0, 0, 0, 128})), TSimAnswer::Ok);
  Advance(60000);
  EXPECT_EQ(NextStatus(), -1);
}

TEST_F(SimEspTest, StorageItemsSurviveRestart) {
  Make();
  ASSERT_EQ(Cmd(Bytes({0x85, '%', 'i', 6, 0x23, 0x01, 0x00, 0x80})), TSimAnswer::Ok);
  ASSERT_EQ(Cmd(Bytes({0x85, '%', 's', 0}) + "lum2-host"), TSimAnswer::Ok);
  ASSERT_EQ(Cmd(Bytes({0x85, '%', 'b', 1}) + std::string(128, 'f')), TSimAnswer::Ok);
  EXPECT_EQ(Cmd(Bytes({0x85, '%', 'i', 6, 1})), TSimAnswer::Refused);
  ASSERT_EQ(Cmd(Bytes({0x85, 'P'})), TSimAnswer::Ok);
  Reboot();

  std::vector<TSimOutputKind> kinds;
  Cmd(Bytes({0x85, 'E', 'i', 6}));
  Cmd(Bytes({0x85, 'E', 's', 0}));
  Cmd(Bytes({0x85, 'E', 'b', 1}));
  Cmd(Bytes({0x85, 'E', 'i', 5}));
  const auto records = Records(&kinds);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].Type, 0x78);
  EXPECT_EQ(records[0].W, 'i' | 6 << 8);
  EXPECT_EQ(records[0].Text(), Bytes({0x23, 0x01, 0x00, 0x80}));
  EXPECT_EQ(records[1].Text(), "lum2-host");
  EXPECT_EQ(records[2].W, 'b' | 1 << 8);
  EXPECT_EQ(records[2].Text(), std::string(128, 'f'));
  EXPECT_EQ(records[3].Text(), Bytes({0xA1, 0, 0, 0}));
  EXPECT_EQ(kinds, (std::vector{TSimOutputKind::Tools, TSimOutputKind::Tools, TSimOutputKind::Report,
                                TSimOutputKind::Tools}));

  ASSERT_EQ(Cmd(Bytes({0x85, '$'})), TSimAnswer::Ok);
  Cmd(Bytes({0x85, 'E', 'i', 6}));
  Cmd(Bytes({0x85, 'E', 's', 0}));
  const auto cleared = Records();
  ASSERT_EQ(cleared.size(), 2u);
  EXPECT_EQ(cleared[0].Text(), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(cleared[1].Text(), Bytes({0x00}));
}

TEST_F(SimEspTest, OldFirmwareAnswersStorageReadsWithToolsRecords) {
  FConfig.FirmwareVersion = 108;
  Make();
  Cmd(Bytes({0x85, 'E', 'i', 5}));
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Type, 0x71);
  EXPECT_EQ(records[0].Text(), Bytes({0xA1, 0, 0, 0}));
}

TEST_F(SimEspTest, VersionAfterConnectionStatusAndAddress) {
  Make();
  FDev->OnConnected(2);
  auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Type, 0x70);
  EXPECT_EQ(records[0].W, 0x7001);
  EXPECT_EQ(records[0].Text(), "00A1 / 12AB34CD 2 / FW: LUM2-1.14 2023-10-05 / HW: 230815.0A / IP: 0501A8C0");
  EXPECT_EQ((records[0].S >> 20) & 0xF, 1u);

  FDev->SetUser(1, TSimUserKind::Usb);
  FDev->SetUser(3, TSimUserKind::Ip, 0x0A000001);
  Cmd(Bytes({0x85, 0x42, 0x01}));
  records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Type, 0x71);
  EXPECT_EQ(records[0].Text(), Bytes({2, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 1, 0, 0, 0, 0}));

  // A new address (storage item 2) is taken at the next start.
  ASSERT_EQ(Cmd(Bytes({0x85, '%', 'i', 2, 10, 0, 0, 9})), TSimAnswer::Ok);
  EXPECT_EQ(FDev->GetIpAddress(), 0xC0A80105u);
  FDev->Restart();
  Advance(FConfig.Timings.RestartSilentMs);
  EXPECT_EQ(FDev->GetIpAddress(), 0x0A000009u);
}

TEST_F(SimEspTest, TimeStampsHeartbeatsAndCorruption) {
  FConfig.Timings.TimeStampIntervalMs = 1000;
  FConfig.Timings.HeartbeatIntervalMs = 2000;
  Make();
  Advance(2000);
  auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Type, 0x72);
  EXPECT_EQ(records[0].D, 21u);  // 100 ms units, counted from 1 at power-up
  EXPECT_EQ(records[1].Type, 0x7D);
  EXPECT_EQ(records[1].Count, 1);
  // Buffer pointers follow each other by the record size in words.
  EXPECT_EQ(records[1].S & 0x3FFFF, (records[0].S & 0x3FFFF) + 4);

  TSimFaults faults;
  faults.CorruptOutputs = -1;
  FDev->SetFaults(faults);
  Advance(1000);
  const auto outs = FCap.Take();
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_FALSE(simtest::ParseRecord(outs[0].Bytes).Valid);
}

TEST_F(SimEspTest, GarbageNeverCrashes) {
  Make();
  for (const std::string &bad :
       {Bytes({0x85}), Bytes({0x85, '0'}), Bytes({0x85, 0x27, 0, 0}), Bytes({0x85, 'E', 'q', 1}),
        Bytes({0x85, 'E'}), Bytes({0x85, '%'}), Bytes({0x85, '%', 's', 1}) + std::string(200, 's'),
        Bytes({0x85, 0x40, 0, 0, 0, 0, 4}), Bytes({0x85, '&', 0, 0})})
    EXPECT_EQ(Cmd(bad), TSimAnswer::Refused) << bad.size();
  EXPECT_EQ(FDev->BlockData("x"), TSimAnswer::Refused);
  std::mt19937 rng(7);
  const char codes[] = {'&', 0x27, '0', '1', '2', 'E', '%', '$', 0x42};
  for (int i = 0; i < 3000; ++i) {
    std::string cmd(rng() % 300, '\0');
    for (auto &c : cmd) c = char(rng());
    if (cmd.size() > 1 && i % 2) cmd[0] = char(0x85), cmd[1] = codes[rng() % sizeof codes];
    FDev->HandleCommand(cmd);
    if (i % 100 == 0) Advance(1000);
  }
  Advance(5000);
  Advance(5000);
  FCap.Take();
  FDev->OnConnected(1);
  EXPECT_EQ(Records().size(), 1u);
}

}  // namespace
}  // namespace zor
