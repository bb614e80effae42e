#include <gtest/gtest.h>

#include <random>

#include "device/Zor_BaseDevice.h"
#include "device/Zor_ColdfireCommands.h"
#include "device/Zor_Commands.h"
#include "foundation/Zor_Utils.h"
#include "platform/Zor_Sys.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

// ---- classification --------------------------------------------------------------

TEST(CommandClass, SettingChannelAndNVSCommands) {
  EXPECT_TRUE(Is7020Cmd(Bytes({0xCA})));
  EXPECT_TRUE(Is7020Cmd(Bytes({0x2F})));
  EXPECT_TRUE(Is7020Cmd(Bytes({0x5F})));
  EXPECT_FALSE(Is7020Cmd(Bytes({0x31})));
  EXPECT_FALSE(Is7020Cmd(Bytes({0x60})));
  EXPECT_FALSE(Is7020Cmd(Bytes({0x23, 0x00})));
  EXPECT_TRUE(IsChannelCmd(Bytes({0x3B})));
  EXPECT_TRUE(IsChannelCmd(Bytes({0xB0})));
  EXPECT_FALSE(IsChannelCmd(Bytes({0x3C})));
  EXPECT_TRUE(IsChannelCmd(Bytes({0x3F, 0x10})));
  EXPECT_FALSE(IsChannelCmd(Bytes({0x3F})));
  EXPECT_TRUE(IsReadNVSCmd(Bytes({0x85, 'E', 'i', 5})));
  EXPECT_FALSE(IsReadNVSCmd(Bytes({0x85, '%', 'i', 5})));
  EXPECT_FALSE(IsReadNVSCmd(Bytes({0x85})));
  EXPECT_TRUE(IsVersionCmd(Bytes({0x81})));
  EXPECT_FALSE(IsVersionCmd(Bytes({0x01, 0x01})));
}

TEST(CommandClass, AwaitedResponseOfEspDevice) {
  EXPECT_EQ(CmdResponseFor(Bytes({0x8A})), crt_phaseReset);
  EXPECT_EQ(CmdResponseFor(Bytes({0x29})), crt_interval);
  EXPECT_EQ(CmdResponseFor(Bytes({0x43})), crt_mode);
  EXPECT_EQ(CmdResponseFor(Bytes({0x5E})), crt_scrambler);
  EXPECT_EQ(CmdResponseFor(Bytes({0x5E}), true), crt_none);
  EXPECT_EQ(CmdResponseFor(Bytes({0x43}), true), crt_mode);
  EXPECT_EQ(CmdResponseFor(Bytes({0x3F, 0x0C})), crt_channel);
  EXPECT_EQ(CmdResponseFor(Bytes({0x85, 'E', 'b', 0})), crt_ReadNVS);
  EXPECT_EQ(CmdResponseFor(Bytes({0x01})), crt_none);
  EXPECT_EQ(CmdResponseFor(""), crt_none);
}

TEST(CommandClass, PausesAfterMemoryAccess) {
  EXPECT_EQ(CommandPauseFor(Bytes({0x85, 0x23, 0, 7, 0xE0, 0}), false).Ms, 20u);
  EXPECT_STREQ(CommandPauseFor(Bytes({0x85, 0x43}), false).Reason, "FRAM access -> delay next command");
  EXPECT_EQ(CommandPauseFor(Bytes({0x02}), false).Ms, 20u);
  EXPECT_EQ(CommandPauseFor(Bytes({0x03, 0x01}), true).Ms, 20u);
  EXPECT_EQ(CommandPauseFor(Bytes({0x85, 0x25, 'b', 1}), true).Ms, 30u);
  EXPECT_STREQ(CommandPauseFor(Bytes({0x85, 0x25}), false).Reason, "NVS access -> delay next command");
  EXPECT_EQ(CommandPauseFor(Bytes({0x85, 0x32}), true).Ms, 50u);
  EXPECT_EQ(CommandPauseFor(Bytes({0x85, 0x32}), false).Ms, 0u);
  EXPECT_EQ(CommandPauseFor(Bytes({0x41}), true).Ms, 5u);
  EXPECT_EQ(CommandPauseFor(Bytes({0x41}), false).Ms, 0u);
  EXPECT_EQ(CommandPauseFor("", true).Ms, 0u);
}

// ---- interpreter -------------------------------------------------------------------

TEST(CommandInterpreter, SingleByteCommands) {
  TZor_CommandInterpreter ci(-1);
  ASSERT_TRUE(ci.CheckCommand(Bytes({0xB3})));
  EXPECT_TRUE(ci.ClearBuffer());
  EXPECT_TRUE(ci.ChannelCountCmd());
  EXPECT_EQ(ci.GetChannelCount(), 3);
  EXPECT_FALSE(ci.ClearBuffer()) << "a flag is consumed once";
  EXPECT_FALSE(ci.ChannelCountCmd());

  ASSERT_TRUE(ci.CheckCommand(Bytes({0xC3})));
  EXPECT_TRUE(ci.ClearBuffer());
  EXPECT_TRUE(ci.ModeCmd());
  EXPECT_EQ(ci.GetMode(), 3);

  ASSERT_TRUE(ci.CheckCommand(Bytes({0x2D})));
  EXPECT_TRUE(ci.IntervalCmd());
  EXPECT_EQ(ci.GetRate(), 13);
  EXPECT_EQ(ci.GetInterval(), 20000u);

  ASSERT_TRUE(ci.CheckCommand(Bytes({0x30})));
  EXPECT_EQ(ci.GetChannelCount(), 24);
  ASSERT_TRUE(ci.CheckCommand(Bytes({0x5E})));
  EXPECT_TRUE(ci.ScramblerCmd());
  EXPECT_EQ(ci.GetScrambler(), 1);
  for (int c : {0x01, 0x02, 0x0A, 0x0F}) ASSERT_TRUE(ci.CheckCommand(Bytes({c})));
  EXPECT_TRUE(ci.VersionCmd());
  EXPECT_TRUE(ci.GetCalibCmd());
  EXPECT_TRUE(ci.ResetPhaseDiffCmd());
  EXPECT_TRUE(ci.ReSyncCmd());
  for (int c : {0x00, 0x05, 0x10, 0x1F, 0x60, 0x7F}) EXPECT_TRUE(ci.CheckCommand(Bytes({c}))) << c;
}

TEST(CommandInterpreter, RefusedCommandsLeaveFlagsUntouched) {
  TZor_CommandInterpreter ci(-1);
  ASSERT_TRUE(ci.CheckCommand(Bytes({0x44})));
  struct Case {
    std::string cmd;
    const char *message;
  } cases[] = {
      {Bytes({0x2E}), "Unknown command 2E"},
      {Bytes({0x3C}), "Unknown command 3C"},
      {Bytes({0xC7}), "Unknown command C7"},
      {Bytes({0x03}), "Unknown command 03"},
      {Bytes({0x55}), "Unsupported scrambler command 55"},
      {Bytes({0x10, 0x01}), "Unknown command 1001"},
      {Bytes({0x03, 0x05}), "Unknown command 0305"},
      {Bytes({0x3F, 0x0B}), "Unknown command 3F0B"},
      {Bytes({0x20, 0x00}), "Unknown command 2000"},
      {Bytes({0x85}), "Unknown command 85"},
      {Bytes({0x85, 0x40}), "Unsupported command 8540"},
      {"", "command missing"},
  };
  for (const Case &c : cases) {
    EXPECT_FALSE(ci.CheckCommand(c.cmd)) << c.message;
    EXPECT_EQ(ci.GetErrorCode(), Zor_CmdIgnored);
    EXPECT_EQ(ci.GetErrorMessage(), c.message);
  }
  EXPECT_TRUE(ci.ModeCmd()) << "the accepted mode command is still there";
  EXPECT_EQ(ci.GetMode(), 4);
  EXPECT_FALSE(ci.ClearBuffer());
  ASSERT_TRUE(ci.CheckCommand(Bytes({0x00})));
  EXPECT_EQ(ci.GetErrorCode(), Zor_No_Err);
  EXPECT_EQ(ci.GetErrorMessage(), "");
}

TEST(CommandInterpreter, MultiByteCommands) {
  TZor_CommandInterpreter ci(-1);
  ASSERT_TRUE(ci.CheckCommand(Bytes({0x10, 0x01, 0x02, 0x03})));
  EXPECT_TRUE(ci.SetDACCmd());
  EXPECT_EQ(ci.GetDAC(), 66051u);
  ASSERT_TRUE(ci.CheckCommand(Bytes({0x03, 0x04})));
  EXPECT_TRUE(ci.GetFHRCmd());
  EXPECT_EQ(ci.GetFHRBlock(), 4);
  ASSERT_TRUE(ci.CheckCommand(Bytes({0x3F, 23})));
  EXPECT_EQ(ci.GetChannelCount(), 23);

  // The configuration-memory write as the builder makes it.
  std::string data(128, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(255 - i);
  ASSERT_TRUE(ci.CheckCommand(CmdWriteFRAM(0x7E100, data)));
  EXPECT_TRUE(ci.WriteFRAMCmd());
  EXPECT_EQ(ci.GetFRAMAdr(), 0x0100);
  EXPECT_EQ(ci.GetFRAMContent(), data);
  EXPECT_TRUE(ci.CheckCommand(CmdWriteFRAM(0x7E200, data)));
  EXPECT_EQ(ci.GetFRAMAdr(), 0x0200);
  EXPECT_FALSE(ci.CheckCommand(CmdWriteFRAM(0x7F000, data)));
  EXPECT_EQ(ci.GetErrorMessage().substr(0, 20), "Unknown command 8523");
  EXPECT_FALSE(ci.CheckCommand(CmdWriteFRAM(0x7E000, data.substr(1))));
  EXPECT_FALSE(ci.CheckCommand(Bytes({0x85, 0x23, 0x00})));
}

// ---- command builders ---------------------------------------------------------------

TEST(CommandBuilders, ByteLayouts) {
  EXPECT_EQ(BytesToHex(CmdWriteMemory(0x30004000, "\x01\x02")), "8520300040000102");
  EXPECT_EQ(BytesToHex(CmdReadMemory(0x7F000, 76)), "85400007F0004C");
  EXPECT_EQ(BytesToHex(CmdWriteNVSInteger(5, 0x11223344)),
            "85256905"
            "44332211");
  EXPECT_EQ(BytesToHex(CmdReadNVSBlock(0)), "85456200");
  EXPECT_EQ(BytesToHex(CmdStartProgramming(0x1234)), "853000001234");
  EXPECT_EQ(BytesToHex(CmdStartProgramming()), "8530");
  EXPECT_EQ(BytesToHex(CmdDecryptImage(256)), "852700000100");
  EXPECT_EQ(BytesToHex(CmdStatusRequest(StatusConnectedUsers)), "854201");
  EXPECT_EQ(BytesToHex(CmdResumeFromSeconds(0x1FF)), "8572FF");
  EXPECT_EQ(BytesToHex(CmdResumeUser(3, 0x10)), "857600000010");
  EXPECT_EQ(BytesToHex(CmdResumeUser(7, 0x10)), "857400000010");
  EXPECT_EQ(BytesToHex(CmdSwitchUser(2)), "8529");
}

// ---- command queue --------------------------------------------------------------------

class TQueue : public TZor_CommandQueue {
 public:
  using TZor_CommandQueue::TZor_CommandQueue;
  void MarkVersionReceived() { FVersionReceived = true; }
  bool IgnoresNextFormatError() const { return FIgnoreNextFormatError; }
  // One step of a report loop that found no complete report.
  void Step() {
    if (FRxMode == rxCommand) {
      std::string error;
      BaseProcessCommand(error);
    } else {
      ScheduleCommandStep();
    }
  }
};

struct CommandQueue : ::testing::Test {
  platform::TZor_VirtualClock clock{5000};
  platform::TZor_ClockGuard guard{clock};
  TZor_LogCapture log;
};

TEST_F(CommandQueue, DeviceWithOwnListSendsAtOnceOthersQueue) {
  TZor_TestDevice usb(Zor_HID, ptColdfire, log.Id(), 7);
  usb.SetHasCommandList(true);
  TQueue q(usb);
  EXPECT_EQ(q.SendCommand("A"), Zor_No_Err);
  EXPECT_EQ(usb.Writes(), std::vector<std::string>{"A"});
  EXPECT_EQ(log.Count("TZor_ReportDevice[7].SendCommand: 41"), 1);

  TZor_TestDevice net(Zor_Remote, ptColdfire, log.Id());
  TQueue nq(net);
  nq.SendCommand("B");
  EXPECT_TRUE(net.Writes().empty());
  EXPECT_EQ(nq.GetPendingCmdsCount(), 1u);
  nq.Step();  // schedules
  EXPECT_TRUE(net.Writes().empty());
  nq.Step();  // sends
  EXPECT_EQ(net.Writes(), std::vector<std::string>{"B"});
  EXPECT_EQ(nq.GetRxMode(), rxData);
}

TEST_F(CommandQueue, AwaitedResponseHoldsCommandsInOrder) {
  TZor_TestDevice dev(Zor_HID, ptESP, log.Id());
  dev.SetHasCommandList(true);
  dev.SetTransportPending(2);
  TQueue q(dev);
  dev.SetCmdResponse(crt_mode);
  q.SendCommand("1");
  q.SendCommand("2");
  EXPECT_EQ(log.Count(".SendCommand: Wait CmdResponse mode -> add to CmdList=31"), 1);
  EXPECT_EQ(q.GetPendingCmdsCount(), 4u);  // two here, two in the transport
  for (int i = 0; i < 4; ++i) q.Step();
  EXPECT_TRUE(dev.Writes().empty());

  dev.SetCmdResponse(crt_none);
  // A new command must not overtake the waiting ones although nothing holds it.
  q.SendCommand("3");
  EXPECT_TRUE(dev.Writes().empty());
  q.Step();  // the loop found no report: the next step sends
  EXPECT_TRUE(dev.Writes().empty());
  q.Step();
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"1"});
  q.Step();
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"1"}) << "one command per command step";
  q.Step();
  EXPECT_EQ(dev.Writes(), (std::vector<std::string>{"1", "2"}));
  q.Step();
  q.Step();
  EXPECT_EQ(dev.Writes(), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(q.GetPendingCmdsCount(), 2u);
}

TEST_F(CommandQueue, ColdfirePauseHoldsUntilReportEndsIt) {
  TZor_TestDevice dev(Zor_CDC, ptColdfire, log.Id());
  dev.SetHasCommandList(true);
  TQueue q(dev);
  dev.SetDelayNextCmdMs(20);
  q.SendCommand("X");
  EXPECT_EQ(log.Count(".SendCommand: delay cmd for 20 -> add to CmdList=58"), 1);
  clock.Advance(500);
  for (int i = 0; i < 4; ++i) q.Step();
  EXPECT_TRUE(dev.Writes().empty());
  EXPECT_GE(log.Count(".BaseProcessCommand: delay cmd for 1"), 1);
  dev.SetDelayNextCmdMs(0);  // the device's 0x7901 report
  q.Step();
  q.Step();
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"X"});
}

TEST_F(CommandQueue, EspSkipsTheLastMillisecondOfAPause) {
  TZor_TestDevice dev(Zor_HID, ptESP, log.Id());
  dev.SetHasCommandList(true);
  TQueue q(dev);
  dev.SetDelayNextCmdMs(5);
  clock.Advance(4);
  q.SendCommand("E");
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"E"});
  EXPECT_EQ(dev.GetDelayNextCmdMs(), 0u);

  dev.SetDelayNextCmdMs(5);
  clock.Advance(4);
  dev.SetCmdResponse(crt_interval);  // an awaited answer keeps the pause
  q.SendCommand("F");
  EXPECT_EQ(dev.Writes().size(), 1u);
}

TEST_F(CommandQueue, RunningCommandStepQueues) {
  TZor_TestDevice dev(Zor_HID, ptColdfire, log.Id());
  TQueue q(dev);
  q.SendCommand("a");
  q.Step();
  ASSERT_EQ(q.GetRxMode(), rxCommand);
  dev.SetHasCommandList(true);
  q.SendCommand("b");
  EXPECT_EQ(log.Count(".SendCommand: Command is running -> add to CmdList=62"), 1);
  EXPECT_TRUE(dev.Writes().empty());
}

TEST_F(CommandQueue, VersionCommandReopensVersionReport) {
  TZor_TestDevice dev(Zor_HID, ptColdfire, log.Id());
  TQueue q(dev);
  q.MarkVersionReceived();
  q.SendCommand(Bytes({0x02}));
  EXPECT_TRUE(q.GetVersionReceived());
  q.SendCommand(CmdVersion());
  EXPECT_FALSE(q.GetVersionReceived());

  dev.SetHasCommandList(true);
  TQueue failing(dev);
  failing.MarkVersionReceived();
  failing.Step();
  dev.FailNextWrites(1);
  EXPECT_EQ(failing.SendCommand(Bytes({0x81})), Zor_WriteError);
  EXPECT_TRUE(failing.GetVersionReceived()) << "a failed version command leaves the old report";
}

TEST_F(CommandQueue, FailedWriteReportsDeviceErrorOnce) {
  TZor_TestDevice dev(Zor_HID, ptColdfire, log.Id());
  TQueue q(dev);
  q.SendCommand("Z");
  q.Step();
  dev.FailNextWrites(1, Zor_Err_ReceiveBufferOverflow, "overflow");
  std::string error;
  EXPECT_EQ(q.BaseProcessCommand(error), Zor_Err_ReceiveBufferOverflow);
  EXPECT_EQ(error, "overflow");
  EXPECT_EQ(dev.GetErrorCode(), Zor_No_Err) << "the error is taken over and cleared";
  EXPECT_TRUE(q.IgnoresNextFormatError());
  EXPECT_EQ(q.GetPendingCmdsCount(), 0u) << "a failed command is not retried";
  EXPECT_EQ(log.Count(".BaseProcessCommand: 5A failed(" + ResultToText(Zor_Err_ReceiveBufferOverflow) +
                      ")=overflow"),
            1);
  EXPECT_EQ(q.CheckDeviceError(error), Zor_No_Err);
}

TEST_F(CommandQueue, SentCommandGoesToStreamLogExceptForSelfLoggingLinks) {
  TZor_LogCapture stream;  // registered right after `log`: its id + 1
  ASSERT_EQ(stream.Id(), log.Id() + 1);
  for (TZor_DeviceType kind : {Zor_HID, Zor_CDC}) {
    TZor_TestDevice dev(kind, ptColdfire, log.Id());
    TQueue q(dev);
    q.SendCommand("\x7E");
    q.Step();
    q.Step();
  }
  EXPECT_EQ(log.Count("{7E}"), 1);
  EXPECT_EQ(stream.Count("{7E}"), 1);
}

// Random interleaving of commands, pauses, awaited answers and report steps:
// commands reach the device in the order they were given, never while a
// pause runs or an answer is awaited, and at most one per report step.
TEST_F(CommandQueue, RandomInterleavingKeepsOrderAndPacing) {
  for (TZor_PeerType peer : {ptColdfire, ptESP}) {
    TZor_TestDevice dev(Zor_HID, peer, -1);
    dev.SetHasCommandList(true);
    TQueue q(dev);
    bool blocked = false;
    dev.OnWrite = [&](const std::string &) {
      if (dev.GetCmdResponse() != crt_none || dev.GetDelayNextCmdMs() != 0) blocked = true;
    };
    std::mt19937 rng(peer);
    int sent = 0;
    for (int round = 0; round < 3000; ++round) {
      switch (rng() % 7) {
        case 0:
        case 1: q.SendCommand(std::to_string(sent++)); break;
        case 2: dev.SetDelayNextCmdMs(1 + rng() % 30); break;
        case 3: dev.SetCmdResponse(rng() % 2 ? crt_mode : crt_none); break;
        case 4: clock.Advance(rng() % 20); break;
        case 5: dev.SetDelayNextCmdMs(0); break;  // a report ends the pause
        default: {
          size_t before = dev.Writes().size();
          q.Step();
          EXPECT_LE(dev.Writes().size(), before + 1);
        }
      }
    }
    dev.SetCmdResponse(crt_none);
    dev.SetDelayNextCmdMs(0);
    for (int i = 0; i < 2 * sent + 2; ++i) q.Step();
    std::vector<std::string> writes = dev.Writes();
    ASSERT_EQ(writes.size(), static_cast<size_t>(sent));
    for (int i = 0; i < sent; ++i) ASSERT_EQ(writes[i], std::to_string(i));
    EXPECT_FALSE(blocked);
  }
}

TEST_F(CommandQueue, FHRReadAsksSliceBySlice) {
  TZor_TestDevice cf(Zor_CDC, ptColdfire, log.Id());
  cf.SetHasCommandList(true);
  TQueue q(cf);
  EXPECT_TRUE(cf.ReadFHRData(&q));
  EXPECT_EQ(cf.Writes(), std::vector<std::string>{Bytes({0x03, 0x01})});

  // Asking for the same slice again ends a pause left by the lost answer.
  cf.SetDelayNextCmdMs(20);
  clock.Advance(100);
  EXPECT_TRUE(cf.ReadFHRData(&q));
  EXPECT_EQ(log.Count("TZor_BaseDevice.ReadFHRData repeat FHRReadCount=0"), 1);
  EXPECT_EQ(cf.GetDelayNextCmdMs(), 0u);
  EXPECT_EQ(cf.Writes().size(), 2u);

  TZor_TestDevice esp(Zor_HID, ptESP, log.Id());
  esp.SetHasCommandList(true);
  TQueue eq(esp);
  EXPECT_TRUE(esp.ReadFHRData(&eq));
  EXPECT_EQ(esp.Writes(), std::vector<std::string>{Bytes({0x85, 'E', 'b', 0x01})});
  EXPECT_FALSE(esp.ReadFHRData(nullptr));
}

}  // namespace
}  // namespace zor
