// The network device object against the in-process simulator on loopback:
// wire formats, opening in stream and tools mode, commands and answers, the
// data channel, block transfer and closing.
#include <gtest/gtest.h>

#include "NetSimFixture.h"
#include "device/Zor_CDCBlockData.h"
#include "device/Zor_ColdfireCommands.h"
#include "device/Zor_Report.h"
#include "foundation/CircularBuffer.h"
#include "net/Zor_NetworkDevice.h"
#include "platform/Zor_Tcp.h"

using namespace zor;
using namespace zor::nettest;

namespace {

// Opens the protected parts that a test feeds directly.
class TProbeDevice : public TZor_NetworkDevice {
 public:
  using TZor_NetworkDevice::BeginHardFeatureRequest;
  using TZor_NetworkDevice::FIgnoreDataUntilStreamInterrupted;
  using TZor_NetworkDevice::FisReconnected;
  using TZor_NetworkDevice::FReadHardFeatureRequested;
  using TZor_NetworkDevice::FremainingData;
  using TZor_NetworkDevice::ServerExecute_CDC;
  using TZor_NetworkDevice::ServerExecute_ESP;
  using TZor_NetworkDevice::TZor_NetworkDevice;
  void SetPeer(TZor_PeerType peer) { FPeerType = peer; }
};

std::string BE32(uint32_t v) { return IntToBigEndianText32(v); }

// A CDC block: header words and a body of `size` bytes with the payload at 0.
std::string CdcBlock(const std::string &payload, uint32_t size, uint32_t flags, uint32_t writePtr,
                     uint32_t repeat) {
  std::string block = BE32(cCDCMagic) + BE32(size) + BE32(static_cast<uint32_t>(payload.size())) + BE32(0) +
                      BE32(flags) + BE32(writePtr) + BE32(repeat) + BE32(0);
  std::string body = payload;
  body.resize(size, '\0');
  return block + body;
}

std::string LE(uint32_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

// A transmit report: header and `values` (padded to whole 8-byte values).
std::string Record(uint8_t type, uint16_t word, uint8_t user, std::string values) {
  values.resize((values.size() + 7) / 8 * 8, '\0');
  return "LUM2" + std::string(1, static_cast<char>(type)) +
         std::string(1, static_cast<char>(values.size() / 8)) + LE(word, 2) + LE(0, 4) +
         LE(uint32_t(user - 1) << 20, 4) + values;
}

std::string Receive(TZor_BaseDevice &d) {
  uint32_t amount = d.GetReceiveBuffer().GetAmount();
  return d.GetReceiveBuffer().ReadAnsiString(amount);
}

}  // namespace

TEST(NetworkDeviceWire, RequestsCarryUserSlotAddressAndPort) {
  TZor_NetworkDevice d(-1, 0, nullptr, true, "127.0.0.1");
  d.SetServerIP("192.168.1.20");
  d.SetServerPort(0x1234);
  std::string text;
  // No user slot requested: the user field is a blank.
  EXPECT_EQ(d.BuildRequest("CONNECT", text), std::string("CONNECT \xC0\xA8\x01\x14:\x12\x34\r\n", 17));
  EXPECT_EQ(text,
            "CONNECT C0A80114"
            "3A1234");
  d.SetUserID(3);
  EXPECT_EQ(d.BuildRequest("CONNECT", text).substr(0, 8), "CONNECT2");

  std::string cmd(255, 'x');
  std::string frame = d.BuildCmdRequest(cmd, text);
  ASSERT_EQ(frame.size(), 17u + 255u);
  EXPECT_EQ(frame.substr(0, 8), "CMD.... ");
  EXPECT_EQ(static_cast<uint8_t>(frame[16]), 0xFF);

  std::string block = d.BuildBlockRequest(1048576, 7, true, text);
  EXPECT_EQ(block, std::string("BLO.... \xC0\xA8\x01\x14:\x12\x34 \x00\x00\x10\x00\x07\x00\x00\x00", 24));
  EXPECT_EQ(text, "BLO.... C0A801143A1234 1048576 7");
  EXPECT_EQ(d.BuildBlockRequest(1, 0, false, text).substr(0, 8), "BLK.... ");

  // The port is fixed by the first open; a later, different one is refused.
  d.SetServerPort(0x4321);
  EXPECT_EQ(d.GetServerPort(), 0x1234);
}

TEST(NetworkDeviceWire, SocketErrorsBecomeUserTexts) {
  EXPECT_EQ(SocketErrorText(10054, "x"), "No connection to network device");
  EXPECT_EQ(SocketErrorText(10060, "x"), "No connection to network device");
  EXPECT_EQ(SocketErrorText(10061, "x"), "No connection to network device");
  EXPECT_EQ(SocketErrorText(10065, "x"), "No connection to network");
  EXPECT_EQ(SocketErrorText(11001, "Host not found"), "NetworkDevice.SocketError(11001): Host not found");
  EXPECT_EQ(MissingDisconnectEntry(1, 0xAB), "UserID=1Port=00AB");
}

// ---- data channel fed directly ----------------------------------------------------------

TEST(NetworkDeviceData, CdcBlocksSplitRepeatedAndAfterReconnect) {
  TProbeDevice d(-1, 0, nullptr, true, "127.0.0.1");
  d.SetPeer(ptColdfire);
  const uint32_t wp = 0x00020000;  // user slot 2
  std::string b1 = CdcBlock("AAAA", 64, cdc_RepeatAddr, wp, 0x100);
  std::string b2 = CdcBlock("BBBB", 64, cdc_RepeatAddr, wp, 0x104);

  // A block cut inside its body waits for the rest.
  std::string chunk = b1.substr(0, 40);
  d.ServerExecute_CDC(chunk);
  EXPECT_EQ(d.FremainingData.size(), 40u);
  EXPECT_EQ(Receive(d), "");
  std::string rest = d.FremainingData + b1.substr(40) + b2;
  d.FremainingData.clear();
  d.ServerExecute_CDC(rest);
  EXPECT_EQ(Receive(d), "AAAABBBB");
  EXPECT_EQ(d.GetUserID(), 2);

  // The same block twice in a row: the copy is dropped and flagged.
  std::string again = b2;
  d.ServerExecute_CDC(again);
  EXPECT_EQ(Receive(d), "");
  EXPECT_EQ(d.GetErrorFlags() & 1, 1);

  // After a reconnect: the last block repeated is dropped, a fitting one taken.
  d.FisReconnected = true;
  std::string repeated = CdcBlock("BBBB", 64, cdc_RepeatAddr | 0x100, wp, 0x104);
  d.ServerExecute_CDC(repeated);
  EXPECT_EQ(Receive(d), "");
  d.FisReconnected = true;
  std::string fits = CdcBlock("CCCC", 64, cdc_RepeatAddr, wp, 0x108);
  d.ServerExecute_CDC(fits);
  EXPECT_EQ(Receive(d), "CCCC");
  EXPECT_EQ(d.GetErrorCode(), Zor_No_Err);

  // Any other block after a reconnect means lost data.
  d.FisReconnected = true;
  std::string lost = CdcBlock("DDDD", 64, cdc_RepeatAddr, wp, 0x500);
  d.ServerExecute_CDC(lost);
  EXPECT_EQ(d.GetErrorCode(), Zor_Err_Reconnected);
  EXPECT_EQ(d.GetErrorMessage(), "Data lost! Data transfer restarted");
}

// Data connections made to the data server from the device's address, as the
// device would: a new connection starts on a unit boundary, and a superseded
// connection no longer feeds the buffers.
TEST(NetworkDeviceData, SecondDataConnectionStartsOnAUnitBoundary) {
  const std::string ip = "127.0.3.20";
  TZor_NetworkDevice d(-1, 0, nullptr, true, ip);
  ASSERT_TRUE(d.StartServer());
  auto connect = [&] {
    auto c = std::make_unique<platform::TZor_TcpClient>(ip, d.GetServerPort());
    c->SetBindAddress(ip);
    EXPECT_TRUE(c->Connect()) << c->GetLastErrorText();
    return c;
  };
  const uint32_t wp = 0x00010000;
  std::string b1 = CdcBlock("AAAA", 64, 0, wp, 0);
  std::string b2 = CdcBlock("BBBB", 64, 0, wp + 4, 0);
  std::string b3 = CdcBlock("CCCC", 64, 0, wp + 8, 0);
  std::string received;
  auto arrived = [&](const std::string &expected) {
    return WaitUntil([&] {
      received += Receive(d);
      return received.size() >= expected.size();
    }) && received == expected;
  };

  auto first = connect();
  ASSERT_TRUE(first->Write(b1 + b2.substr(0, 40)));  // ends inside a block
  ASSERT_TRUE(arrived("AAAA"));
  auto second = connect();
  ASSERT_TRUE(second->Write(b3));
  EXPECT_TRUE(arrived("AAAACCCC")) << BytesToHex(received);
  // The rest of the first connection's block belongs to no unit any more.
  ASSERT_TRUE(first->Write(b2.substr(40)));
  first->Disconnect();
  ASSERT_TRUE(second->Write(b2 + b2 + b3));  // a repeated block is dropped
  EXPECT_TRUE(arrived("AAAACCCCBBBBCCCC")) << BytesToHex(received);
  // A device may begin a new connection with the block it last sent: that
  // is no repeat.
  auto third = connect();
  ASSERT_TRUE(third->Write(b3));
  EXPECT_TRUE(arrived("AAAACCCCBBBBCCCCCCCC")) << BytesToHex(received);
  second->Disconnect();
  third->Disconnect();
  d.StopServer();
}

TEST(NetworkDeviceData, GarbageAndImpossibleHeadersAreSkipped) {
  TProbeDevice d(-1, 0, nullptr, true, "127.0.0.1");
  d.SetPeer(ptColdfire);
  // A header with the magic but a byte count beyond its size, then a good block.
  std::string bad = BE32(cCDCMagic) + BE32(16) + BE32(64) + std::string(20, '\0');
  std::string good = CdcBlock("OK", 16, 0, 0x00000000, 0x10);
  std::string stream = "junk" + bad + good;
  d.ServerExecute_CDC(stream);
  EXPECT_EQ(Receive(d), "OK");
  EXPECT_TRUE(d.FremainingData.empty());
  // A tools block goes to the tools buffer, not the receive buffer.
  std::string tools = CdcBlock("TOOL", 16, cdc_ToolsData, 0, 0x20);
  d.ServerExecute_CDC(tools);
  EXPECT_EQ(d.ToolsReadAll(), "TOOL");
  EXPECT_EQ(Receive(d), "");
}

TEST(NetworkDeviceData, EspRecordsSplitResynchronisedAndHardFeature) {
  TProbeDevice d(-1, 0, nullptr, true, "127.0.0.1");
  d.SetPeer(ptESP);
  std::string m1 = Record(0x10, 0x1234, 2, std::string(16, 'm'));
  std::string m2 = Record(0x10, 0x1235, 2, std::string(8, 'n'));
  // Cut inside the first record, then garbage between the two.
  std::string part = m1.substr(0, 10);
  d.ServerExecute_ESP(part);
  EXPECT_EQ(d.FremainingData, m1.substr(0, 10));
  std::string rest = d.FremainingData + m1.substr(10) + "xyz!" + m2;
  d.FremainingData.clear();
  d.ServerExecute_ESP(rest);
  EXPECT_EQ(Receive(d), m1 + m2);
  EXPECT_EQ(d.GetUserID(), 2);

  // While the hardware feature is asked for, its answer (NVS integer 5) is
  // taken, not stored; otherwise such an answer is tools data.
  // Any other NVS answer meanwhile is a tools answer as always, kept under
  // its item: a repeated one is not taken for the next item asked for.
  d.FReadHardFeatureRequested = true;
  std::string serial = Record(0x78, 'i', 2, std::string("\x04\x21\x43\0\0", 5));
  d.ServerExecute_ESP(serial);
  d.ServerExecute_ESP(serial);
  std::string answer;
  EXPECT_TRUE(d.ReadNVSAnswer(NVSAnswerKey('i', 0), 4, answer));
  EXPECT_EQ(answer, std::string("\x21\x43\0\0", 4));
  EXPECT_FALSE(d.ReadNVSAnswer(NVSAnswerKey('i', 1), 4, answer)) << "the repeat belongs to item 0";
  EXPECT_EQ(d.ToolsReadAll(), "");
  EXPECT_TRUE(d.FReadHardFeatureRequested);
  std::string hf = Record(0x78, 'i' | (5 << 8), 2, std::string("\x04\x78\x56\x34\x12", 5));
  d.ServerExecute_ESP(hf);
  EXPECT_EQ(d.GetHardFeature32(), 0x12345678u);
  EXPECT_EQ(Receive(d), "");
  // Below firmware 109 the answer is a tools record; it is not handed on as one.
  d.SetFirmwareVersionNumber(108);
  d.FReadHardFeatureRequested = true;
  std::string hfq = Record(0x71, 0, 2, std::string("\x04\x11\x22\x33\x00", 5));
  d.ServerExecute_ESP(hfq);
  EXPECT_EQ(d.GetHardFeature32(), 0x00332211u);
  EXPECT_EQ(d.ToolsReadAll(), "");
  EXPECT_FALSE(d.FReadHardFeatureRequested);
  // A tools answer goes to the tools buffer without its length byte.
  std::string tools = Record(0x71, 0, 2, std::string("\x03") + "abc");
  d.ServerExecute_ESP(tools);
  EXPECT_EQ(d.ToolsReadAll(), "abc");
}

// A hardware-feature answer that never comes: only the first tools read
// waits for it, and only for the configured time.
TEST(NetworkDeviceData, UnansweredHardFeatureRequestIsWaitedForOnce) {
  TProbeDevice d(-1, 0, nullptr, true, "127.0.0.1");
  d.SetPeer(ptESP);
  d.SetHardFeatureWaitMs(200);
  d.BeginHardFeatureRequest();
  std::string text;
  uint32_t start = platform::GetTicks();
  d.ToolsRead(4, text);
  uint32_t first = platform::TicksSince(start);
  EXPECT_GE(first, 150u);
  EXPECT_LT(first, 1500u);
  EXPECT_FALSE(d.FReadHardFeatureRequested);
  start = platform::GetTicks();
  d.ToolsRead(4, text);
  EXPECT_LT(platform::TicksSince(start), 100u);
}

// ---- against the simulator ----------------------------------------------------------------

TEST(NetworkDevice, ColdfireStreamModeOpenCommandsAndClose) {
  TSimHost host(TSimFamily::Coldfire, "127.0.0.61");
  auto d = host.MakeDevice(1);
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  EXPECT_TRUE(d->GetServerIsRunning());
  EXPECT_TRUE(host.Link->IsUserConnected(1));
  EXPECT_TRUE(d->OpenPort(error));  // already open: nothing happens

  // The version travels through the report processor.
  TZor_ReportDevice reports(*d);
  EXPECT_EQ(reports.SendCommand(CmdVersion()), Zor_No_Err);
  std::string report;
  ASSERT_TRUE(WaitUntil(
      [&] {
        // The device's first block marks its buffer cleared, as a session start does.
        d->GetReceiveBufferCleared();
        reports.GetReport(report);
        return reports.GetFirmwareVersion() > 0;
      },
      3000));
  EXPECT_EQ(reports.GetFirmwareVersion(), 112);
  EXPECT_EQ(d->GetPeerType(), ptColdfire);
  EXPECT_EQ(d->GetUserID(), 1);

  d->ClosePort();
  EXPECT_FALSE(d->GetServerIsRunning());
  EXPECT_TRUE(WaitUntil([&] { return !host.Link->IsUserConnected(1); }));
  EXPECT_TRUE(host.LogHas("DISCONN"));
}

// A stream restart the previous session waited for is over with a new
// session: the flag is cleared by the open itself, before any data arrive
// (the simulated device sends nothing unasked here).
TEST(NetworkDevice, OpenEndsTheWaitForAStreamRestartOfTheLastSession) {
  TSimHost host(TSimFamily::Coldfire, "127.0.3.28");
  TProbeDevice d(-1, 0, nullptr, true, host.Ip);
  d.SetDeviceManagementPort(host.Link->GetControlPort());
  d.SetUserID(1);
  std::string error;
  ASSERT_TRUE(d.OpenPort(error)) << error;
  d.FIgnoreDataUntilStreamInterrupted = true;  // its "buffer cleared" block never came
  ASSERT_TRUE(d.CloseNetworkPort());
  ASSERT_TRUE(d.OpenPort(error)) << error;
  EXPECT_FALSE(d.FIgnoreDataUntilStreamInterrupted);
  EXPECT_EQ(d.GetReceiveBuffer().GetAmount(), 0u);
  ASSERT_TRUE(d.DeviceWrite(CmdVersion()));
  EXPECT_TRUE(WaitUntil([&] { return d.GetReceiveBuffer().GetAmount() > 0; }, 3000));
  d.ClosePort();
}

TEST(NetworkDevice, ColdfireToolsModeLoginAndMemoryRead) {
  TSimHost host(TSimFamily::Coldfire, "127.0.0.62", -1, "secret12");
  auto d = host.MakeDevice(1);
  d->SetCryptPassword("secret12");
  std::string error;
  // As the engine does: the version in stream mode, then tools mode.
  ASSERT_TRUE(d->OpenPort(error)) << error;
  ASSERT_TRUE(d->DeviceWrite(CmdVersion()));
  ASSERT_TRUE(WaitUntil([&] { return d->GetPeerType() == ptColdfire; }));
  host.Device->ClearCommandLog();
  d->SetContextTool(true);
  ASSERT_TRUE(d->GetServerIsRunning()) << d->GetErrorMessage();
  // Clear buffer, login and tools start went out in this order.
  auto log = host.Device->CommandLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(static_cast<uint8_t>(log[0].Bytes[0]), 0x80);
  EXPECT_EQ(log[1].Bytes.substr(0, 2), std::string("\x85\x12", 2));
  EXPECT_EQ(log[2].Bytes, std::string("\x85\x10", 2));

  ASSERT_TRUE(d->DeviceWrite(CmdReadMemory(0x7E000, 16)));
  EXPECT_EQ(ReadTools(*d, 16).size(), 16u);
  d->ClosePort();
  EXPECT_EQ(host.Device->CommandLog().back().Bytes, std::string("\x85\x11", 2));
}

TEST(NetworkDevice, EspHardFeatureFirstVersionCommandAndBlockTransfer) {
  TSimHost host(TSimFamily::Esp, "127.0.0.63");
  auto d = host.MakeDevice(1);
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  // The hardware feature is asked for in the background once the peer is known.
  ASSERT_TRUE(
      WaitUntil([&] { return d->GetPeerType() == ptESP && d->GetHardFeature32() == 0x00012345; }, 3000));

  // The device sends its version unasked; the first version command is not sent.
  size_t before = host.Device->CommandLog().size();
  EXPECT_TRUE(d->DeviceWrite(CmdVersion()));
  EXPECT_EQ(host.Device->CommandLog().size(), before);
  EXPECT_TRUE(d->DeviceWrite(CmdVersion()));
  EXPECT_EQ(host.Device->CommandLog().size(), before + 1);

  // One block of 1 MiB, the largest allowed, in large pieces.
  const uint32_t total = TZor_NetworkDevice::MaxBlockLength;
  ASSERT_TRUE(d->BlockTransferStart(total, 0, false)) << d->GetErrorMessage();
  std::string piece(64 * 1024, '\x5A');
  for (uint32_t sent = 0; sent < total; sent += piece.size()) ASSERT_TRUE(d->BlockTransferContinue(piece));
  EXPECT_TRUE(d->BlockTransferStop()) << d->GetErrorMessage();

  EXPECT_FALSE(d->BlockTransferStart(total + 1, 0, false));
  EXPECT_EQ(d->GetErrorMessage(), "BLOCK too large (1.048.577)");
  EXPECT_FALSE(d->BlockTransferContinue("x"));
  EXPECT_EQ(d->GetErrorMessage(), "Can not continue block transfer: not connected to device");
  d->ClosePort();
}

TEST(NetworkDevice, CommandLengthLimit) {
  TSimHost host(TSimFamily::Coldfire, "127.0.0.64");
  auto d = host.MakeDevice(1);
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  EXPECT_FALSE(d->DeviceWrite(std::string(256, '\x85')));
  EXPECT_EQ(d->GetErrorMessage(), "CMD too long (256)");
  EXPECT_EQ(d->GetErrorCode(), Zor_Err_BadFormat);
  d->ClosePort();
}

namespace {
// The real clock shifted by an offset, so a day can pass in a moment while
// sleeps and waits stay real.
class TShiftedClock : public platform::TZor_Clock {
 public:
  explicit TShiftedClock(platform::TZor_Clock &real) : FReal(real) {}
  uint32_t Ticks() override { return FReal.Ticks() + FOffset; }
  void Sleep(uint32_t ms) override { FReal.Sleep(ms); }
  std::atomic<uint32_t> FOffset{0};

 private:
  platform::TZor_Clock &FReal;
};
}  // namespace

TEST(NetworkDevice, ReconnectsOnceADayHasPassedAndDestroysOpen) {
  TSimHost host(TSimFamily::Coldfire, "127.0.0.65");
  TShiftedClock clock(platform::Clock());
  platform::TZor_ClockGuard guard(clock);
  auto d = host.MakeDevice(1);
  std::string text;
  // Never opened: nothing to renew however much time passes.
  clock.FOffset = TZor_NetworkDevice::ReconnectAfterMs + 1000;
  d->DeviceRead(1, text);
  EXPECT_EQ(CountLog(host, "request CONNECT"), 0);

  clock.FOffset = 0;
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  clock.FOffset = TZor_NetworkDevice::ReconnectAfterMs - 1000;
  d->DeviceRead(1, text);
  EXPECT_EQ(CountLog(host, "request DISCONN"), 0);

  clock.FOffset = TZor_NetworkDevice::ReconnectAfterMs + 1000;
  d->DeviceRead(1, text);
  EXPECT_EQ(CountLog(host, "request DISCONN"), 1);
  EXPECT_EQ(CountLog(host, "request CONNECT"), 2);
  EXPECT_TRUE(d->GetPortIsOpened());
  d.reset();  // destroying an open device closes it
  EXPECT_TRUE(WaitUntil([&] { return !host.Link->IsUserConnected(1); }));
}
