#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "device/Zor_BaseDevice.h"
#include "device/Zor_Commands.h"
#include "foundation/CircularBuffer.h"
#include "foundation/Zor_Utils.h"
#include "platform/Zor_Sys.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

TEST(BaseDevice, NewObjectHasNoIdentity) {
  TZor_TestDevice dev;
  EXPECT_EQ(dev.GetSerialNumberValue(), 0xFFFFFFFFu);
  EXPECT_EQ(dev.GetUserID(), 255);
  EXPECT_EQ(dev.GetRegisterID(), 255);
  EXPECT_EQ(dev.GetLUMReportHeader(), 0xFFFF);
  EXPECT_EQ(dev.GetReadTimeoutMs(), 200u);
  EXPECT_EQ(dev.GetBlobNumber(), 255);
  EXPECT_EQ(dev.GetDeviceInfo(), nullptr);
  int32_t major = 0, minor = 0;
  dev.GetESPFirmwareVersion(major, minor);
  EXPECT_EQ(major, -1);
  EXPECT_EQ(minor, -1);

  dev.SetSerialNumberValue(0x12345678);
  auto info = dev.GetDeviceInfo();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->GetSerialNumber(), 0x12345678u);
  EXPECT_EQ(info->GetPeerType(), ptColdfire);
}

TEST(BaseDevice, UserIdWritesOnlySlotsOneToFour) {
  TZor_TestDevice dev;
  dev.SetCFUserID(2);
  for (int bad : {0, 5, 254}) {
    dev.SetUserID(static_cast<uint8_t>(bad));
    EXPECT_EQ(dev.GetRegisterID(), 255) << bad;
  }
  dev.SetUserID(3);
  EXPECT_EQ(dev.GetRegisterID(), 3);
  EXPECT_EQ(dev.GetUserID(), 2);  // the slot the device reports, not the requested one
}

TEST(BaseDevice, DeviceReadTakesLowEightBitsOfCountAllOrNothing) {
  TZor_TestDevice dev;
  ASSERT_TRUE(dev.Feed(std::string(50, 'x')));
  std::string got;
  EXPECT_TRUE(dev.DeviceRead(300, got));  // 300 AND 255 = 44
  EXPECT_EQ(got.size(), 44u);
  EXPECT_FALSE(dev.DeviceRead(10, got));  // only 6 left: nothing is taken
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(dev.GetBufferAmount(), 6u);

  ASSERT_TRUE(dev.Feed(Bytes({0xBF, 0x00, 0xFF})));
  std::string peeked;
  EXPECT_TRUE(dev.PeekAnsi(9, peeked));
  EXPECT_EQ(peeked.substr(6), Bytes({0xBF, 0x00, 0xFF}));  // bytes pass unchanged
  EXPECT_FALSE(dev.ConfirmPeekedData(10));
  EXPECT_TRUE(dev.ConfirmPeekedData(9));
  EXPECT_EQ(dev.GetBufferAmount(), 0u);
  EXPECT_FALSE(dev.GetPortIsOpened());
}

TEST(BaseDevice, ToolsReadAllTakesEverythingInPieces) {
  TZor_TestDevice dev;
  std::string data;
  for (int i = 0; i < 700; ++i) data += static_cast<char>(i);
  ASSERT_TRUE(dev.FeedTools(data));
  std::string piece;
  EXPECT_TRUE(dev.ToolsRead(256 + 4, piece));
  EXPECT_EQ(piece, data.substr(0, 4));
  EXPECT_EQ(dev.ToolsReadAll(), data.substr(4));
  EXPECT_EQ(dev.GetBufferAmount(), 0u);  // the receive buffer is untouched
}

// Storage answers carry the item they answer: a late or repeated answer for
// another item never passes for the one asked for.
TEST(BaseDevice, StorageAnswersAreMatchedToTheirItem) {
  TZor_TestDevice dev;
  const uint16_t serial = NVSAnswerKey('i', 0), ip = NVSAnswerKey('i', 2);
  EXPECT_EQ(NVSAnswerKey('i', 5), 0x0569);
  dev.StoreNVSAnswer(serial, "SER1");
  dev.StoreNVSAnswer(serial, "SER1");  // repeated
  dev.StoreNVSAnswer(ip, "IPIP");
  std::string value;
  EXPECT_TRUE(dev.ReadNVSAnswer(serial, 4, value));
  EXPECT_EQ(value, "SER1");
  EXPECT_TRUE(dev.ReadNVSAnswer(ip, 4, value));
  EXPECT_EQ(value, "IPIP");
  EXPECT_FALSE(dev.ReadNVSAnswer(ip, 4, value));
  EXPECT_TRUE(value.empty());

  // Without a key (older firmware) the answer comes from the tools buffer.
  dev.FeedTools("ABCDEFGH");
  EXPECT_TRUE(dev.ReadNVSAnswer(ip, 4, value));
  EXPECT_EQ(value, "ABCD");
  EXPECT_TRUE(dev.ReadNVSAnswer(ip, 0, value));
  EXPECT_EQ(value, "EFGH");

  // Clearing forgets both kinds; the buffer takes new answers at once.
  dev.FeedTools("old!");
  dev.StoreNVSAnswer(ip, "old!");
  dev.ClearToolsAnswers();
  EXPECT_FALSE(dev.ReadNVSAnswer(ip, 0, value));
  dev.FeedTools("new!");
  EXPECT_TRUE(dev.ReadNVSAnswer(ip, 0, value));
  EXPECT_EQ(value, "new!");

  // A device flooding the link keeps only the newest answers.
  for (int i = 0; i < 1000; ++i) dev.StoreNVSAnswer(serial, std::to_string(i));
  EXPECT_TRUE(dev.ReadNVSAnswer(serial, 4, value));
  EXPECT_EQ(value, "936");
}

TEST(BaseDevice, BlockingReadTimesOutOnVirtualClock) {
  platform::TZor_VirtualClock clock(1000);
  platform::TZor_ClockGuard guard(clock);
  TZor_TestDevice dev;
  std::string got;

  EXPECT_FALSE(dev.DeviceRead(4, got));
  EXPECT_EQ(clock.Ticks(), 1000u) << "a non-blocking read must not wait";

  dev.SetBlockingIO(true);
  dev.SetReadTimeoutMs(350);
  EXPECT_FALSE(dev.DeviceRead(4, got));
  EXPECT_EQ(clock.Ticks(), 1350u);
  uint8_t c = 0;
  EXPECT_FALSE(dev.PeekChar(c));
  EXPECT_EQ(clock.Ticks(), 1700u);

  // A lost link is reported instead of waiting.
  dev.SetLinkLost(true);
  EXPECT_FALSE(dev.DeviceRead(4, got));
  EXPECT_EQ(clock.Ticks(), 1700u);
  EXPECT_EQ(dev.GetErrorCode(), Zor_DeviceNotConnected);
}

TEST(BaseDevice, BlockingReadWakesOnReceiveEvent) {
  TZor_TestDevice dev;
  dev.SetBlockingIO(true);
  dev.SetReadTimeoutMs(10000);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    dev.Feed("ABCD");
  });
  auto start = std::chrono::steady_clock::now();
  std::string got;
  bool ok = dev.DeviceRead(4, got);
  auto waited = std::chrono::steady_clock::now() - start;
  writer.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(got, "ABCD");
  EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(BaseDevice, BlockingIOChangesOnlyWhileClosed) {
  TZor_TestDevice dev;
  std::string err;
  dev.OpenPort(err);
  dev.SetBlockingIO(true);
  EXPECT_FALSE(dev.GetBlockingIO());
  dev.ClosePort();
  dev.SetBlockingIO(true);
  EXPECT_TRUE(dev.GetBlockingIO());
}

TEST(BaseDevice, IdentitySettersLogOnlyOnChange) {
  TZor_LogCapture log;
  TZor_TestDevice dev(Zor_HID, ptESP, log.Id());
  dev.SetSerialNumberValue(0xAB);
  dev.SetSerialNumberValue(0xAB);
  dev.SetHardFeature(0x4001);
  dev.SetHardFeature(0x4001);
  dev.SetFirmwareVersionNumber(114);
  dev.SetFirmwareVersionNumber(114);
  dev.SetESPFirmwareVersion(2, 4);
  dev.SetESPFirmwareVersion(2, 5);
  dev.SetESPFirmwareVersion(2, 5);
  dev.SetCmdResponse(crt_mode);
  dev.SetCmdResponse(crt_mode);
  dev.SetLUMReportHeader(0x1234);
  dev.SetLUMReportHeader(0x1234);
  dev.SetLowLevelLog(true);
  dev.SetLowLevelLog(true);

  EXPECT_EQ(log.Count("TZor_BaseDevice.SetSerialNumberValue old=FFFFFFFF, new=000000AB"), 1);
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetSerialNumberValue"), 1);
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetHardFeature old=0000, new=4001"), 1);
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetFirmwareVersionNumber old=0, new=114"), 1);
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetFirmwareVersionNumber"), 1);
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetESPFirmwareVersion old=2.4 new=2.5"), 1);
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetESPFirmwareVersion"), 2);
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetCmdResponse mode"), 1);
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetLUMReportHeader: old=FFFF new=1234"), 1);
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetLowLevelLog True"), 1);

  EXPECT_TRUE(dev.GetSerialNumberRead());
  EXPECT_EQ(dev.GetFlagVersion(), 1);  // ESP firmware above 113
  dev.SetFirmwareVersionNumber(113);
  EXPECT_EQ(dev.GetFlagVersion(), 0);
  int32_t major, minor;
  dev.GetESPFirmwareVersion(major, minor);
  EXPECT_EQ(major * 10 + minor, 25);
}

TEST(BaseDevice, HardFeature32CarriesItsLowWordIntoHardFeature) {
  TZor_LogCapture log;
  TZor_TestDevice dev(Zor_HID, ptESP, log.Id());
  dev.SetHardFeature(0x0001);
  dev.SetHardFeature32(0x00020001);
  EXPECT_EQ(dev.GetHardFeature(), 0x0001);
  EXPECT_EQ(log.Count("-> HardFeature"), 0);
  dev.SetHardFeature32(0x00024002);
  EXPECT_EQ(dev.GetHardFeature32(), 0x00024002u);
  EXPECT_EQ(dev.GetHardFeature(), 0x4002);
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetHardFeature32 -> HardFeature old=0001, new=4002"), 1);
}

TEST(BaseDevice, PeerTypeIsTakenOnlyByRecordedFiles) {
  TZor_TestDevice dev(Zor_HID, ptUnknown);
  dev.SetPeerType(ptESP);
  EXPECT_EQ(dev.GetPeerType(), ptUnknown);
  dev.SetDevType(Zor_BinFile);
  dev.SetPeerType(ptESP);
  EXPECT_EQ(dev.GetPeerType(), ptESP);
}

TEST(BaseDevice, FPGAVersionGivesVendor) {
  struct Case {
    TZor_PeerType peer;
    int firmware;
    const char *version;
    TZor_FPGAType expected;
  } cases[] = {
      {ptColdfire, 80, "230815.0A", ft_MicroSemi}, {ptColdfire, 70, "230815.0A", ft_Altera},
      {ptColdfire, 80, "210815.0A", ft_Altera},    {ptESP, 50, "210815.0A", ft_MicroSemi},
      {ptColdfire, 80, "231315.0A", ft_unknown},  // month 13
      {ptColdfire, 80, "230800.0A", ft_unknown},  // day 0
      {ptColdfire, 80, "990101.00", ft_unknown},  // year in the future
      {ptColdfire, 80, "23a815.0A", ft_unknown},   {ptColdfire, 80, "230815.ZZ", ft_unknown},
      {ptColdfire, 80, "2308", ft_unknown},  // too short: no day, no code
      {ptColdfire, 80, "FFFFFF.FF", ft_unknown},
  };
  for (const Case &c : cases) {
    TZor_TestDevice dev(Zor_HID, c.peer);
    dev.SetFirmwareVersionNumber(c.firmware);
    dev.SetFFPGAVersion(c.version);
    EXPECT_EQ(dev.GetFPGAtype(), c.expected) << c.version << " fw " << c.firmware;
    EXPECT_EQ(dev.GetFPGAVersion(), c.version);
  }
}

TEST(BaseDevice, FPGAVersionLogsItsFields) {
  TZor_LogCapture log;
  TZor_TestDevice dev(Zor_HID, ptColdfire, log.Id());
  dev.SetFirmwareVersionNumber(80);
  dev.SetFFPGAVersion("231315.0A");
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetFFPGAVersion: month=13 -> 13"), 1);
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetFFPGAVersion: code=0A -> 0x0A"), 1);
  EXPECT_EQ(log.Count("TZor_BaseDevice.SetFFPGAVersion: illegal FPGA month 231315.0A"), 1);
  dev.SetFFPGAVersion("231315.0A");  // unchanged: nothing happens
  EXPECT_EQ(log.Count("illegal FPGA month"), 1);
}

TEST(BaseDevice, UserConnectedText) {
  TZor_TestDevice dev;
  dev.SetUserConnected(HexToBytes("00000002C0A801050000000000000004"));
  EXPECT_EQ(dev.GetUserConnected(), "Connected: USB     192.168.1.5     ---     Serial     ");
  dev.SetUserConnected(HexToBytes("00000003"));
  EXPECT_EQ(dev.GetUserConnected(), "");
}

TEST(BaseDevice, StartStateFromFirstTimeStamp) {
  TZor_TestDevice dev;
  dev.CheckTimeStampBytes(Bytes({0xBE, 0x08, 0x70, 0x16, 0x00, 0x00}));  // cut off
  EXPECT_EQ(dev.GetDeviceStartState(), ds_unknown);
  dev.CheckTimeStampBytes(Bytes({0x12, 0x08, 0x70, 0x16, 0x00, 0x00, 0x00, 0x01, 0xBF}));
  EXPECT_EQ(dev.GetDeviceStartState(), ds_ColdStart);
  dev.CheckTimeStampBytes(Bytes({0x08, 0x70, 0x16, 0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(dev.GetDeviceStartState(), ds_ColdStart) << "decided once";

  TZor_TestDevice warm;
  warm.CheckTimeStampBytes(Bytes({0x08, 0x70, 0x16, 0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(warm.GetDeviceStartState(), ds_WarmStart);
}

TEST(BaseDevice, ErrorStateHoldsUntilQuitError) {
  TZor_TestDevice dev;
  dev.SetSystemError(1167, "OpenPort", "The device is not connected.");
  EXPECT_EQ(dev.GetErrorCode(), Zor_System_Err);
  EXPECT_EQ(dev.GetSystemLastError(), 1167u);
  EXPECT_EQ(dev.GetErrorMessage(), "OpenPort: (1167)=The device is not connected.");

  dev.SetSystemErrorText(platform::FromErrno(ECONNRESET), "Read");
  EXPECT_EQ(dev.GetErrorMessage(),
            "Read: (10054)=An existing connection was forcibly closed by the remote host.");

  dev.QuitError();
  EXPECT_EQ(dev.GetErrorCode(), Zor_No_Err);
  EXPECT_EQ(dev.GetSystemLastError(), 0u);
  EXPECT_EQ(dev.GetErrorMessage(), "");
}

TEST(BaseDevice, PauseRunsOnVirtualClockAndColdfireWaitsForReport) {
  platform::TZor_VirtualClock clock(0xFFFFFFF0u);  // the pause spans the tick wrap
  platform::TZor_ClockGuard guard(clock);
  TZor_TestDevice cf(Zor_CDC, ptColdfire);
  TZor_TestDevice esp(Zor_HID, ptESP);
  EXPECT_EQ(cf.GetDelayNextCmdMs(), 0u);
  cf.SetDelayNextCmdMs(20);
  esp.SetDelayNextCmdMs(20);
  clock.Advance(15);
  EXPECT_EQ(cf.GetDelayNextCmdMs(), 5u);
  EXPECT_EQ(esp.GetDelayNextCmdMs(), 5u);
  clock.Advance(1000);
  EXPECT_EQ(cf.GetDelayNextCmdMs(), 1u);
  EXPECT_EQ(esp.GetDelayNextCmdMs(), 0u);
  cf.SetDelayNextCmdMs(0);
  EXPECT_EQ(cf.GetDelayNextCmdMs(), 0u);
}

TEST(BaseDevice, TransportPacingAndAwaitedResponse) {
  platform::TZor_VirtualClock clock;
  platform::TZor_ClockGuard guard(clock);
  TZor_LogCapture log;
  TZor_TestDevice esp(Zor_HID, ptESP, log.Id());

  esp.PaceNextCommand(Bytes({0x85, 0x25, 'i', 1, 0, 0, 0, 0}), true, "Link.Write");
  EXPECT_EQ(esp.GetDelayNextCmdMs(), 30u);
  EXPECT_EQ(log.Count("Link.Write NVS access -> delay next command"), 1);
  esp.PaceNextCommand(Bytes({0x85, 0x32}), true, "Link.Write");
  EXPECT_EQ(esp.GetDelayNextCmdMs(), 50u);
  esp.PaceNextCommand(Bytes({0x85, 0x32}), false, "Link.Write");  // the network keeps no such pause
  EXPECT_EQ(esp.GetDelayNextCmdMs(), 50u);

  esp.AwaitResponseTo(Bytes({0x23}), "Link.Write");
  EXPECT_EQ(esp.GetCmdResponse(), crt_interval);
  esp.SetCmdResponse(crt_none);
  esp.SetLUMReportHeader(0x0031);
  esp.AwaitResponseTo(Bytes({0x5E}), "Link.Write");
  EXPECT_EQ(esp.GetCmdResponse(), crt_none);
  EXPECT_EQ(log.Count("Link.Write invalid scrambler cmd -> no wait CmdResponse"), 1);

  TZor_TestDevice cf(Zor_CDC, ptColdfire);
  cf.AwaitResponseTo(Bytes({0x23}), "Link.Write");
  EXPECT_EQ(cf.GetCmdResponse(), crt_none);
  cf.PaceNextCommand(Bytes({0x03, 0x02}), true, "Link.Write");
  EXPECT_EQ(cf.GetDelayNextCmdMs(), 20u);
  cf.SetDelayNextCmdMs(0);
  cf.PaceNextCommand(Bytes({0x85, 0x32}), true, "Link.Write");
  EXPECT_EQ(cf.GetDelayNextCmdMs(), 0u);
}

TEST(BaseDevice, LastCommandRemembersBlockNumberOfNVSBlockRead) {
  TZor_TestDevice dev;
  dev.SetLastCommand(Bytes({0x85, 'E', 'b', 3}));
  EXPECT_EQ(dev.GetBlobNumber(), 3);
  dev.SetLastCommand(Bytes({0x85, 'E', 'b'}));  // no block number: none
  EXPECT_EQ(dev.GetBlobNumber(), 255);
  dev.SetLastCommand(Bytes({0x85, 'E', 'i', 5}));
  EXPECT_EQ(dev.GetBlobNumber(), 255);
}

TEST(BaseDevice, ContextToolReopensAnOpenPort) {
  TZor_TestDevice dev;
  dev.SetContextTool(true);
  EXPECT_EQ(dev.OpenCount, 0);  // was closed: stays closed
  std::string err;
  dev.OpenPort(err);
  dev.SetContextTool(false);
  EXPECT_EQ(dev.CloseCount, 2);
  EXPECT_EQ(dev.OpenCount, 2);
  EXPECT_FALSE(dev.GetContextTool());
  dev.SetContextTool(false);
  EXPECT_EQ(dev.CloseCount, 2);
}

TEST(BaseDevice, DemoDataSwitchClearsReceiveBuffer) {
  TZor_TestDevice dev;
  dev.Feed("abc");
  dev.SetDemoData(true);
  EXPECT_EQ(dev.GetBufferAmount(), 0u);
  EXPECT_TRUE(dev.GetReceiveBufferCleared());
  EXPECT_FALSE(dev.GetReceiveBufferCleared());
}

TEST(BaseDevice, SavesReceivedDataToFile) {
  auto path = std::filesystem::temp_directory_path() / ("zor_basedevice_Raw_" + std::to_string(::getpid()));
  TZor_TestDevice dev;
  EXPECT_FALSE(dev.StopSaveBinaryData());
  ASSERT_TRUE(dev.StartSaveBinaryData(path.string()));
  EXPECT_TRUE(dev.GetBinSaveRawData());
  dev.SaveBinaryData(
      "\x00\xFF"
      "ab",
      4);
  dev.SaveBinaryData("c", 1);
  EXPECT_TRUE(dev.StopSaveBinaryData());
  dev.SaveBinaryData("ignored", 7);
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), std::string("\x00\xFF"
                                       "abc",
                                       5));
  std::filesystem::remove(path);

  TZor_TestDevice recorded(Zor_BinFile);
  EXPECT_FALSE(recorded.StartSaveBinaryData(path.string()));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(DeviceInfo, ListKeepsOneEntryPerSerialNumber) {
  TZor_DeviceInfoList list;
  auto a = std::make_unique<TZor_DeviceInfo>();
  a->SetSerialNumber(7);
  a->SetNominalFreq(24, 10e6);
  a->SetNominalFreq(25, 1.0);
  EXPECT_EQ(a->GetNominalFreq(25), 0.0);
  EXPECT_EQ(a->GetNominalFreq(0), 0.0);
  EXPECT_EQ(list.AddInfo(a), 0);
  EXPECT_EQ(a, nullptr);

  auto b = std::make_unique<TZor_DeviceInfo>();
  b->SetSerialNumber(9);
  EXPECT_EQ(list.AddInfo(b), 1);
  auto again = std::make_unique<TZor_DeviceInfo>();
  again->SetSerialNumber(7);
  EXPECT_EQ(list.AddInfo(again, false), 0);
  EXPECT_NE(again, nullptr) << "not taken over and not to be freed";
  EXPECT_EQ(list.Count(), 2);

  TZor_DeviceInfo *found = list.GetInfo(7);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->GetNominalFreq(24), 10e6);
  EXPECT_EQ(list.GetInfo(8), nullptr);
  TZor_FormatSettings comma{',', '.'};
  std::string text = found->GetNominalFreqString(comma);
  EXPECT_EQ(text.substr(text.size() - 10), ";10000000;");
  EXPECT_EQ(std::count(text.begin(), text.end(), ';'), 24);

  found->SetNominalFreq(1, 2.5);
  EXPECT_EQ(found->GetNominalFreqString(comma).substr(0, 4), "2,5;");
}

}  // namespace
}  // namespace zor
