// The USB I/O thread against a scripted virtual COM port: users sharing one
// device, hand-over of the ownership, registration of ESP users, orphaned
// user slots, resumed streams, and the ways the thread ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "device/Zor_ProcessReport.h"
#include "foundation/CircularBuffer.h"
#include "sim/SimFormats.h"
#include "tests/usb/FakeSerialPort.h"
#include "usb/Zor_UsbDevice.h"
#include "usb/Zor_UsbThread.h"

namespace zor {
namespace {

using test::TPluggedSerial;
using test::WaitUntil;

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}

// A command as it is queued: length byte first.
std::string Queued(const std::string &cmd) { return static_cast<char>(cmd.size()) + cmd; }

std::string EspReport(uint8_t type, uint16_t word, uint8_t user, uint32_t ptr,
                      const std::string &values = {}) {
  TSimRecordHead head;
  head.Type = type;
  head.W = word;
  head.User = user;
  head.BufferPtr = ptr;
  return SimRecord(head, values);
}
std::string Measurement(uint8_t user, uint32_t ptr, char fill = 'm') {
  return EspReport(0x10, 0x1234, user, ptr, std::string(16, fill));
}
std::string BufferCleared(uint8_t user, uint32_t ptr = 0) { return EspReport(rt_Status, 0xFF, user, ptr); }
std::string VersionMessage(uint8_t user, uint32_t ptr) {
  return EspReport(rt_Message, rid_Version, user, ptr, SimTextValues("ESP 1.2"));
}
// Ring address after a report, as the device counts it.
uint32_t After(const std::string &report, uint32_t ptr) { return (ptr + SimRecordWords(report)) % 0x40000; }

std::string CdcBlock(const std::string &payload, uint8_t user, uint32_t flags = 0, uint32_t readPtr = 0x100) {
  TSimCdcHead head;
  head.Flags = flags | simCdcMultiUser;
  head.WritePtr = (uint32_t{user - 1u} << 17) | 0x400;
  head.ReadPtr = readPtr;
  return SimCdcBlock(payload, head);
}

std::string Received(TZor_UsbDevice &device) {
  TCircularBuffer &buffer = device.GetReceiveBuffer();
  buffer.GetBufferCleared();
  return buffer.ReadAnsiString(buffer.GetAmount());
}
bool HasReceived(TZor_UsbDevice &device, size_t bytes) {
  return WaitUntil([&] { return device.GetReceiveBuffer().GetAmount() >= bytes; });
}

// Gives a device object its slot at once: the thread hands ESP data only to
// registered users.
void Registered(TZor_UsbDevice &device) { device.SetLoginState(ls_registered); }

// ---- several users on one device --------------------------------------------------------------

TEST(UsbThread, ColdfireUsersGetTheirSlotsDataAndSwitchedCommands) {
  TPluggedSerial port(TPluggedSerial::ColdfirePid);
  auto a = port.MakeDevice(1);
  auto b = port.MakeDevice(2);
  auto thread = std::make_shared<TZor_UsbThread>(a.get(), false, false);
  ASSERT_FALSE(thread->GetTerminated());
  EXPECT_EQ(thread->AddDevice(b.get()), 2);

  // Blocks of slot 2 and slot 1: each object takes its slot with its first block.
  const std::string p2 = "\x01\x02\x03\x04 slot two", p1 = "slot one data!!!";
  port.State->Feed(CdcBlock(p2, 2) + CdcBlock(p1, 1));
  ASSERT_TRUE(HasReceived(*b, p2.size()));
  ASSERT_TRUE(HasReceived(*a, p1.size()));
  EXPECT_EQ(Received(*b), p2);
  EXPECT_EQ(Received(*a), p1);
  EXPECT_EQ(b->GetUserID(), 2);
  EXPECT_EQ(a->GetUserID(), 1);
  EXPECT_TRUE(a->GetMultiUSB());

  // The device is switched to user 2 before its command, and back for user 1.
  thread->AddCommand(Queued(Bytes({0x85, 0x11})), b.get());
  thread->AddCommand(Queued(Bytes({0x85, 0x12})), a.get());
  ASSERT_TRUE(port.State->WaitWritten(4));
  std::vector<std::string> w = port.State->WrittenCommands();
  EXPECT_EQ(w[0], Bytes({2, 0x85, 0x29}));
  EXPECT_EQ(w[1], Bytes({2, 0x85, 0x11}));
  EXPECT_EQ(w[2], Bytes({2, 0x85, 0x28}));
  EXPECT_EQ(w[3], Bytes({2, 0x85, 0x12}));

  // Tools data answer the user that asked, whatever slot the block names.
  thread->AddCommand(Queued(Bytes({0x85, 0x38})), b.get());
  ASSERT_TRUE(port.State->WaitWritten(6));
  const std::string answer = "tools answer";
  port.State->Feed(CdcBlock(answer, 1, simCdcToolsData));
  ASSERT_TRUE(WaitUntil([&] { return b->GetToolsBuffer().GetAmount() == answer.size(); }));
  EXPECT_EQ(b->ToolsReadAll(), answer);
  EXPECT_EQ(a->GetToolsBuffer().GetAmount(), 0u);

  EXPECT_EQ(thread->RemoveDevice(b.get()), 1);
  EXPECT_EQ(thread->RemoveDevice(a.get()), 0);
}

TEST(UsbThread, CommandRulesOfSharedDevice) {
  TPluggedSerial port;
  auto owner = port.MakeDevice(1);
  auto other = port.MakeDevice(2);
  Registered(*owner);
  Registered(*other);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  thread->AddDevice(other.get());
  port.State->Feed(Measurement(1, 0x10) + Measurement(2, 0x20));
  ASSERT_TRUE(WaitUntil([&] { return other->GetUserID() == 2 && owner->GetUserID() == 1; }));

  // Reading NVS block 0 is the owner's business only.
  const std::string block0 = Bytes({0x85, 'E', 'b', 0});
  thread->AddCommand(Queued(block0), other.get());
  EXPECT_EQ(thread->GetPendingCmdsCount(), 0u);

  // While a login answer is awaited only the registration goes out.
  other->SetCmdResponse(crt_login);
  thread->AddCommand(Queued(Bytes({0xBE, 1})), other.get());
  thread->AddCommand(Queued(Bytes({0x81})), other.get());
  ASSERT_TRUE(port.State->WaitWritten(1));
  EXPECT_EQ(port.State->WrittenCommands()[0], Queued(Bytes({0xBE, 1})));
  EXPECT_EQ(thread->GetPendingCmdsCount(), 1u);
  thread->DeleteCommands(other.get());
  other->SetCmdResponse(crt_none);
  owner->SetDelayNextCmdMs(0);

  // A stop always switches first, even for the user switched to last.
  thread->AddCommand(Queued(Bytes({0x85, 0x60})), other.get());
  ASSERT_TRUE(port.State->WaitWritten(3));
  std::vector<std::string> w = port.State->WrittenCommands();
  EXPECT_EQ(w[1], Bytes({2, 0x85, 0x29}));
  EXPECT_EQ(w[2], Bytes({2, 0x85, 0x60}));
  EXPECT_TRUE(WaitUntil([&] { return other->GetStopSent(); }));

  thread->RemoveDevice(other.get());
  thread->RemoveDevice(owner.get());
}

TEST(UsbThread, QueuedCommandsGoOutAtTheDevicePaceNotAtTheReadTimeout) {
  TPluggedSerial port;
  auto owner = port.MakeDevice(1, 200);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) thread->AddCommand(Queued(Bytes({0x85, 0x11, i})), owner.get());
  ASSERT_TRUE(port.State->WaitWritten(20, 3000));
  // 5 ms between commands of an ESP device; waiting out the silent device's
  // read timeout between them would take 4 s.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  std::vector<std::string> w = port.State->WrittenCommands();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(w[static_cast<size_t>(i)], Queued(Bytes({0x85, 0x11, i})));
  thread->RemoveDevice(owner.get());
}

// Moments of the writes, taken by the port as each command goes out.
struct TWriteTimes {
  std::mutex Lock;
  std::vector<std::chrono::steady_clock::time_point> At;
  void Watch(TPluggedSerial &port) {
    port.State->OnWrite = [this](const std::string &) {
      std::lock_guard<std::mutex> g(Lock);
      At.push_back(std::chrono::steady_clock::now());
    };
  }
  // The port calls back after it counted the write.
  bool Wait(size_t count) {
    return WaitUntil([&] {
      std::lock_guard<std::mutex> g(Lock);
      return At.size() >= count;
    });
  }
  double GapMs(size_t i) {
    std::lock_guard<std::mutex> g(Lock);
    return std::chrono::duration<double, std::milli>(At[i + 1] - At[i]).count();
  }
};

TEST(UsbThread, EspPiecesKeepTheirSpacingWithoutWastingTimeOrPilingUp) {
  TPluggedSerial port;
  TWriteTimes times;
  times.Watch(port);
  auto owner = port.MakeDevice(1, 200);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  constexpr size_t n = TZor_UsbThread::MaxQueuedCmds + 60;
  size_t mostPending = 0;
  for (size_t i = 0; i < n; ++i) {
    thread->AddCommand(Queued(Bytes({0x85, 0x11, static_cast<int>(i & 0x7F)})), owner.get());
    mostPending = std::max<size_t>(mostPending, thread->GetPendingCmdsCount());
  }
  // A caller faster than the device waits for room instead of queueing everything.
  EXPECT_LE(mostPending, TZor_UsbThread::MaxQueuedCmds);
  ASSERT_TRUE(port.State->WaitWritten(n, 5000));
  ASSERT_TRUE(times.Wait(n));
  double total = 0, shortest = 1e9;
  for (size_t i = 0; i + 1 < n; ++i) {
    total += times.GapMs(i);
    shortest = std::min(shortest, times.GapMs(i));
  }
  // Never closer than the device takes them; on average not much above it
  // (a whole tick per piece would be 20 % more).
  EXPECT_GE(shortest, 5.0);
  EXPECT_LT(total / (n - 1), 5.75);
  thread->RemoveDevice(owner.get());
}

TEST(UsbThread, EspResumePauseFollowsTheResumeAndIsNotShortenedByThePieceSpacing) {
  TPluggedSerial port;
  TWriteTimes times;
  times.Watch(port);
  auto owner = port.MakeDevice(1, 200);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  thread->AddCommand(Queued(Bytes({0x85, 0x11, 1})), owner.get());
  ASSERT_TRUE(port.State->WaitWritten(1));
  thread->AddCommand(Queued(Bytes({0x04, 0x73, 0x00, 0x10})), owner.get());
  thread->AddCommand(Queued(Bytes({0x85, 0x11, 2})), owner.get());
  ASSERT_TRUE(port.State->WaitWritten(3, 3000));
  ASSERT_TRUE(times.Wait(3));
  EXPECT_LT(times.GapMs(0), 500.0);  // the resume itself goes out at once
  EXPECT_GE(times.GapMs(1), 1000.0);
  thread->RemoveDevice(owner.get());
}

TEST(UsbThread, EspAnswersReachTheRightUsers) {
  TPluggedSerial port;
  auto owner = port.MakeDevice(1);
  auto other = port.MakeDevice(2);
  Registered(*owner);
  Registered(*other);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  thread->AddDevice(other.get());
  port.State->Feed(Measurement(1, 0x10) + Measurement(2, 0x20));
  ASSERT_TRUE(HasReceived(*other, 1));
  ASSERT_TRUE(HasReceived(*owner, 1));
  Received(*owner);
  Received(*other);

  // A storage block is shared data: every user gets it. A storage item is
  // kept under its key for the user that asked.
  const std::string blob = EspReport(rt_NVSData, NVSAnswerKey('b', 0), 1, 0, std::string(24, 'B'));
  const std::string item = EspReport(rt_NVSData, NVSAnswerKey('i', 7), 2, 0, SimTextValues("42"));
  port.State->Feed(blob + item);
  ASSERT_TRUE(HasReceived(*other, blob.size()));
  ASSERT_TRUE(HasReceived(*owner, blob.size()));
  EXPECT_EQ(Received(*owner), blob);
  EXPECT_EQ(Received(*other), blob);
  std::string value;
  ASSERT_TRUE(WaitUntil([&] { return other->ReadNVSAnswer(NVSAnswerKey('i', 7), 0, value); }));
  EXPECT_EQ(value, "42");

  // The hardware-feature word goes to every user and, without the option
  // that wants it, into nobody's stream.
  thread->RequestHardFeature();
  ASSERT_TRUE(port.State->WaitWritten(2));  // after the switch to the owner
  EXPECT_EQ(port.State->WrittenCommands()[1], Queued(std::string("\x85"
                                                                 "Ei\x05",
                                                                 4)));
  port.State->Feed(EspReport(rt_NVSData, NVSAnswerKey('i', 5), 1, 0, SimTextValues(SimLE32(0x12345678))) +
                   Measurement(1, 0x30, 'n'));
  ASSERT_TRUE(HasReceived(*owner, 1));
  EXPECT_EQ(Received(*owner), Measurement(1, 0x30, 'n'));
  EXPECT_EQ(owner->GetHardFeature32(), 0x12345678u);
  EXPECT_EQ(other->GetHardFeature32(), 0x12345678u);

  thread->RemoveDevice(other.get());
  thread->RemoveDevice(owner.get());
}

TEST(UsbThreadList, SingleUserDeviceIsNotSharedMultiUserDeviceIs) {
  TPluggedSerial cf(TPluggedSerial::ColdfirePid, "0000C001");
  auto first = cf.MakeDevice();
  auto second = cf.MakeDevice();
  auto thread = UsbThreadList().GetThread(first.get(), false, false);
  ASSERT_TRUE(thread && !thread->GetTerminated());
  EXPECT_EQ(UsbThreadList().GetThread(second.get(), false, false), nullptr);
  EXPECT_TRUE(UsbThreadList().CheckThread(second.get()));

  TPluggedSerial esp(TPluggedSerial::EspPid, "0000E001");
  auto e1 = esp.MakeDevice();
  auto e2 = esp.MakeDevice();
  auto espThread = UsbThreadList().GetThread(e1.get(), false, false);
  EXPECT_EQ(UsbThreadList().GetThread(e2.get(), false, false), espThread);
  EXPECT_EQ(esp.State->OpenPorts, 1);

  espThread->RemoveDevice(e2.get());
  espThread->RemoveDevice(e1.get());
  thread->RemoveDevice(first.get());
  UsbThreadList().RemoveThread(espThread);
  UsbThreadList().RemoveThread(thread);
  EXPECT_TRUE(UsbThreadList().IsEmpty());
}

// ---- ownership ------------------------------------------------------------------------------------

TEST(UsbThread, OwnerLeavingHandsOverAndItsSlotIsNoOrphan) {
  TPluggedSerial port;
  auto owner = port.MakeDevice(2);
  auto one = port.MakeDevice(1);
  auto three = port.MakeDevice(3);
  for (auto *d : {owner.get(), one.get(), three.get()}) Registered(*d);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  thread->AddDevice(one.get());
  thread->AddDevice(three.get());
  port.State->Feed(Measurement(2, 0x10) + Measurement(1, 0x20) + Measurement(3, 0x30));
  ASSERT_TRUE(
      WaitUntil([&] { return three->GetUserID() == 3 && one->GetUserID() == 1 && owner->GetUserID() == 2; }));
  ASSERT_TRUE(port.State->WaitConsumed());

  owner->SetPeerRepeatAddr(0x123);
  owner->SetCmdResponse(crt_mode);  // its command waits, and leaves with it
  thread->AddCommand(Queued(Bytes({0x85, 0x11})), owner.get());
  EXPECT_EQ(thread->RemoveDevice(owner.get()), 2);
  owner.reset();  // the thread must never touch it again
  EXPECT_EQ(thread->GetOwner(), one.get());
  EXPECT_EQ(one->GetPeerRepeatAddr(), 0x123u);
  EXPECT_EQ(thread->GetPendingCmdsCount(), 0u);

  // The slot given up by the leaving owner still streams: ignored, and not
  // taken for another program's user to disconnect.
  one->SetPeerRepeatAddr(0);
  port.State->Feed(Measurement(2, 0x40) + Measurement(1, 0x50, 'x'));
  ASSERT_TRUE(HasReceived(*one, 1));
  thread->AddCommand(Queued(Bytes({0x85, 0x12})), one.get());
  ASSERT_TRUE(WaitUntil([&] { return thread->GetPendingCmdsCount() == 0; }));
  for (const std::string &w : port.State->WrittenCommands()) EXPECT_NE(w, Bytes({2, 0x85, 0x29}));

  thread->RemoveDevice(one.get());
  EXPECT_EQ(thread->GetOwner(), three.get());
  thread->RemoveDevice(three.get());
  EXPECT_EQ(thread->GetOwner(), nullptr);
}

TEST(UsbThread, RemovingAUserWhileItsDataFlowIsSafe) {
  TPluggedSerial port;
  auto owner = port.MakeDevice(1);
  Registered(*owner);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  uint32_t ptr = 0;
  for (int round = 0; round < 20; ++round) {
    auto guest = port.MakeDevice(2);
    Registered(*guest);
    thread->AddDevice(guest.get());
    std::string burst;
    for (int i = 0; i < 20; ++i) {
      std::string r = Measurement(2, ptr);
      ptr = After(r, ptr);
      burst += r;
    }
    port.State->Feed(burst);
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    thread->RemoveDevice(guest.get());
    guest.reset();
    owner->SetPeerRepeatAddr(0);
  }
  EXPECT_FALSE(thread->GetTerminated());
  thread->RemoveDevice(owner.get());
}

// ---- ESP registration and unserved users -----------------------------------------------------------

TEST(UsbThread, EspUserRegistersBeforeItGetsData) {
  TPluggedSerial port;
  auto owner = port.MakeDevice(1);
  // Tools mode: the steps run here, so the login state can be looked at between them.
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, true);
  owner->SetCmdResponse(crt_login);

  // Data of slot 1 before registration do not reach the object.
  const std::string early = Measurement(1, 0);
  const std::string cleared = BufferCleared(1, After(early, 0));
  port.State->Feed(early + cleared);
  EXPECT_TRUE(thread->Read());
  EXPECT_EQ(owner->GetLoginState(), ls_waitVersion);
  EXPECT_EQ(owner->GetUserID(), 255);
  EXPECT_EQ(owner->GetReceiveBuffer().GetAmount(), 0u);

  const std::string version = VersionMessage(1, After(cleared, After(early, 0)));
  port.State->Feed(version);
  EXPECT_TRUE(thread->Read());
  EXPECT_EQ(owner->GetLoginState(), ls_registered);
  EXPECT_EQ(owner->GetUserID(), 1);
  EXPECT_EQ(owner->GetCmdResponse(), crt_none);
  EXPECT_EQ(Received(*owner), version);
  thread->RemoveDevice(owner.get());
}

TEST(UsbThread, UnservedSlotIsDisconnectedOnceNobodyWaits) {
  TPluggedSerial port;
  auto owner = port.MakeDevice(1);
  auto late = port.MakeDevice(3);
  Registered(*owner);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  port.State->Feed(Measurement(1, 0x10));
  ASSERT_TRUE(HasReceived(*owner, 1));

  // Slot 4 belongs to nobody here: it is disconnected (switch, stop) once,
  // even though its data keep coming.
  port.State->Feed(Measurement(4, 0x20) + Measurement(4, 0x30));
  ASSERT_TRUE(port.State->WaitWritten(2));
  ASSERT_TRUE(port.State->WaitConsumed());
  std::vector<std::string> w = port.State->WrittenCommands();
  EXPECT_EQ(w[0], Bytes({2, 0x85, 0x2B}));
  EXPECT_EQ(w[1], Bytes({2, 0x85, 0x60}));

  // While an object waits for its slot, data of that slot only note it; the
  // object registers and takes the slot, and nothing is disconnected.
  thread->AddDevice(late.get());
  const std::string version = VersionMessage(3, 0x48);
  port.State->Feed(Measurement(3, 0x40) + BufferCleared(3, 0x44) + version);
  ASSERT_TRUE(HasReceived(*late, version.size()));
  EXPECT_EQ(late->GetUserID(), 3);
  EXPECT_EQ(Received(*late), version);
  port.State->Feed(Measurement(1, 0x60));
  ASSERT_TRUE(port.State->WaitConsumed());
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(port.State->WrittenCommands().size(), 2u);

  thread->RemoveDevice(late.get());
  thread->RemoveDevice(owner.get());
}

TEST(UsbThread, RefusedEspUserMayOnlyRegisterAgain) {
  TPluggedSerial port;
  auto owner = port.MakeDevice(1);
  auto fifth = port.MakeDevice();
  Registered(*owner);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  port.State->Feed(Measurement(1, 0x10));
  ASSERT_TRUE(HasReceived(*owner, 1));
  thread->AddDevice(fifth.get());

  // The device has no slot left: its no-user report goes to the waiting object.
  const std::string refusal = EspReport(rt_Status, cStatusTooManyUsers, 1, 0x20);
  port.State->Feed(refusal);
  ASSERT_TRUE(HasReceived(*fifth, refusal.size()));
  EXPECT_TRUE(fifth->GetTooManyUsers());
  EXPECT_EQ(Received(*fifth), refusal);

  thread->AddCommand(Queued(Bytes({0x85, 0x11})), fifth.get());
  thread->AddCommand(Queued(Bytes({0xBE})), fifth.get());
  ASSERT_TRUE(port.State->WaitWritten(1));
  ASSERT_TRUE(WaitUntil([&] { return thread->GetPendingCmdsCount() == 0; }));
  EXPECT_EQ(port.State->WrittenCommands(), std::vector<std::string>{Queued(Bytes({0xBE}))});
  thread->RemoveDevice(fifth.get());
  thread->RemoveDevice(owner.get());
}

// ---- resumed streams ----------------------------------------------------------------------------------

TEST(UsbThread, ResumedStreamContinuesOnlyAtTheExpectedAddress) {
  TPluggedSerial port;
  auto owner = port.MakeDevice(1);
  Registered(*owner);
  owner->SetPeerRepeatAddr(0x3FFFC);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), true, false);
  ASSERT_TRUE(thread->GetIsReconnected());

  // A report from elsewhere in the ring is not taken while the resumption is unconfirmed...
  port.State->Feed(Measurement(1, 0x200, 'w'));
  ASSERT_TRUE(port.State->WaitConsumed());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(owner->GetReceiveBuffer().GetAmount(), 0u);
  EXPECT_TRUE(thread->GetIsReconnected());

  // ...the one at the expected address confirms it, and the ring wraps at 2^18.
  const std::string r1 = Measurement(1, 0x3FFFC, 'a');
  const uint32_t p2 = After(r1, 0x3FFFC);
  ASSERT_LT(p2, 0x3FFFCu);
  const std::string r2 = Measurement(1, p2, 'b');
  port.State->Feed(r1 + r2);
  ASSERT_TRUE(HasReceived(*owner, r1.size() + r2.size()));
  EXPECT_EQ(Received(*owner), r1 + r2);
  EXPECT_FALSE(thread->GetIsReconnected());
  EXPECT_EQ(owner->GetPeerRepeatAddr(), After(r2, p2));
  thread->RemoveDevice(owner.get());
}

TEST(UsbThread, ColdfireResumeChecksTheRepeatAddress) {
  TPluggedSerial port(TPluggedSerial::ColdfirePid);
  auto owner = port.MakeDevice(1);
  owner->SetPeerRepeatAddr(0x100);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), true, false);
  const std::string payload = "0123456789abcdef";
  port.State->Feed(CdcBlock(payload, 1, simCdcRepeatAddr, 0x100 + payload.size()));
  ASSERT_TRUE(HasReceived(*owner, payload.size()));
  EXPECT_EQ(owner->GetErrorCode(), Zor_No_Err);
  EXPECT_EQ(owner->GetPeerRepeatAddr(), 0x110u);
  EXPECT_FALSE(thread->GetIsReconnected());
  thread->RemoveDevice(owner.get());
}

// ---- format errors
// -----------------------------------------------------------------------------------------

TEST(UsbThread, EspFormatErrorReachesTheReportProcessorAsAMessage) {
  TPluggedSerial port;
  auto owner = port.MakeDevice(1);
  Registered(*owner);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  // Bytes before the first magic are normal right after the start.
  const std::string r1 = Measurement(1, 0);
  port.State->Feed("junk" + r1);
  ASSERT_TRUE(HasReceived(*owner, r1.size()));
  EXPECT_EQ(Received(*owner), r1);

  const std::string r2 = Measurement(1, After(r1, 0));
  port.State->Feed("garbage!garbage!" + r2);
  const std::string note =
      BuildMessageRecord("Input data format error: Magic error in " + BytesToHex("garbage!garbage!"));
  ASSERT_TRUE(HasReceived(*owner, note.size() + r2.size()));
  EXPECT_EQ(Received(*owner), note + r2);
  thread->RemoveDevice(owner.get());
}

TEST(UsbThread, EspReportSplitAcrossReadsArrivesOnceAndWhole) {
  TPluggedSerial port;
  auto owner = port.MakeDevice(1);
  Registered(*owner);
  auto thread =
      std::make_shared<TZor_UsbThread>(owner.get(), false, true);  // tools mode: steps on this thread
  const std::string r1 = Measurement(1, 0), r2 = Measurement(1, After(r1, 0), 'z');
  const std::string stream = r1 + r2;
  port.State->Feed(stream.substr(0, 10));
  EXPECT_TRUE(thread->Read());
  EXPECT_EQ(owner->GetReceiveBuffer().GetAmount(), 0u);
  port.State->Feed(stream.substr(10, r1.size()));
  EXPECT_TRUE(thread->Read());
  EXPECT_EQ(Received(*owner), r1);
  port.State->Feed(stream.substr(10 + r1.size()));
  EXPECT_TRUE(thread->Read());
  EXPECT_EQ(Received(*owner), r2);
  EXPECT_EQ(thread->GetLastError(), 0u);

  // In tools mode commands go out on the caller's thread.
  thread->AddCommand(Queued(Bytes({0x85, 0x10})), owner.get());
  EXPECT_TRUE(thread->Write());
  EXPECT_EQ(port.State->WrittenCommands().back(), Queued(Bytes({0x85, 0x10})));
  thread->RemoveDevice(owner.get());
}

TEST(UsbThread, CdcResynchronisesAfterGarbageAndReportsLostFrames) {
  TPluggedSerial port(TPluggedSerial::ColdfirePid);
  auto owner = port.MakeDevice(1);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  const std::string payload = "payload after garbage";
  port.State->Feed("\x01\x02\x03\x04\x05" + CdcBlock(payload, 1));
  const std::string note = BuildTextFrame(MakeReport(rid_ErrorMessage, "Read error on USB. USB frames lost"));
  ASSERT_TRUE(HasReceived(*owner, note.size() + payload.size()));
  EXPECT_EQ(Received(*owner), note + payload);
  EXPECT_EQ(thread->GetLastError(), 0u);

  // Too-many-users answer: refused, connected users taken, 21 bytes kept.
  std::string refusal = Bytes({0x12, 0x34, 0x7F, 0xFA}) + "Too Many Users..." + std::string(16, '\x01');
  ASSERT_EQ(refusal.size(), 37u);
  port.State->Feed(CdcBlock(refusal, 1));
  ASSERT_TRUE(HasReceived(*owner, 21));
  EXPECT_EQ(Received(*owner), refusal.substr(0, 21));
  EXPECT_TRUE(owner->GetTooManyUsers());
  thread->RemoveDevice(owner.get());
}

// ---- ends of the thread
// ----------------------------------------------------------------------------------------

TEST(UsbThread, ReadTimeoutsEndTheThread) {
  TPluggedSerial port(TPluggedSerial::ColdfirePid);
  auto owner = port.MakeDevice(1, 5);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  ASSERT_TRUE(thread->WaitFinished(2000));
  EXPECT_EQ(thread->GetLastError(), 1460u);
  EXPECT_EQ(thread->GetErrorMessage(), "ReadCDCBlock: nothing received, terminate Thread");

  // After Close the first silent read ends it.
  TPluggedSerial esp;
  auto user = esp.MakeDevice(1, 5);
  auto espThread = std::make_shared<TZor_UsbThread>(user.get(), false, false);
  espThread->RemoveDevice(user.get());
  ASSERT_TRUE(espThread->WaitFinished(2000));
  EXPECT_EQ(espThread->GetErrorMessage(),
            "TZor_UsbThread.ReadESPNoReceive terminate on timeout: terminate Thread");
}

TEST(UsbThread, VanishingPortIsDeviceNotConnected) {
  TPluggedSerial port(TPluggedSerial::ColdfirePid);
  auto owner = port.MakeDevice(1, 200);
  auto thread = std::make_shared<TZor_UsbThread>(owner.get(), false, false);
  // The block header arrives, then the device is gone before the body.
  const std::string block = CdcBlock("some data here..", 1);
  port.State->Feed(block.substr(0, 40));
  ASSERT_TRUE(port.State->WaitConsumed());
  port.State->Vanish();
  ASSERT_TRUE(thread->WaitFinished(2000));
  EXPECT_EQ(thread->GetLastError(), 1167u);
  EXPECT_EQ(owner->GetSystemLastError(), 1167u);
  EXPECT_NE(owner->GetErrorMessage().find("ReadCDCBlock: ReadFile CDC-Block failed"), std::string::npos);

  // After the reset command the restart is expected: no error, the thread
  // ends through its timeout rule instead of spinning on the dead port.
  TPluggedSerial cf(TPluggedSerial::ColdfirePid);
  auto user = cf.MakeDevice(1, 5);
  auto resetThread = std::make_shared<TZor_UsbThread>(user.get(), false, false);
  resetThread->AddCommand(Queued(Bytes({0x85, 0x50})), user.get());
  ASSERT_TRUE(cf.State->WaitWritten(1));
  cf.State->Vanish();
  ASSERT_TRUE(resetThread->WaitFinished(5000));
  EXPECT_EQ(resetThread->GetLastError(), 1460u);
  EXPECT_EQ(user->GetErrorCode(), Zor_No_Err);
  resetThread->RemoveDevice(user.get());

  // A command to a vanished port ends the thread with the write's error.
  TPluggedSerial gone;
  auto g = gone.MakeDevice(1, 200);
  auto goneThread = std::make_shared<TZor_UsbThread>(g.get(), false, false);
  {
    std::lock_guard<std::mutex> lock(gone.State->Lock);
    gone.State->FailWrites = true;
  }
  goneThread->AddCommand(Queued(Bytes({0x85, 0x11})), g.get());
  ASSERT_TRUE(goneThread->WaitFinished(2000));
  EXPECT_EQ(g->GetSystemLastError(), 1167u);
  thread->RemoveDevice(owner.get());
  goneThread->RemoveDevice(g.get());
}

}  // namespace
}  // namespace zor
